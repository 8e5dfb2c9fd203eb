// The simulated QX device: what the driver and the device firmware do with
// each I/O-control call. Answers wait in one mailbox per request pair until
// the host reads them; reads with nothing queued answer "ready".
//
// Wire choices of this model (the host takes any number type):
// - status answers carry room (35) and offset (36) as QXMSG_U32;
// - checksum answers carry 40 as QXMSG_U32;
// - list entries are [97 U8][98 U8][114 U16], value reads [97 U8][98 U8][178 U16].
// A completed transfer installs the stored image at once; when its header
// names a product, the device reports that product, version and build from
// then on (no power cycle needed).
//
// What the host must keep to (a breach is refused with status 31 and logged):
// the header and buffer sizes of every call, the answer size of every read,
// a ready read on a pair between two accepted writes on it, no write while
// busy, and the transfer's shape: a 32-bit begin, 61-byte chunks tagged 37
// and a 1..61-byte chunk tagged 38 closing each burst, every burst after a
// status answer, from the offset it announced and within its room.
#include "qxsim_device.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>

#include "prgbuild.h"
#include "prgdecode.h"
#include "qxmsg.h"
#include "qxtags.h"
#include "usbdevs.h"

namespace
{

// Windows status codes the driver reports.
constexpr uint32_t QXSIM_ERR_INVALID_FUNCTION = 1;
constexpr uint32_t QXSIM_ERR_GEN_FAILURE = 31;
constexpr uint32_t QXSIM_ERR_INVALID_PARAMETER = 87;
constexpr uint32_t QXSIM_ERR_NOT_CONNECTED = 1167;

constexpr unsigned QXSIM_MSG_SIZE = 64;               // one endpoint packet
constexpr size_t QXSIM_MAX_IMAGE = 16u << 20;         // the device's flash, generously
constexpr size_t QXSIM_MAX_QUEUED = 256;              // answers kept per mailbox
constexpr size_t QXSIM_MAX_LOG = 65536;               // messages kept in the write log
constexpr size_t QXSIM_MAX_BREACHES = 1000;           // breaches kept in full
constexpr unsigned QXSIM_CHUNK = 61;                  // image bytes in a full chunk
constexpr uint32_t QXSIM_DEFAULT_IMAGE_SIZE = 315424; // size of the shipped images

// Status byte of request 28.
constexpr uint8_t QXSIM_STATUS_BUSY = 0x00;
constexpr uint8_t QXSIM_STATUS_READY = 0x01;
constexpr uint8_t QXSIM_STATUS_UPDATING = 0x02;

#if defined(__GNUC__)
// mingw's C++ runtime uses its own printf family, which takes %zu; the
// checker must be told so.
#ifdef __MINGW_PRINTF_FORMAT
#define QXSIM_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define QXSIM_PRINTF_FORMAT printf
#endif
std::string format(const char *fmt, ...) __attribute__((format(QXSIM_PRINTF_FORMAT, 1, 2)));
#endif

std::string format(const char *fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

bool all_zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i])
            return false;
    return true;
}

uint32_t get_le16(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

uint32_t get_le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t get_be16(const uint8_t *p)
{
    return uint32_t(p[0]) << 8 | p[1];
}

unsigned item_size(unsigned type, unsigned blob_len)
{
    switch (type) {
    case QXMSG_U8:
        return 3;
    case QXMSG_U16:
        return 4;
    case QXMSG_U32:
        return 6;
    case QXMSG_BLOB:
        return blob_len + 3;
    default:
        return 2;
    }
}

// Collects answer items into 64-byte answers, opening a new answer when the
// next item does not fit, so no item is ever cut.
class AnswerBuilder
{
  public:
    void put(unsigned tag, unsigned type, uint32_t value)
    {
        fit(item_size(type, 0));
        qxmsg_put(&msg_, tag, type, value, 0);
    }
    void put_blob(unsigned tag, const uint8_t *data, size_t len)
    {
        len = std::min<size_t>(len, QXSIM_MSG_SIZE - 3);
        fit(item_size(QXMSG_BLOB, unsigned(len)));
        qxmsg_put(&msg_, tag, QXMSG_BLOB, reinterpret_cast<uintptr_t>(data), unsigned(len));
    }
    void put_text(unsigned tag, const std::string &text)
    {
        put_blob(tag, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    }
    // Ends the current answer: the next item starts a new one.
    void cut() { open_ = false; }
    std::vector<std::vector<uint8_t>> take()
    {
        cut();
        return std::move(done_);
    }

  private:
    void fit(unsigned size)
    {
        if (open_ && unsigned(msg_.cap - msg_.pos) >= size)
            return;
        done_.emplace_back(QXSIM_MSG_SIZE, 0);
        qxmsg_init(&msg_, done_.back().data(), QXSIM_MSG_SIZE);
        open_ = true;
    }
    std::vector<std::vector<uint8_t>> done_;
    QxMsg msg_{};
    bool open_ = false;
};

uint32_t fnv1a(uint32_t h, const void *data, size_t len)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < len; i++) {
        h ^= p[i];
        h *= 16777619u;
    }
    return h;
}

