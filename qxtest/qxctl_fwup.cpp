// Firmware transfer and checksum query: the image goes to the device in
// chunks of at most 61 bytes, each burst sized by the room the device
// announces at the offset it reports.
#include <cstring>

#include "qxctl.h"
#include "qxlimits.h"
#include "qxsites.h"
#include "qxsys.h"

namespace
{

// One request pair of the channel and the fixed diagnostic line of every
// failure site reached through it.
struct FwupPair {
    int (*wait_ready)(QxChannel *ch);
    int (*send)(QxChannel *ch, QxMsg *msg);
    int (*recv)(QxChannel *ch, QxMsg *msg);
    bool alt;
    int prepare;
    int begin[4]; // item, end marker, ready wait, send
    int status[4];
    int status_recv;
    int status_polls;
    int retries;
    int no_room;
    int bad_offset;
    int chunk[4];
    int finish[4];
    int finish_recv;
    int finish_exhausted;
};

// Filled from qxsites.h; the fields follow the struct above.
const FwupPair QXCTL_FWUP_MAIN = {
    qxctl_wait_ready,
    qxctl_send,
    qxctl_recv,
    false,
    QXCTL_LINE_FWUP_PREPARE,
    {QXCTL_LINE_FWUP_BEGIN_ITEM, QXCTL_LINE_FWUP_BEGIN_END, QXCTL_LINE_FWUP_BEGIN_WAIT,
     QXCTL_LINE_FWUP_BEGIN_SEND},
    {QXCTL_LINE_FWUP_STATUS_ITEM, QXCTL_LINE_FWUP_STATUS_END, QXCTL_LINE_FWUP_STATUS_WAIT,
     QXCTL_LINE_FWUP_STATUS_SEND},
    QXCTL_LINE_FWUP_STATUS_RECV,
    QXCTL_LINE_FWUP_STATUS_POLLS,
    QXCTL_LINE_FWUP_RETRIES,
    QXCTL_LINE_FWUP_NO_ROOM,
    QXCTL_LINE_FWUP_BAD_OFFSET,
    {QXCTL_LINE_FWUP_CHUNK_ITEM, QXCTL_LINE_FWUP_CHUNK_END, QXCTL_LINE_FWUP_CHUNK_WAIT,
     QXCTL_LINE_FWUP_CHUNK_SEND},
    {QXCTL_LINE_FWUP_FINISH_ITEM, QXCTL_LINE_FWUP_FINISH_END, QXCTL_LINE_FWUP_FINISH_WAIT,
     QXCTL_LINE_FWUP_FINISH_SEND},
    QXCTL_LINE_FWUP_FINISH_RECV,
    QXCTL_LINE_FWUP_FINISH_CYCLES,
};

const FwupPair QXCTL_FWUP_ALT = {
    qxctl_wait_ready_alt,
    qxctl_send_alt,
    qxctl_recv_alt,
    true,
    QXCTL_LINE_FWUP_ALT_PREPARE,
    {QXCTL_LINE_FWUP_ALT_BEGIN_ITEM, QXCTL_LINE_FWUP_ALT_BEGIN_END, QXCTL_LINE_FWUP_ALT_BEGIN_WAIT,
     QXCTL_LINE_FWUP_ALT_BEGIN_SEND},
    {QXCTL_LINE_FWUP_ALT_STATUS_ITEM, QXCTL_LINE_FWUP_ALT_STATUS_END,
     QXCTL_LINE_FWUP_ALT_STATUS_WAIT, QXCTL_LINE_FWUP_ALT_STATUS_SEND},
    QXCTL_LINE_FWUP_ALT_STATUS_RECV,
    QXCTL_LINE_FWUP_ALT_STATUS_POLLS,
    QXCTL_LINE_FWUP_ALT_RETRIES,
    QXCTL_LINE_FWUP_ALT_NO_ROOM,
    QXCTL_LINE_FWUP_ALT_BAD_OFFSET,
    {QXCTL_LINE_FWUP_ALT_CHUNK_ITEM, QXCTL_LINE_FWUP_ALT_CHUNK_END, QXCTL_LINE_FWUP_ALT_CHUNK_WAIT,
     QXCTL_LINE_FWUP_ALT_CHUNK_SEND},
    {QXCTL_LINE_FWUP_ALT_FINISH_ITEM, QXCTL_LINE_FWUP_ALT_FINISH_END,
     QXCTL_LINE_FWUP_ALT_FINISH_WAIT, QXCTL_LINE_FWUP_ALT_FINISH_SEND},
    QXCTL_LINE_FWUP_ALT_FINISH_RECV,
    QXCTL_LINE_FWUP_ALT_FINISH_CYCLES,
};

struct ChecksumPair {
    int (*wait_ready)(QxChannel *ch);
    int (*send)(QxChannel *ch, QxMsg *msg);
    int (*recv)(QxChannel *ch, QxMsg *msg);
    int prepare;
    int query[4];
    int recv_line;
    int polls; // answers read after the query
};

const ChecksumPair QXCTL_CHECKSUM_MAIN = {
    qxctl_wait_ready,
    qxctl_send,
    qxctl_recv,
    QXCTL_LINE_CHECKSUM_PREPARE,
    {QXCTL_LINE_CHECKSUM_ITEM, QXCTL_LINE_CHECKSUM_END, QXCTL_LINE_CHECKSUM_WAIT,
     QXCTL_LINE_CHECKSUM_SEND},
    QXCTL_LINE_CHECKSUM_RECV,
    QXCTL_CHECKSUM_POLLS,
};

const ChecksumPair QXCTL_CHECKSUM_ALT = {
    qxctl_wait_ready_alt,
    qxctl_send_alt,
    qxctl_recv_alt,
    QXCTL_LINE_CHECKSUM_ALT_PREPARE,
    {QXCTL_LINE_CHECKSUM_ALT_ITEM, QXCTL_LINE_CHECKSUM_ALT_END, QXCTL_LINE_CHECKSUM_ALT_WAIT,
     QXCTL_LINE_CHECKSUM_ALT_SEND},
    QXCTL_LINE_CHECKSUM_ALT_RECV,
    QXCTL_CHECKSUM_ALT_POLLS,
};

int fail(int line)
{
    qx_error_line(QXCTL_SRC, line);
    return 1;
}

bool is_number(unsigned type)
{
    return type == QXMSG_U8 || type == QXMSG_U16 || type == QXMSG_U32;
}

// Rewinds the message, puts one item and the end marker, waits until the
// device is ready and sends it. lines: item, end marker, ready wait, send.
template <typename Pair>
int send_item(QxChannel *ch, QxMsg *msg, const Pair &p, const int lines[4], unsigned tag,
              unsigned type, uintptr_t value, unsigned size)
{
    qxmsg_rewind(msg);
    if (qxmsg_put(msg, tag, type, value, size))
        return fail(lines[0]);
    if (qxmsg_put(msg, 0, QXMSG_END, 0, 0))
        return fail(lines[1]);
    if (p.wait_ready(ch))
        return fail(lines[2]);
    if (p.send(ch, msg))
        return fail(lines[3]);
    return 0;
}

void print_debug(const uint8_t *text, unsigned size)
{
    qx_printf("\n\n--debug--\n");
    // Every byte, NUL included: the device's text is shown as it came.
    for (unsigned i = 0; i < size; ++i)
        qx_write(reinterpret_cast<const char *>(text + i), 1);
    qx_printf("\n---------\n");
}

// What one status answer said; fields not carried keep their value.
struct FwupStatus {
    uint32_t room;
    uint32_t offset;
    bool has_room;
    bool has_offset;
};

// Reads the items of a received answer. Only numbers count as room and
// offset, only blobs as text: anything else from the device is skipped.
void read_status(QxMsg *msg, FwupStatus *st, bool offset_and_debug)
{
    unsigned tag, type, size;
    uintptr_t value;
    qxmsg_rewind(msg);
    while (qxmsg_next(msg, &tag, &type, &value, &size) == 0 && tag != 0) {
        if (tag == QXTAG_FWUP_ROOM && is_number(type)) {
            st->room = (uint32_t)value;
            st->has_room = true;
        } else if (!offset_and_debug) {
            continue;
        } else if (tag == QXTAG_FWUP_OFFSET && is_number(type)) {
            st->offset = (uint32_t)value;
            st->has_offset = true;
        } else if (tag == QXTAG_DEBUG && type == QXMSG_BLOB) {
            print_debug(reinterpret_cast<const uint8_t *>(value), size);
        }
    }
}

void store_progress(QxProgress *progress, uint32_t position)
{
    if (progress)
        progress->store((int32_t)position, std::memory_order_relaxed);
}

// Sends one burst of at most room bytes from offset and returns the offset
// reached in *end. The device's room is never trusted beyond the image.
int send_burst(QxChannel *ch, QxMsg *msg, const FwupPair &p, const uint8_t *image, uint32_t length,
               uint32_t offset, uint32_t room, QxProgress *progress, uint32_t *end)
{
    while (offset < length && room > 0) {
        uint32_t n = length - offset < room ? length - offset : room;
        unsigned tag = QXTAG_FWUP_DATA_LAST;
        if (n > QXFWUP_CHUNK) {
            tag = QXTAG_FWUP_DATA;
            n = QXFWUP_CHUNK;
        }
        if (send_item(ch, msg, p, p.chunk, tag, QXMSG_BLOB, (uintptr_t)(image + offset), n))
            return 1;
        offset += n;
        room -= n;
        qxctl_failure_position(ch, offset);
        // The chunk that completes the image shows only once the device confirms it.
        if (offset < length)
            store_progress(progress, offset);
    }
    *end = offset;
    return 0;
}

// Queries room and offset until the device has named both, polling the
// answers without asking again.
int poll_status(QxChannel *ch, QxMsg *msg, const FwupPair &p, FwupStatus *st)
{
    st->has_room = false;
    st->has_offset = false;
    for (unsigned poll = 0; poll < QXCTL_FWUP_STATUS_POLLS; ++poll) {
        if (p.recv(ch, msg))
            return fail(p.status_recv);
        read_status(msg, st, true);
        if (st->has_room && st->has_offset)
            return 0;
        if (!p.alt)
            qx_printf("wait:%d\n", QXCTL_LINE_FWUP_STATUS_POLL);
        qx_sleep_ms(QXCTL_FWUP_PAUSE_MS);
    }
    qxctl_failure_note(ch, QXFAIL_NO_ANSWER);
    return fail(p.status_polls);
}

int finish_main(QxChannel *ch, QxMsg *msg, const FwupPair &p, uint32_t length, uint32_t position,
                QxProgress *progress)
{
    for (int cycle = 0; cycle < QXCTL_FWUP_FINISH_CYCLES; ++cycle) {
        if (send_item(ch, msg, p, p.finish, QXTAG_FWUP_STATUS, QXMSG_EMPTY, 0, 0))
            return 1;
        for (int answer = 0; answer < QXCTL_FWUP_FINISH_ANSWERS; ++answer) {
            if (p.recv(ch, msg))
                return fail(p.finish_recv);
            FwupStatus st = {255, 0, false, false};
            read_status(msg, &st, true);
            if (st.room == 0 && st.offset == length) {
                qx_printf("FWUP OK\n");
                store_progress(progress, position);
                return 0;
            }
            qx_sleep_ms(QXCTL_FWUP_FINISH_ANSWER_PAUSE_MS);
        }
        qx_sleep_ms(QXCTL_FWUP_FINISH_CYCLE_PAUSE_MS);
    }
    qxctl_failure_note(ch, QXFAIL_NOT_CONFIRMED);
    return fail(p.finish_exhausted);
}

int finish_alt(QxChannel *ch, QxMsg *msg, const FwupPair &p, uint32_t position,
               QxProgress *progress)
{
    for (int cycle = 0; cycle < QXCTL_FWUP_ALT_FINISH_CYCLES; ++cycle) {
        if (send_item(ch, msg, p, p.finish, QXTAG_FWUP_STATUS, QXMSG_EMPTY, 0, 0))
            return 1;
        if (p.recv(ch, msg))
            return fail(p.finish_recv);
        FwupStatus st = {255, 0, false, false};
        read_status(msg, &st, false);
        if (st.room == 0) {
            qx_printf("FWUP OK\n");
            store_progress(progress, position);
            return 0;
        }
        qx_sleep_ms(QXCTL_FWUP_FINISH_CYCLE_PAUSE_MS);
    }
    qxctl_failure_note(ch, QXFAIL_NOT_CONFIRMED);
    return fail(p.finish_exhausted);
}

int update_firmware(QxChannel *ch, const uint8_t *image, uint32_t length, QxProgress *progress,
                    const FwupPair &p)
{
    uint8_t buf[QXCTL_MSG_SIZE];
    memset(buf, 0, sizeof buf);
    QxMsg msg;
    if (qxmsg_init(&msg, buf, sizeof buf) || (length > 0 && !image))
        return fail(p.prepare);

    if (send_item(ch, &msg, p, p.begin, QXTAG_FWUP_BEGIN, QXMSG_U32, length, 0))
        return 1;

    uint32_t position = 0;
    int retries = 0;
    while (position < length) {
        if (p.alt)
            qx_printf("pos = %d/%d\n", (int)position, (int)length);
        else
            qx_printf("%d:pos = %d/%d\n", QXCTL_LINE_FWUP_POS, (int)position, (int)length);
        if (send_item(ch, &msg, p, p.status, QXTAG_FWUP_STATUS, QXMSG_EMPTY, 0, 0))
            return 1;
        FwupStatus st = {0, 0, false, false};
        if (poll_status(ch, &msg, p, &st))
            return 1;

        // A device offset other than ours (beyond the image included) is
        // never followed: we wait for the device to come back to it.
        int timeout_line = 0;
        if (st.room == 0) {
            timeout_line = p.no_room;
        } else if (st.offset != position) {
            qx_printf("offset = %u, pos = %u\n", (unsigned)st.offset, (unsigned)position);
            timeout_line = p.bad_offset;
        }
        if (timeout_line) {
            if (++retries > QXCTL_FWUP_FAILED_CHECKS) {
                qxctl_failure_note(ch, QXFAIL_NO_PROGRESS);
                fail(p.retries);
                qx_printf("timeout line:%d\n", timeout_line);
                return 1;
            }
            qx_sleep_ms(QXCTL_FWUP_PAUSE_MS);
            continue;
        }

        if (send_burst(ch, &msg, p, image, length, st.offset, st.room, progress, &position))
            return 1;
        retries = 0;
    }

    if (p.alt)
        return finish_alt(ch, &msg, p, position, progress);
    qx_printf("%d:pos = %d/%d\n", QXCTL_LINE_FWUP_POS_END, (int)position, (int)length);
    return finish_main(ch, &msg, p, length, position, progress);
}

int get_checksum(QxChannel *ch, uint32_t length, uint32_t *checksum, const ChecksumPair &p)
{
    uint8_t buf[QXCTL_MSG_SIZE];
    memset(buf, 0, sizeof buf);
    QxMsg msg;
    if (qxmsg_init(&msg, buf, sizeof buf))
        return fail(p.prepare);
    if (send_item(ch, &msg, p, p.query, QXTAG_CHECKSUM_QUERY, QXMSG_U32, length, 0))
        return 1;

    for (int poll = 0; poll < p.polls; ++poll) {
        if (p.recv(ch, &msg))
            return fail(p.recv_line);
        unsigned tag, type, size;
        uintptr_t value;
        qxmsg_rewind(&msg);
        while (qxmsg_next(&msg, &tag, &type, &value, &size) == 0 && tag != 0) {
            if (tag == QXTAG_CHECKSUM && is_number(type)) {
                if (checksum)
                    *checksum = (uint32_t)value;
                return 0;
            }
        }
        qx_sleep_ms(QXCTL_FWUP_PAUSE_MS);
    }
    // A silent device is the caller's to report.
    qxctl_failure_note(ch, QXFAIL_NO_ANSWER);
    return 1;
}

} // namespace

