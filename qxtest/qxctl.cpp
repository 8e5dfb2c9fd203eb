// Control channel and transactions: the device table,
// opening the device, sending one request message, receiving one answer,
// and the readiness waits on the main and the alternate pair.
#include "qxctl.h"

#include <cstring>

#include "qxlimits.h"
#include "qxsites.h"
#include "qxsys.h"

namespace
{

// The device entry behind the channel, or null when there is none.
QxDevice *device_of(QxChannel *ch)
{
    if (!ch || !*ch)
        return nullptr;
    return &(*ch)->devices[0];
}

// Sends the message's first pos bytes with the given request code, with a
// pause after each failed try.
int send_on(QxChannel *ch, QxMsg *msg, unsigned request, int l_long, int l_try, int l_all)
{
    QxDevice *dev = device_of(ch);
    if (!dev || !msg || !msg->buf)
        return 1;
    if (msg->pos > QXCTL_MSG_SIZE) {
        qx_error_line(QXCTL_SRC, l_long);
        return 1;
    }
    for (int i = 0; i < QXCTL_SEND_TRIES && !qx_stop_requested(); i++) {
        if (usbdevs_write(dev, request, 0, 0, msg->pos, msg->buf) == 0)
            return 0;
        qx_error_line(QXCTL_SRC, l_try);
        qx_sleep_ms(QXCTL_SEND_PAUSE_MS);
    }
    qx_error_line(QXCTL_SRC, l_all);
    qxctl_failure_note(ch, QXFAIL_CALL);
    return 1;
}

// Rewinds the message and reads one answer of its capacity (at most 64
// bytes) into its buffer with the given request code. No retry.
int recv_on(QxChannel *ch, QxMsg *msg, unsigned request, int l_cap, int l_read)
{
    QxDevice *dev = device_of(ch);
    if (!dev || !msg || !msg->buf)
        return 1;
    qxmsg_rewind(msg);
    unsigned n = (unsigned)msg->cap - msg->pos;
    if (n > QXCTL_MSG_SIZE) {
        qx_error_line(QXCTL_SRC, l_cap);
        n = QXCTL_MSG_SIZE;
    }
    if (usbdevs_read(dev, request, 0, 0, n, msg->buf) != 0) {
        qx_error_line(QXCTL_SRC, l_read);
        qxctl_failure_note(ch, QXFAIL_CALL);
        return 1;
    }
    return 0;
}

enum { ANSWER_READY, ANSWER_BUSY };

// Readiness of one received answer: the first tag-161 item with a non-zero
// value means ready; tag-161 items with value 0 only mean busy; no tag-161
// item at all means ready.
int readiness(QxMsg *msg)
{
    bool seen = false;
    unsigned tag, type;
    uintptr_t value;
    while (qxmsg_next(msg, &tag, &type, &value, nullptr) == 0) {
        if (tag != QXTAG_READY)
            continue;
        seen = true;
        if (value != 0)
            return ANSWER_READY;
    }
    return seen ? ANSWER_BUSY : ANSWER_READY;
}

} // namespace

int qxctl_clear(QxCtl *ctl)
{
    if (!ctl)
        return 1;
    return usbdevs_clear(ctl->devices);
}

int qxctl_init(QxCtl *ctl)
{
    if (!ctl)
        return 1;
    usbdevs_init();
    ctl->ndev = 0;
    // A new session with the device starts without a failure.
    memset(&ctl->failure, 0, sizeof ctl->failure);
    memset(&ctl->pending, 0, sizeof ctl->pending);
    return 0;
}

int qxctl_open(QxCtl *ctl, QxChannel *channel)
{
    if (!ctl)
        return 1;
    while (ctl->ndev <= QXCTL_MAX_DEVICES - 1) {
        QxDevice *entry = nullptr;
        int r = usbdevs_probe(ctl->devices, ctl->ndev, &entry);
        ctl->ndev++;
        if (r == 0) {
            if (channel)
                *channel = ctl;
            return 0;
        }
    }
    return 1;
}

int qxctl_send(QxChannel *ch, QxMsg *msg)
{
    return send_on(ch, msg, QXREQ_SEND, QXCTL_LINE_SEND_LONG, QXCTL_LINE_SEND_TRY,
                   QXCTL_LINE_SEND_ALL);
}

int qxctl_recv(QxChannel *ch, QxMsg *msg)
{
    return recv_on(ch, msg, QXREQ_RECV, QXCTL_LINE_RECV_CAP, QXCTL_LINE_RECV_READ);
}

int qxctl_send_alt(QxChannel *ch, QxMsg *msg)
{
    return send_on(ch, msg, QXREQ_SEND_ALT, QXCTL_LINE_SEND_ALT_LONG, QXCTL_LINE_SEND_ALT_TRY,
                   QXCTL_LINE_SEND_ALT_ALL);
}