uint32_t default_pattern(const std::string &product, uint16_t version, uint16_t build)
{
    uint32_t h = fnv1a(2166136261u, product.data(), product.size());
    const uint8_t vb[4] = {uint8_t(version), uint8_t(version >> 8), uint8_t(build),
                           uint8_t(build >> 8)};
    return fnv1a(h, vb, sizeof vb);
}

// Product name from an image header: up to 8 printable characters before the
// first NUL; empty when the header does not name one.
std::string header_product(const std::vector<uint8_t> &image)
{
    if (image.size() < PRG_OVERHEAD)
        return std::string();
    std::string name;
    for (size_t i = 0; i < 8 && image[i]; i++) {
        if (image[i] < 0x20 || image[i] > 0x7e)
            return std::string();
        name += char(image[i]);
    }
    return name;
}

struct Mailbox {
    std::deque<std::vector<uint8_t>> answers;
    // Readiness as the host must track it on this pair: after an accepted
    // write, the next write needs a ready read in between.
    bool wrote = false;
    bool ready_since_write = false;
};

// The room and offset of the last status answer, and how much of that room
// the burst after it has taken.
struct Announced {
    bool valid = false;
    uint32_t offset = 0;
    uint32_t room = 0;
    uint32_t taken = 0;
};

} // namespace

struct QxSimDevice::Impl {
    mutable std::mutex mutex;
    QxSimConfig config;
    bool present = true;

    // Identity reported by the info answer.
    std::string product;
    uint16_t version = 0;
    uint16_t build = 0;
    std::vector<uint8_t> firmware; // installed image
    std::vector<uint8_t> stored;   // image as last stored (the transfer's target)

    // Transfer state.
    bool transfer_active = false; // a begin was taken and the end not reached
    uint32_t expected = 0;
    uint32_t offset = 0;
    bool burst_open = false; // data taken since the last status answer
    uint32_t burst_start = 0;
    uint32_t lag_left = 0;
    uint32_t room_zero_left = 0;
    bool unplug_fired = false;
    Announced announced;

    // Fault counters.
    uint64_t busy_pending = 0;
    uint32_t fail_writes_left = 0;
    uint64_t write_attempts = 0;
    uint64_t read_attempts = 0;
    size_t script_pos = 0;
    uint32_t prng = 0x2545f491u;

    // Values of the setters, by setter tag; addressed values by (address, sub-address).
    std::map<unsigned, uint32_t> values;
    std::map<std::pair<uint8_t, uint8_t>, uint16_t> addressed;

    Mailbox main_box, alt_box;
    QxSimStats stats;
    std::deque<std::pair<unsigned, std::vector<uint8_t>>> log;
    std::vector<QxSimBreach> breach_log;
    std::map<std::string, uint64_t> breach_counts;
    std::function<void(const QxSimBreach &)> breach_listener;

    uint32_t breach(const char *kind, const std::string &text,
                    uint32_t status = QXSIM_ERR_GEN_FAILURE);
    uint32_t check_header(const uint8_t *in, size_t in_size, uint32_t out_size);
    uint32_t check_items(const uint8_t *buf, uint32_t length);

    void apply_identity(const QxSimConfig &c);
    void arm_faults();
    uint32_t checksum(uint32_t length) const;
    uint32_t next_jitter();