int qxctl_update_firmware(QxChannel *ch, const uint8_t *image, uint32_t length,
                          QxProgress *progress)
{
    qxctl_failure_begin(ch, QXOP_TRANSFER, 0, length);
    return qxctl_failure_end(ch, update_firmware(ch, image, length, progress, QXCTL_FWUP_MAIN));
}

int qxctl_update_firmware_alt(QxChannel *ch, const uint8_t *image, uint32_t length,
                              QxProgress *progress)
{
    qxctl_failure_begin(ch, QXOP_TRANSFER, 0, length);
    return qxctl_failure_end(ch, update_firmware(ch, image, length, progress, QXCTL_FWUP_ALT));
}

int qxctl_get_checksum(QxChannel *ch, uint32_t length, uint32_t *checksum)
{
    qxctl_failure_begin(ch, QXOP_CHECKSUM, 0, length);
    return qxctl_failure_end(ch, get_checksum(ch, length, checksum, QXCTL_CHECKSUM_MAIN));
}

int qxctl_get_checksum_alt(QxChannel *ch, uint32_t length, uint32_t *checksum)
{
    qxctl_failure_begin(ch, QXOP_CHECKSUM, 0, length);
    return qxctl_failure_end(ch, get_checksum(ch, length, checksum, QXCTL_CHECKSUM_ALT));
}