int qxctl_recv_alt(QxChannel *ch, QxMsg *msg)
{
    return recv_on(ch, msg, QXREQ_RECV_ALT, QXCTL_LINE_RECV_ALT_CAP, QXCTL_LINE_RECV_ALT_READ);
}

int qxctl_wait_ready(QxChannel *ch)
{
    if (!device_of(ch))
        return 1;
    uint8_t buf[QXCTL_MSG_SIZE];
    QxMsg msg;
    uint32_t delay = QXCTL_READY_FIRST_PAUSE_MS;
    bool answered = false;
    for (int cycle = 0; cycle < QXCTL_READY_CYCLES && !qx_stop_requested(); cycle++) {
        memset(buf, 0, sizeof buf);
        qxmsg_init(&msg, buf, sizeof buf);
        answered = qxctl_recv(ch, &msg) == 0;
        if (!answered) {
            qx_error_line(QXCTL_SRC, QXCTL_LINE_WAIT_READY_RECV);
            qx_printf("wait 1\n");
        } else if (readiness(&msg) == ANSWER_READY) {
            return 0;
        }
        qx_sleep_ms(delay);
        if (delay < QXCTL_READY_LAST_PAUSE_MS)
            delay++;
    }
    // A device that stopped answering is told apart from a busy one.
    qxctl_failure_note(ch, answered ? QXFAIL_NOT_READY : QXFAIL_CALL);
    return 1;
}

int qxctl_wait_ready_alt(QxChannel *ch)
{
    if (!device_of(ch))
        return 1;
    uint8_t buf[QXCTL_MSG_SIZE];
    QxMsg msg;
    for (int cycle = 0; cycle < QXCTL_READY_ALT_CYCLES; cycle++) {
        memset(buf, 0, sizeof buf);
        qxmsg_init(&msg, buf, sizeof buf);
        if (qxctl_recv_alt(ch, &msg) != 0) {
            qx_error_line(QXCTL_SRC, QXCTL_LINE_WAIT_READY_ALT_RECV);
            return 1;
        }
        if (readiness(&msg) == ANSWER_READY)
            return 0;
        qx_sleep_ms(QXCTL_READY_ALT_PAUSE_MS);
    }
    qxctl_failure_note(ch, QXFAIL_NOT_READY);
    return 1;
}

void qxctl_print_text(const char *text, int count)
{
    if (!text || count < 1)
        return;
    size_t n = 0;
    while (n < (size_t)count && text[n] != '\0')
        n++;
    if (n)
        qx_write(text, n);
}

void qxctl_failure_begin(QxChannel *ch, int op, unsigned item, uint32_t length)
{
    if (!ch || !*ch)
        return;
    QxCtl *ctl = *ch;
    memset(&ctl->pending, 0, sizeof ctl->pending);
    ctl->pending.op = op;
    ctl->pending.item = item;
    ctl->pending.length = length;
    ctl->lines_at = qx_last_error_line(nullptr, nullptr);
    usbdevs_last_error(&ctl->calls_at);
}

int qxctl_failure_end(QxChannel *ch, int result)
{
    if (!ch || !*ch)
        return result;
    QxCtl *ctl = *ch;
    if (result != 0 && ctl->pending.op != QXOP_NONE) {
        QxFailure *f = &ctl->pending;
        const char *source = nullptr;
        int line = 0;
        if (qx_last_error_line(&source, &line) != ctl->lines_at) {
            f->source = source;
            f->line = line;
        }
        unsigned calls = 0;
        uint32_t code = usbdevs_last_error(&calls);
        if (f->how == QXFAIL_CALL && calls != ctl->calls_at)
            f->error = code;
        // However the operation ended up failing, a stop is why.
        if (qx_stop_requested()) {
            f->how = QXFAIL_STOPPED;
            f->error = USBDEVS_ERROR_OPERATION_ABORTED;
        }
        ctl->failure = *f;
    }
    ctl->pending.op = QXOP_NONE;
    return result;
}

void qxctl_failure_note(QxChannel *ch, int how)
{
    if (ch && *ch && (*ch)->pending.op != QXOP_NONE)
        (*ch)->pending.how = how;
}

void qxctl_failure_position(QxChannel *ch, uint32_t position)
{
    if (ch && *ch && (*ch)->pending.op != QXOP_NONE)
        (*ch)->pending.position = position;
}

int qxctl_last_failure(const QxCtl *ctl, QxFailure *failure)
{
    if (!ctl || ctl->failure.op == QXOP_NONE)
        return 1;
    if (failure)
        *failure = ctl->failure;
    return 0;
}