    uint32_t write(unsigned request, const uint8_t *payload, uint32_t length);
    uint32_t read(unsigned request, uint8_t *out, uint32_t out_size, uint32_t *returned);

    void handle(Mailbox &box, unsigned tag, unsigned type, uintptr_t value, unsigned size,
                uint8_t addr, uint8_t subaddr);
    void queue(Mailbox &box, AnswerBuilder &ab);
    void queue_info(Mailbox &box);
    void queue_status(Mailbox &box);
    void begin(uint32_t length, Mailbox &box);
    void take_data(const uint8_t *data, unsigned size);
    void complete();
    void debug(Mailbox &box, const char *text);
};

uint32_t QxSimDevice::Impl::breach(const char *kind, const std::string &text, uint32_t status)
{
    stats.breaches++;
    breach_counts[kind]++;
    QxSimBreach b;
    b.call = stats.calls;
    b.kind = kind;
    b.text = text;
    if (breach_listener)
        breach_listener(b);
    if (breach_log.size() < QXSIM_MAX_BREACHES)
        breach_log.push_back(std::move(b));
    return status;
}

// The call as the driver sees it: header fields, buffer sizes, padding.
// Returns 0 when the call may go on to the device, else the refusal.
uint32_t QxSimDevice::Impl::check_header(const uint8_t *in, size_t in_size, uint32_t out_size)
{
    if (in_size < USBDEVS_HEADER_SIZE)
        return breach("header", format("input of %zu bytes holds no header", in_size));
    uint32_t direction = get_le32(in);
    uint32_t length = get_le32(in + 4);
    unsigned kind = get_le16(in + 8), value = get_le16(in + 10), index = get_le16(in + 12);
    unsigned reserved = in[14], request = in[15];
    if (kind != USBDEVS_KIND)
        return breach("header", format("kind %u (%u expected)", kind, USBDEVS_KIND));
    if (value || index || reserved)
        return breach("header", format("value %u, index %u, reserved %u (all 0 expected)", value,
                                       index, reserved));
    if (direction == 0) {
        if (request != QXREQ_SEND && request != QXREQ_SEND_ALT)
            return breach("header", format("write with request %u", request));
        if (length == 0 || length > QXSIM_MSG_SIZE)
            return breach("write-input", format("message of %u bytes (1 to 64)", length));
        size_t want = std::max<size_t>(USBDEVS_HEADER_SIZE + length, USBDEVS_MIN_INPUT);
        if (in_size != want)
            return breach("write-input", format("input of %zu bytes for a %u-byte message "
                                                "(%zu expected)",
                                                in_size, length, want));
        size_t end = USBDEVS_HEADER_SIZE + length;
        if (!all_zero(in + end, in_size - end))
            return breach("write-input", "non-zero padding behind the message");
        return 0;
    }
    if (direction == 1) {
        if (request != QXREQ_STATUS && request != QXREQ_RECV && request != QXREQ_RECV_ALT)
            return breach("header", format("read with request %u", request));
        if (length)
            return breach("header", format("read with length %u (0 expected)", length));
        if (in_size != USBDEVS_MIN_INPUT)
            return breach("read-input",
                          format("input of %zu bytes (%u expected)", in_size, USBDEVS_MIN_INPUT));
        if (!all_zero(in + USBDEVS_HEADER_SIZE, USBDEVS_MIN_INPUT - USBDEVS_HEADER_SIZE))
            return breach("read-input", "non-zero bytes behind the header");
        uint32_t want = request == QXREQ_STATUS ? 1 : QXSIM_MSG_SIZE;
        if (out_size != want)
            return breach("read-size", format("read of %u bytes on request %u (%u expected)",
                                              out_size, request, want));
        return 0;
    }
    return breach("header", format("direction %u", direction));
}

// The transfer items of one message against what the device has announced,
// followed along the message without changing the device. Returns 0 when
// they keep the rules, else the refusal.
uint32_t QxSimDevice::Impl::check_items(const uint8_t *bytes, uint32_t length)
{
    uint8_t buf[QXSIM_MSG_SIZE];
    std::memcpy(buf, bytes, length);
    QxMsg msg;
    qxmsg_init(&msg, buf, uint8_t(length));
    bool active = transfer_active;
    uint32_t at = offset, total = expected;
    Announced a = announced;
    for (;;) {
        if (msg.cap - msg.pos >= 2 && msg.buf[msg.pos + 1] > QXMSG_BLOB)
            return 0;
        unsigned tag, type, size;
        uintptr_t value;
        if (qxmsg_next(&msg, &tag, &type, &value, &size))
            return 0;
        if (tag == QXTAG_FWUP_BEGIN) {
            if (type != QXMSG_U32)
                return breach("begin-type",
                              format("begin item of type %u (a 32-bit number expected)", type));
            total = uint32_t(value);
            active = total <= QXSIM_MAX_IMAGE;
            at = 0;
            a = Announced();
        } else if (tag == QXTAG_FWUP_STATUS) {
            a = Announced(); // its answer is not read yet
        } else if (tag == QXTAG_FWUP_DATA || tag == QXTAG_FWUP_DATA_LAST) {
            if (!active)
                return breach("chunk-before-begin", format("tag-%u chunk without a transfer", tag));
            if (type != QXMSG_BLOB)
                return breach("chunk-size",
                              format("tag-%u chunk of type %u (a blob expected)", tag, type));
            if (tag == QXTAG_FWUP_DATA && size != QXSIM_CHUNK)
                return breach("chunk-size", format("tag-37 chunk of %u bytes (61 expected)", size));
            if (tag == QXTAG_FWUP_DATA_LAST && (size < 1 || size > QXSIM_CHUNK))
                return breach("chunk-size", format("tag-38 chunk of %u bytes (1 to 61)", size));
            if (!a.valid)
                return breach("burst-offset", "chunk without a status answer before its burst");
            if (a.taken == 0 && a.offset != at)
                return breach("burst-offset",
                              format("burst at offset %u, announced %u", at, a.offset));
            if (uint64_t(a.taken) + size > a.room)
                return breach("burst-room",
                              format("burst of %u bytes past the announced room of %u",
                                     a.taken + size, a.room));
            if (uint64_t(at) + size > total)
                return breach("burst-room",
                              format("chunk up to %u past the image length %u", at + size, total));
            a.taken += size;
            at += size;
            if (at == total && !config.never_complete)
                active = false;
        }
    }
}

void QxSimDevice::Impl::apply_identity(const QxSimConfig &c)
{
    product = c.product;
    version = c.version;
    build = c.build;
    firmware = c.firmware;
    if (firmware.empty())
        firmware = qxsim_make_image(product, version, build, QXSIM_DEFAULT_IMAGE_SIZE,
                                    default_pattern(product, version, build));
    stored = firmware;
}

// Count-down faults start counting from the moment a configuration is taken.
void QxSimDevice::Impl::arm_faults()
{
    busy_pending = config.busy_answers;
    fail_writes_left = config.fail_writes;
    write_attempts = 0;
    read_attempts = 0;
    script_pos = 0;
    unplug_fired = false;
}

uint32_t QxSimDevice::Impl::checksum(uint32_t length) const
{
    if (stored.size() <= PRG_HEADER_SIZE)
        return 0;
    size_t n = std::min<size_t>(length, stored.size() - PRG_HEADER_SIZE);
    uint32_t sum = 0;
    const uint8_t *p = stored.data() + PRG_HEADER_SIZE;
    for (size_t i = 0; i < n; i++)
        sum += prg_descramble_table[p[i]];
    return sum;
}

// xorshift32: the same readings for the same configuration on every run.
uint32_t QxSimDevice::Impl::next_jitter()
{
    uint32_t j = config.checksum_jitter;
    if (!j)
        return 0;
    prng ^= prng << 13;
    prng ^= prng >> 17;
    prng ^= prng << 5;
    int64_t span = int64_t(j) * 2 + 1;
    return uint32_t(int64_t(prng % uint64_t(span)) - int64_t(j));
}

void QxSimDevice::Impl::queue(Mailbox &box, AnswerBuilder &ab)
{
    for (auto &a : ab.take()) {
        if (box.answers.size() >= QXSIM_MAX_QUEUED)
            box.answers.pop_front();
        box.answers.push_back(std::move(a));
    }
}

void QxSimDevice::Impl::debug(Mailbox &box, const char *text)
{
    AnswerBuilder ab;
    ab.put_text(QXTAG_DEBUG, text);
    queue(box, ab);
}

void QxSimDevice::Impl::queue_info(Mailbox &box)
{
    if (config.info_silent)
        return;
    AnswerBuilder ab;
    const std::string &text = config.debug_text;
    for (size_t at = 0; at < text.size(); at += QXSIM_MSG_SIZE - 3)
        ab.put_text(QXTAG_DEBUG, text.substr(at, QXSIM_MSG_SIZE - 3));
    ab.put(QXTAG_VERSION, QXMSG_U16, version);
    ab.put(QXTAG_BUILD, QXMSG_U16, build);
    ab.put_text(QXTAG_PRODUCT, product);
    queue(box, ab);
}

void QxSimDevice::Impl::queue_status(Mailbox &box)
{
    uint32_t reported = offset;
    uint32_t room = std::min(config.room, expected - offset);
    if (burst_open) {
        // The first answer after a burst: the injected lags start here.
        burst_open = false;
        lag_left = config.offset_lag;
        room_zero_left = config.room_zero_answers;
    }
    if (lag_left) {
        lag_left--;
        reported = burst_start;
    }
    if (room_zero_left) {
        room_zero_left--;
        room = 0;
    }
    if (config.never_complete && expected && offset == expected)
        room = 1;

    announced.valid = true;
    announced.offset = reported;
    announced.room = room;
    announced.taken = 0;

    AnswerBuilder ab;
    ab.put(QXTAG_FWUP_ROOM, QXMSG_U32, room);
    // The closing answer stays whole: the host's finish reads one answer at a time.
    if (config.split_status_answer && offset < expected)
        ab.cut();
    ab.put(QXTAG_FWUP_OFFSET, QXMSG_U32, reported);
    queue(box, ab);
}

void QxSimDevice::Impl::begin(uint32_t length, Mailbox &box)
{
    stats.begins++;
    stored.clear();
    offset = 0;
    burst_open = false;
    lag_left = room_zero_left = 0;
    announced = Announced();
    if (length > QXSIM_MAX_IMAGE) {
        expected = 0;
        transfer_active = false;
        debug(box, "image too large");
        return;
    }
    expected = length;
    transfer_active = true;
    if (length == 0)
        complete();
}

// The chunk has passed check_items: a transfer runs and it fits.
void QxSimDevice::Impl::take_data(const uint8_t *data, unsigned size)
{
    uint32_t take = std::min<uint32_t>(size, expected - offset);
    announced.taken += take;
    if (!burst_open) {
        burst_open = true;
        burst_start = offset;
    }
    stats.chunks++;
    stored.insert(stored.end(), data, data + take);
    offset += take;
    if (config.unplug_after >= 0 && !unplug_fired && int64_t(offset) >= config.unplug_after) {
        unplug_fired = true;
        present = false;
    }
    if (offset == expected)
        complete();
}

void QxSimDevice::Impl::complete()
{
    if (config.never_complete)
        return;
    transfer_active = false;
    stats.completed++;
    if (stored.empty())
        return; // nothing to install
    firmware = stored;
    std::string name = header_product(stored);
    if (!name.empty()) {
        product = name;
        version = uint16_t(get_be16(&stored[8]));
        build = uint16_t(get_be16(&stored[10]));
    }
}

void QxSimDevice::Impl::handle(Mailbox &box, unsigned tag, unsigned type, uintptr_t value,
                               unsigned size, uint8_t addr, uint8_t subaddr)
{
    bool number = type == QXMSG_U8 || type == QXMSG_U16 || type == QXMSG_U32;
    uint32_t v = number ? uint32_t(value) : 0;
    const uint8_t *blob = type == QXMSG_BLOB ? reinterpret_cast<const uint8_t *>(value) : nullptr;
    AnswerBuilder ab;
    switch (tag) {
    case QXTAG_INFO:
        queue_info(box);
        return;
    case QXTAG_FWUP_BEGIN:
        begin(v, box);
        return;
    case QXTAG_FWUP_STATUS:
        queue_status(box);
        return;
    case QXTAG_FWUP_DATA:
    case QXTAG_FWUP_DATA_LAST:
        if (blob)
            take_data(blob, size);
        return;
    case QXTAG_CHECKSUM_QUERY: {
        if (config.checksum_silent)
            return;
        uint32_t sum;
        if (script_pos < config.checksum_script.size())
            sum = config.checksum_script[script_pos++];
        else
            sum = checksum(v) + uint32_t(config.checksum_offset) + next_jitter();
        ab.put(QXTAG_CHECKSUM, QXMSG_U32, sum);
        break;
    }
    case QXTAG_SET_19:
    case QXTAG_SET_23:
    case QXTAG_SET_25:
    case QXTAG_SET_137:
        if (number)
            values[tag] = v;
        return;
    case QXTAG_GET_20:
        ab.put(QXTAG_ANSWER_20, QXMSG_U8, values[QXTAG_SET_19]);
        break;
    case QXTAG_GET_24:
        ab.put(QXTAG_GET_24, QXMSG_U32, values[QXTAG_SET_23]);
        break;
    case QXTAG_GET_26:
        ab.put(QXTAG_GET_26, QXMSG_U32, values[QXTAG_SET_25]);
        break;
    case QXTAG_GET_27:
        ab.put(QXTAG_GET_27, QXMSG_U8, values[QXTAG_SET_137]);
        break;
    case QXTAG_GET_193:
        ab.put(QXTAG_GET_193, QXMSG_U32, 48000); // sample rate
        break;
    case QXTAG_GET_196:
        ab.put(QXTAG_GET_196, QXMSG_U32, uint32_t(firmware.size()));
        break;
    case QXTAG_BLOB_28:
        ab.put_text(QXTAG_BLOB_28, product + " SIM-0001");
        break;
    case QXTAG_GET_VALUE: {
        auto it = addressed.find({addr, subaddr});
        ab.put(QXTAG_ADDR, QXMSG_U8, addr);
        ab.put(QXTAG_SUBADDR, QXMSG_U8, subaddr);
        ab.put(QXTAG_VALUE, QXMSG_U16, it == addressed.end() ? 0 : it->second);
        break;
    }
    case QXTAG_LIST:
        for (const auto &e : addressed) {
            ab.put(QXTAG_ADDR, QXMSG_U8, e.first.first);
            ab.put(QXTAG_SUBADDR, QXMSG_U8, e.first.second);
            ab.put(QXTAG_LIST_VALUE, QXMSG_U16, e.second);
            ab.cut(); // one entry never straddles two answers
        }
        if (addressed.empty()) {
            // An empty mixer still lists its master entry.
            ab.put(QXTAG_ADDR, QXMSG_U8, 0);
            ab.put(QXTAG_SUBADDR, QXMSG_U8, 0);
            ab.put(QXTAG_LIST_VALUE, QXMSG_U16, 0);
        }
        break;
    default:
        if (tag >= QXTAG_SET_129 && tag <= QXTAG_SET_133 && number)
            addressed[{addr, subaddr}] = uint16_t(v);
        return; // the rest are send-only: taken without an answer
    }
    queue(box, ab);
}

uint32_t QxSimDevice::Impl::write(unsigned request, const uint8_t *payload, uint32_t length)
{
    Mailbox &box = request == QXREQ_SEND ? main_box : alt_box;
    if (busy_pending)
        return breach("write-busy",
                      format("write on request %u while the device reports busy", request));
    if (box.wrote && !box.ready_since_write)
        return breach("write-unready",
                      format("write on request %u after an accepted write with no ready read "
                             "on request %u between",
                             request, request + 1));
    if (uint32_t refused = check_items(payload, length))
        return refused;

    uint8_t buf[QXSIM_MSG_SIZE];
    std::memcpy(buf, payload, length);
    QxMsg msg;
    qxmsg_init(&msg, buf, uint8_t(length));

    // The fault decisions come first: a refused write changes nothing.
    write_attempts++;
    bool fail = false;
    if (fail_writes_left) {
        fail_writes_left--;
        fail = true;
    }
    if (config.fail_write_every && write_attempts % config.fail_write_every == 0)
        fail = true;
    if (config.fail_transfer && stats.begins >= config.fail_transfer) {
        for (size_t p = 0; p + 1 < length;) {
            unsigned tag = buf[p], type = buf[p + 1];
            if (type == QXMSG_END || type > QXMSG_BLOB)
                break;
            if (tag == QXTAG_FWUP_DATA || tag == QXTAG_FWUP_DATA_LAST)
                fail = true;
            p += item_size(type, p + 2 < length ? buf[p + 2] : 0);
        }
    }
    if (fail)
        return QXSIM_ERR_GEN_FAILURE;

    stats.writes++;
    box.wrote = true;
    box.ready_since_write = false;
    if (log.size() >= QXSIM_MAX_LOG)
        log.pop_front();
    log.emplace_back(request, std::vector<uint8_t>(payload, payload + length));

    uint8_t addr = 0, subaddr = 0;
    for (;;) {
        // The codec reports a bad type code aloud; the device stops quietly.
        if (msg.cap - msg.pos >= 2 && msg.buf[msg.pos + 1] > QXMSG_BLOB)
            break;
        unsigned tag, type, size;
        uintptr_t value;
        if (qxmsg_next(&msg, &tag, &type, &value, &size))
            break;
        bool number = type == QXMSG_U8 || type == QXMSG_U16 || type == QXMSG_U32;
        if (tag == QXTAG_ADDR)
            addr = number ? uint8_t(value) : 0;
        else if (tag == QXTAG_SUBADDR)
            subaddr = number ? uint8_t(value) : 0;
        else
            handle(box, tag, type, value, size, addr, subaddr);
        if (!present)
            break; // vanished mid-message
    }
    busy_pending += config.busy_after_write;
    return 0;
}

uint32_t QxSimDevice::Impl::read(unsigned request, uint8_t *out, uint32_t out_size,
                                 uint32_t *returned)
{
    if (request != QXREQ_STATUS && request != QXREQ_RECV && request != QXREQ_RECV_ALT)
        return QXSIM_ERR_INVALID_PARAMETER;
    if (out_size && !out)
        return QXSIM_ERR_INVALID_PARAMETER;

    read_attempts++;
    if (config.drop_read_every && read_attempts % config.drop_read_every == 0)
        return QXSIM_ERR_GEN_FAILURE; // nothing delivered, nothing consumed

    uint8_t answer[QXSIM_MSG_SIZE] = {};
    Mailbox *ready_box = nullptr; // the pair whose read answered ready
    if (request == QXREQ_STATUS) {
        answer[0] = busy_pending      ? QXSIM_STATUS_BUSY
                    : transfer_active ? QXSIM_STATUS_UPDATING
                                      : QXSIM_STATUS_READY;
    } else {
        Mailbox &box = request == QXREQ_RECV ? main_box : alt_box;
        QxMsg msg;
        qxmsg_init(&msg, answer, QXSIM_MSG_SIZE);
        ready_box = &box;
        if (busy_pending) {
            busy_pending--;
            ready_box = nullptr;
            qxmsg_put(&msg, QXTAG_READY, QXMSG_U8, 0, 0);
        } else if (!box.answers.empty()) {
            std::memcpy(answer, box.answers.front().data(), QXSIM_MSG_SIZE);
            box.answers.pop_front();
        } else {
            qxmsg_put(&msg, QXTAG_READY, QXMSG_U8, 1, 0);
        }
    }

    if (out_size) {
        std::memset(out, 0, out_size);
        std::memcpy(out, answer, std::min<uint32_t>(out_size, QXSIM_MSG_SIZE));
    }
    uint32_t n = out_size;
    if (config.short_read_every && out_size && read_attempts % config.short_read_every == 0)
        n = out_size - 1; // the answer went out one byte short
    else if (ready_box)
        ready_box->ready_since_write = true;
    stats.reads++;
    if (returned)
        *returned = n;
    return 0;
}

QxSimDevice::QxSimDevice(QxSimConfig config) : d(std::make_shared<Impl>())
{
    d->config = std::move(config);
    d->apply_identity(d->config);
    d->arm_faults();
}

uint32_t QxSimDevice::ioctl(uint32_t code, const uint8_t *in, size_t in_size, uint8_t *out,
                            uint32_t out_size, uint32_t *returned)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->stats.calls++;
    if (returned)
        *returned = 0;
    if (!d->present)
        return QXSIM_ERR_NOT_CONNECTED;
    if (code != IOCTL_QX_CONTROL)
        return d->breach("ioctl-code", format("I/O-control code %#x", (unsigned)code),
                         QXSIM_ERR_INVALID_FUNCTION);
    if (!in)
        return QXSIM_ERR_INVALID_PARAMETER; // no input buffer at all: not a call the wire can carry
    if (uint32_t refused = d->check_header(in, in_size, out_size))
        return refused;
    unsigned request = in[15];
    if (get_le32(in) == 0)
        return d->write(request, in + USBDEVS_HEADER_SIZE, get_le32(in + 4));
    return d->read(request, out, out_size, returned);
}

bool QxSimDevice::present() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->present;
}

void QxSimDevice::unplug()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->present = false;
}

// A power cycle: unread answers and an unfinished transfer are gone, the
// device boots busy again; the installed firmware and whatever was stored stay.
void QxSimDevice::replug()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->present = true;
    d->main_box.answers.clear();
    d->alt_box.answers.clear();
    d->transfer_active = false;
    d->expected = d->offset = 0;
    d->burst_open = false;
    d->lag_left = d->room_zero_left = 0;
    d->busy_pending = d->config.busy_answers;
    d->announced = Announced();
    d->main_box.wrote = d->alt_box.wrote = false;
}

uint32_t QxSimDevice::checksum(uint32_t length) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->checksum(length);
}

std::vector<uint8_t> QxSimDevice::stored_image() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->stored;
}

std::vector<uint8_t> QxSimDevice::firmware() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->firmware;
}

uint16_t QxSimDevice::version() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->version;
}

uint16_t QxSimDevice::build() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->build;
}

QxSimStats QxSimDevice::stats() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->stats;
}

std::vector<std::pair<unsigned, std::vector<uint8_t>>> QxSimDevice::writes_log() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return {d->log.begin(), d->log.end()};
}

void QxSimDevice::clear_log()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->log.clear();
}

QxSimConfig QxSimDevice::config() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->config;
}

// Identity fields take effect only when they change, so adding a fault to a
// device that has just been updated keeps its new firmware. Count-down
// faults (busy_answers, fail_writes, checksum_script, unplug_after) and the
// every-Nth counters start again.
void QxSimDevice::set_config(const QxSimConfig &config)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    QxSimConfig old = std::move(d->config);
    d->config = config;
    if (config.firmware != old.firmware && !config.firmware.empty()) {
        d->firmware = config.firmware;
        d->stored = config.firmware;
    }
    if (config.product != old.product)
        d->product = config.product;
    if (config.version != old.version)
        d->version = config.version;
    if (config.build != old.build)
        d->build = config.build;
    d->arm_faults();
}

std::vector<QxSimBreach> QxSimDevice::breaches() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->breach_log;
}

std::map<std::string, uint64_t> QxSimDevice::breach_counts() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->breach_counts;
}

void QxSimDevice::on_breach(std::function<void(const QxSimBreach &)> listener)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->breach_listener = std::move(listener);
}

std::vector<uint8_t> qxsim_make_image(const std::string &product, uint16_t version, uint16_t build,
                                      uint32_t size, uint32_t pattern)
{
    if (size < PRG_OVERHEAD)
        return {};
    if (product.empty() || product.size() > 8)
        return {};
    PrgImageInfo info{};
    std::memcpy(info.product, product.data(), product.size());
    info.version = version;
    info.build = build;
    info.year = 2015;
    info.month = 6;
    info.day = 1;
    uint32_t body_len = size - PRG_OVERHEAD;
    std::vector<uint8_t> body(body_len);
    prg_fill_body(body.data(), body_len, pattern);
    uint32_t out_len = 0;
    uint8_t *image = prg_build_image(&info, body.data(), body_len, &out_len);
    if (!image)
        return {};
    std::vector<uint8_t> result(image, image + out_len);
    std::free(image);
    return result;
}
