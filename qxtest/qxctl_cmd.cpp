// Device commands: the command catalogue of qxctl. Every
// command builds its request in a 64-byte message of its own, waits until
// the device is ready, sends, and (when it expects one) polls the answer.
#include <cstring>

#include "qxctl.h"
#include "qxlimits.h"
#include "qxsites.h"
#include "qxsys.h"

namespace
{

bool has_channel(QxChannel *ch)
{
    return ch && *ch;
}

void err(int line)
{
    qx_error_line(QXCTL_SRC, line);
}

// Error lines of the common frame (0 = no line).
struct Frame {
    int setup, items, end, wait, send, recv;
};

// The frame of one command, gathered by name from its block in qxsites.h.
#define QXCTL_FRAME(op)                                                                            \
    {                                                                                              \
        QXCTL_LINE_##op##_SETUP, QXCTL_LINE_##op##_ITEMS, QXCTL_LINE_##op##_END,                   \
            QXCTL_LINE_##op##_WAIT, QXCTL_LINE_##op##_SEND, QXCTL_LINE_##op##_RECV                 \
    }

// The message of one command: a zero-filled 64-byte buffer on the stack.
struct Msg {
    uint8_t buf[QXCTL_MSG_SIZE];
    QxMsg m;
    Msg()
    {
        memset(buf, 0, sizeof buf);
        qxmsg_init(&m, buf, sizeof buf);
    }
};

// Which pair a command uses.
struct Pair {
    int (*wait)(QxChannel *);
    int (*send)(QxChannel *, QxMsg *);
    int (*recv)(QxChannel *, QxMsg *);
};
const Pair QXCTL_MAIN_PAIR = {qxctl_wait_ready, qxctl_send, qxctl_recv};
const Pair QXCTL_ALT_PAIR = {qxctl_wait_ready_alt, qxctl_send_alt, qxctl_recv_alt};

// Steps 3 to 5 of the common frame: end marker, wait, send.
int finish_and_send(QxChannel *ch, Msg &msg, const Frame &f, const Pair &pair)
{
    if (qxmsg_put(&msg.m, 0, QXMSG_END, 0, 0)) {
        err(f.end);
        return 1;
    }
    if (pair.wait(ch)) {
        err(f.wait);
        return 1;
    }
    if (pair.send(ch, &msg.m)) {
        err(f.send);
        return 1;
    }
    return 0;
}

// A request made of one item, then end, wait and send.
int request1(QxChannel *ch, Msg &msg, const Frame &f, const Pair &pair, unsigned tag, unsigned type,
             uintptr_t value)
{
    if (qxmsg_put(&msg.m, tag, type, value, 0)) {
        err(f.items);
        return 1;
    }
    return finish_and_send(ch, msg, f, pair);
}

// Prints one debug-text item: "\ndbg:", the text, a newline.
void print_debug(uintptr_t value, unsigned size)
{
    qx_printf("\ndbg:");
    qxctl_print_text(reinterpret_cast<const char *>(value), (int)size);
    qx_printf("\n");
}

bool is_number(unsigned type)
{
    return type == QXMSG_U8 || type == QXMSG_U16 || type == QXMSG_U32;
}

// A numeric reading of an item: the number, or 0 for an empty item.
// Blobs (and end markers) carry no number.
bool item_number(unsigned type, uintptr_t value, uint32_t *out)
{
    if (is_number(type)) {
        *out = (uint32_t)value;
        return true;
    }
    if (type == QXMSG_EMPTY) {
        *out = 0;
        return true;
    }
    return false;
}

// --- builders ---

struct Item {
    unsigned tag;
    unsigned type;
    unsigned value;
    int line;
};

// Appends the items in order; on the first failure prints its line,
// restores pos and fails.
int build(QxMsg *msg, const Item *items, size_t n)
{
    if (!msg)
        return 1;
    uint8_t saved = msg->pos;
    for (size_t i = 0; i < n; i++) {
        uintptr_t v = items[i].type == QXMSG_U8 ? (uintptr_t)(items[i].value & 0xFF)
                                                : (uintptr_t)items[i].value;
        if (qxmsg_put(msg, items[i].tag, items[i].type, v, 0)) {
            err(items[i].line);
            msg->pos = saved;
            return 1;
        }
    }
    return 0;
}

template <size_t N> int build(QxMsg *msg, const Item (&items)[N])
{
    return build(msg, items, N);
}

// A send-only command whose items come from a builder.
template <typename B> int built_command(QxChannel *ch, const Frame &f, B builder)
{
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (builder(&msg.m)) {
        if (f.items)
            err(f.items);
        return 1;
    }
    return finish_and_send(ch, msg, f, QXCTL_MAIN_PAIR);
}

// --- single-value setters and getters ---

int set_value(QxChannel *ch, const Frame &f, unsigned tag, unsigned type, uint32_t value)
{
    if (!has_channel(ch))
        return 1;
    Msg msg;
    uintptr_t v = type == QXMSG_U8 ? (uintptr_t)(value & 0xFF) : (uintptr_t)value;
    return request1(ch, msg, f, QXCTL_MAIN_PAIR, tag, type, v);
}

// Request [tag, empty]; the first numeric or empty item with the answer
// tag ends the command. A blob with the answer tag does not answer.
int get_value32(QxChannel *ch, const Frame &f, unsigned tag, unsigned answer, uint32_t *out)
{
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, QXCTL_MAIN_PAIR, tag, QXMSG_EMPTY, 0))
        return 1;
    for (int cycle = 0; cycle < QXCTL_ANSWER_POLLS; cycle++) {
        if (qxctl_recv(ch, &msg.m)) {
            err(f.recv);
            return 1;
        }
        unsigned t, type, size;
        uintptr_t value;
        while (qxmsg_next(&msg.m, &t, &type, &value, &size) == 0) {
            uint32_t number;
            if (t != answer || !item_number(type, value, &number))
                continue;
            if (out)
                *out = number;
            return 0;
        }
        qx_sleep_ms(QXCTL_ANSWER_PAUSE_MS);
    }
    return 1; // no line when the poll runs out
}

int get_value8(QxChannel *ch, const Frame &f, unsigned tag, unsigned answer, uint8_t *out)
{
    uint32_t v = 0;
    if (get_value32(ch, f, tag, answer, &v))
        return 1;
    if (out)
        *out = (uint8_t)v;
    return 0;
}

// Version and build on the alternate pair.
int get_info_alt(QxChannel *ch, const Frame &f, int l_polls, unsigned answer, bool u16_only,
                 int16_t *out)
{
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, QXCTL_ALT_PAIR, QXTAG_INFO, QXMSG_EMPTY, 0))
        return 1;
    for (int cycle = 0; cycle < QXCTL_ANSWER_POLLS; cycle++) {
        if (qxctl_recv_alt(ch, &msg.m)) {
            err(f.recv);
            return 1;
        }
        unsigned t, type, size;
        uintptr_t value;
        while (qxmsg_next(&msg.m, &t, &type, &value, &size) == 0) {
            if (t == QXTAG_DEBUG && type == QXMSG_BLOB)
                print_debug(value, size);
            if (t != answer)
                continue;
            if (u16_only && type != QXMSG_U16)
                continue;
            uint16_t v = 0;
            if (type == QXMSG_BLOB) {
                // The number's bytes, low byte first, as far as the blob has them.
                const uint8_t *p = reinterpret_cast<const uint8_t *>(value);
                if (size >= 1)
                    v = p[0];
                if (size >= 2)
                    v = (uint16_t)(v | p[1] << 8);
            } else {
                v = (uint16_t)value;
            }
            if (out)
                *out = (int16_t)v;
            if (size != 0)
                return 0;
            break; // an empty item: on to the next cycle
        }
        qx_sleep_ms(QXCTL_ANSWER_PAUSE_MS);
    }
    err(l_polls);
    return 1;
}

} // namespace

// --- the info query ---

namespace
{

int get_info(QxChannel *ch, void *dst, unsigned capacity, unsigned *size, unsigned tag)
{
    static const Frame f = QXCTL_FRAME(INFO);
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, QXCTL_MAIN_PAIR, QXTAG_INFO, QXMSG_EMPTY, 0))
        return 1;
    for (int cycle = 0; cycle < QXCTL_ANSWER_POLLS; cycle++) {
        qxmsg_rewind(&msg.m);
        if (qxctl_recv(ch, &msg.m)) {
            err(f.recv);
            return 1;
        }
        unsigned t, type, n;
        uintptr_t value;
        while (qxmsg_next(&msg.m, &t, &type, &value, &n) == 0) {
            if (t == QXTAG_DEBUG && type == QXMSG_BLOB)
                print_debug(value, n);
            if (t != tag)
                continue;
            if (n > capacity)
                n = capacity;
            if (type == QXMSG_BLOB) {
                if (dst && n)
                    memcpy(dst, reinterpret_cast<const void *>(value), n);
            } else if (type == QXMSG_U16) {
                if (dst) {
                    if (n >= 2) {
                        uint16_t v = (uint16_t)value;
                        memcpy(dst, &v, sizeof v);
                    } else if (n == 1) {
                        *static_cast<uint8_t *>(dst) = (uint8_t)value;
                    }
                }
            } else {
                err(QXCTL_LINE_INFO_TYPE);
                break; // ends the cycle
            }
            if (size)
                *size = n;
            if (n != 0)
                return 0;
            break; // a zero size ends the cycle
        }
        qx_sleep_ms(QXCTL_ANSWER_PAUSE_MS);
    }
    err(QXCTL_LINE_INFO_POLLS);
    qxctl_failure_note(ch, QXFAIL_NO_ANSWER);
    return 1;
}

} // namespace

int qxctl_get_info(QxChannel *ch, void *dst, unsigned capacity, unsigned *size, unsigned tag)
{
    qxctl_failure_begin(ch, QXOP_INFO, tag, 0);
    return qxctl_failure_end(ch, get_info(ch, dst, capacity, size, tag));
}

int qxctl_get_version(QxChannel *ch, uint16_t *version)
{
    return qxctl_get_info(ch, version, sizeof(uint16_t), nullptr, QXTAG_VERSION);
}

int qxctl_get_build(QxChannel *ch, uint16_t *build)
{
    return qxctl_get_info(ch, build, sizeof(uint16_t), nullptr, QXTAG_BUILD);
}

int qxctl_get_product(QxChannel *ch, char *buf, unsigned capacity, unsigned *size)
{
    return qxctl_get_info(ch, buf, capacity, size, QXTAG_PRODUCT);
}

int qxctl_get_info_53(QxChannel *ch, void *buf, unsigned capacity, unsigned *size)
{
    return qxctl_get_info(ch, buf, capacity, size, QXTAG_INFO_53);
}

int qxctl_get_info_54(QxChannel *ch, void *buf, unsigned capacity, unsigned *size)
{
    return qxctl_get_info(ch, buf, capacity, size, QXTAG_INFO_54);
}

// --- single-value setters ---

int qxctl_set_19(QxChannel *ch, unsigned value)
{
    static const Frame f = QXCTL_FRAME(SET_19);
    return set_value(ch, f, QXTAG_SET_19, QXMSG_U8, value);
}

int qxctl_set_137(QxChannel *ch, unsigned value)
{
    static const Frame f = QXCTL_FRAME(SET_137);
    return set_value(ch, f, QXTAG_SET_137, QXMSG_U8, value);
}

int qxctl_set_23(QxChannel *ch, uint32_t value)
{
    static const Frame f = QXCTL_FRAME(SET_23);
    return set_value(ch, f, QXTAG_SET_23, QXMSG_U32, value);
}

int qxctl_set_25(QxChannel *ch, unsigned value)
{
    static const Frame f = QXCTL_FRAME(SET_25);
    return set_value(ch, f, QXTAG_SET_25, QXMSG_U8, value);
}

int qxctl_trigger_162(QxChannel *ch)
{
    static const Frame f = QXCTL_FRAME(TRIGGER_162);
    return set_value(ch, f, QXTAG_TRIGGER_162, QXMSG_EMPTY, 0);
}

// --- single-value getters ---

int qxctl_get_24(QxChannel *ch, uint32_t *value)
{
    static const Frame f = QXCTL_FRAME(GET_24);
    return get_value32(ch, f, QXTAG_GET_24, QXTAG_GET_24, value);
}

int qxctl_get_196(QxChannel *ch, uint32_t *value)
{
    static const Frame f = QXCTL_FRAME(GET_196);
    return get_value32(ch, f, QXTAG_GET_196, QXTAG_GET_196, value);
}

int qxctl_get_26(QxChannel *ch, uint32_t *value)
{
    static const Frame f = QXCTL_FRAME(GET_26);
    return get_value32(ch, f, QXTAG_GET_26, QXTAG_GET_26, value);
}

int qxctl_get_27(QxChannel *ch, uint8_t *value)
{
    static const Frame f = QXCTL_FRAME(GET_27);
    return get_value8(ch, f, QXTAG_GET_27, QXTAG_GET_27, value);
}

int qxctl_get_193(QxChannel *ch, uint32_t *value)
{
    static const Frame f = QXCTL_FRAME(GET_193);
    return get_value32(ch, f, QXTAG_GET_193, QXTAG_GET_193, value);
}

int qxctl_get_20(QxChannel *ch, uint8_t *value)
{
    static const Frame f = QXCTL_FRAME(GET_20);
    return get_value8(ch, f, QXTAG_GET_20, QXTAG_ANSWER_20, value);
}

// --- addressed requests ---

int qxctl_build_addressed(QxMsg *msg, unsigned a, unsigned s, unsigned tag, unsigned v)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, QXCTL_LINE_BUILD_ADDRESSED_A},
        {QXTAG_SUBADDR, QXMSG_U8, s, QXCTL_LINE_BUILD_ADDRESSED_S},
        {tag, QXMSG_U8, v, QXCTL_LINE_BUILD_ADDRESSED_V},
    };
    return build(msg, items);
}

int qxctl_set_addressed(QxChannel *ch, unsigned a, unsigned s, unsigned tag, unsigned v)
{
    static const Frame f = QXCTL_FRAME(SET_ADDRESSED);
    return built_command(ch, f, [&](QxMsg *m) { return qxctl_build_addressed(m, a, s, tag, v); });
}

int qxctl_set_129(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, QXTAG_SET_129, v);
}

int qxctl_set_130(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, QXTAG_SET_130, v);
}

int qxctl_set_131(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, QXTAG_SET_131, v);
}

int qxctl_set_132(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, QXTAG_SET_132, v);
}

int qxctl_set_133(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, QXTAG_SET_133, v);
}

int qxctl_build_cmd_67(QxMsg *msg, unsigned a1, unsigned s1, unsigned a2, unsigned s2)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a1, QXCTL_LINE_BUILD_CMD_67_A1},
        {QXTAG_SUBADDR, QXMSG_U8, s1, QXCTL_LINE_BUILD_CMD_67_S1},
        {QXTAG_MARK_65, QXMSG_EMPTY, 0, QXCTL_LINE_BUILD_CMD_67_MARK_65},
        {QXTAG_ADDR, QXMSG_U8, a2, QXCTL_LINE_BUILD_CMD_67_A2},
        {QXTAG_SUBADDR, QXMSG_U8, s2, QXCTL_LINE_BUILD_CMD_67_S2},
        {QXTAG_MARK_66, QXMSG_EMPTY, 0, QXCTL_LINE_BUILD_CMD_67_MARK_66},
        {QXTAG_MARK_67, QXMSG_EMPTY, 0, QXCTL_LINE_BUILD_CMD_67_MARK_67},
    };
    return build(msg, items);
}

int qxctl_cmd_67(QxChannel *ch, unsigned a1, unsigned s1, unsigned a2, unsigned s2)
{
    static const Frame f = QXCTL_FRAME(CMD_67);
    return built_command(ch, f, [&](QxMsg *m) { return qxctl_build_cmd_67(m, a1, s1, a2, s2); });
}

int qxctl_build_cmd_85(QxMsg *msg, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                       unsigned d, unsigned e)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, QXCTL_LINE_BUILD_CMD_85_A},
        {QXTAG_SUBADDR, QXMSG_U8, s, QXCTL_LINE_BUILD_CMD_85_S},
        {QXTAG_CMD85_B, QXMSG_U8, b, QXCTL_LINE_BUILD_CMD_85_B},
        {QXTAG_CMD85_C, QXMSG_U8, c, QXCTL_LINE_BUILD_CMD_85_C},
        {QXTAG_CMD85_D, QXMSG_U8, d, QXCTL_LINE_BUILD_CMD_85_D},
        {QXTAG_CMD85_E, QXMSG_U8, e, QXCTL_LINE_BUILD_CMD_85_E},
        {QXTAG_CMD85_LAST, QXMSG_U8, last, QXCTL_LINE_BUILD_CMD_85_LAST},
    };
    return build(msg, items);
}

int qxctl_cmd_85(QxChannel *ch, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                 unsigned d, unsigned e)
{
    static const Frame f = QXCTL_FRAME(CMD_85);
    return built_command(ch, f,
                         [&](QxMsg *m) { return qxctl_build_cmd_85(m, a, s, last, b, c, d, e); });
}

int qxctl_build_cmd_151(QxMsg *msg, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                        unsigned d, unsigned e, unsigned f, unsigned g)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, QXCTL_LINE_BUILD_CMD_151_A},
        {QXTAG_SUBADDR, QXMSG_U8, s, QXCTL_LINE_BUILD_CMD_151_S},
        {QXTAG_CMD151_B, QXMSG_U8, b, QXCTL_LINE_BUILD_CMD_151_B},
        {QXTAG_CMD151_C, QXMSG_U8, c, QXCTL_LINE_BUILD_CMD_151_C},
        {QXTAG_CMD151_D, QXMSG_U8, d, QXCTL_LINE_BUILD_CMD_151_D},
        {QXTAG_CMD151_E, QXMSG_U8, e, QXCTL_LINE_BUILD_CMD_151_E},
        {QXTAG_CMD151_F, QXMSG_U8, f, QXCTL_LINE_BUILD_CMD_151_F},
        {QXTAG_CMD151_G, QXMSG_U8, g, QXCTL_LINE_BUILD_CMD_151_G},
        {QXTAG_CMD151_LAST, QXMSG_U8, last, QXCTL_LINE_BUILD_CMD_151_LAST},
    };
    return build(msg, items);
}

int qxctl_cmd_151(QxChannel *ch, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                  unsigned d, unsigned e, unsigned f, unsigned g)
{
    static const Frame fr = QXCTL_FRAME(CMD_151);
    return built_command(
        ch, fr, [&](QxMsg *m) { return qxctl_build_cmd_151(m, a, s, last, b, c, d, e, f, g); });
}

int qxctl_build_cmd_70(QxMsg *msg, unsigned a1, unsigned s1, unsigned a2, unsigned s2, unsigned x,
                       unsigned y)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a1, QXCTL_LINE_BUILD_CMD_70_A1},
        {QXTAG_SUBADDR, QXMSG_U8, s1, QXCTL_LINE_BUILD_CMD_70_S1},
        {QXTAG_MARK_65, QXMSG_EMPTY, 0, QXCTL_LINE_BUILD_CMD_70_MARK_65},
        {QXTAG_ADDR, QXMSG_U8, a2, QXCTL_LINE_BUILD_CMD_70_A2},
        {QXTAG_SUBADDR, QXMSG_U8, s2, QXCTL_LINE_BUILD_CMD_70_S2},
        {QXTAG_MARK_66, QXMSG_EMPTY, 0, QXCTL_LINE_BUILD_CMD_70_MARK_66},
        {QXTAG_CMD70_X, QXMSG_U8, x, QXCTL_LINE_BUILD_CMD_70_X},
        {QXTAG_CMD70_Y, QXMSG_U8, y, QXCTL_LINE_BUILD_CMD_70_Y},
        {QXTAG_CMD70_END, QXMSG_EMPTY, 0, QXCTL_LINE_BUILD_CMD_70_END},
    };
    return build(msg, items);
}

int qxctl_build_cmd_213(QxMsg *msg, unsigned p, unsigned q, unsigned r, unsigned t)
{
    const Item items[] = {
        {QXTAG_CMD213_P, QXMSG_U8, p, QXCTL_LINE_BUILD_CMD_213_P},
        {QXTAG_CMD213_Q, QXMSG_U8, q, QXCTL_LINE_BUILD_CMD_213_Q},
        {QXTAG_CMD213_R, QXMSG_U8, r, QXCTL_LINE_BUILD_CMD_213_R},
        {QXTAG_CMD213_T, QXMSG_U8, t, QXCTL_LINE_BUILD_CMD_213_T},
        {QXTAG_CMD213_END, QXMSG_EMPTY, 0, QXCTL_LINE_BUILD_CMD_213_END},
    };
    return build(msg, items);
}

int qxctl_build_cmd_76(QxMsg *msg, unsigned p, unsigned q, unsigned r)
{
    const Item items[] = {
        {QXTAG_CMD76_P, QXMSG_U8, p, QXCTL_LINE_BUILD_CMD_76_P},
        {QXTAG_CMD76_Q, QXMSG_U8, q, QXCTL_LINE_BUILD_CMD_76_Q},
        {QXTAG_CMD76_R, QXMSG_U8, r, QXCTL_LINE_BUILD_CMD_76_R},
        {QXTAG_CMD76_END, QXMSG_EMPTY, 0, QXCTL_LINE_BUILD_CMD_76_END},
    };
    return build(msg, items);
}

int qxctl_build_cmd_72(QxMsg *msg, unsigned q, unsigned p)
{
    const Item items[] = {
        {QXTAG_CMD72_P, QXMSG_U8, p, QXCTL_LINE_BUILD_CMD_72_P},
        {QXTAG_CMD72_Q, QXMSG_U8, q, QXCTL_LINE_BUILD_CMD_72_Q},
    };
    return build(msg, items);
}

int qxctl_build_cmd_139(QxMsg *msg, unsigned a, unsigned s, unsigned x, unsigned y)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, QXCTL_LINE_BUILD_CMD_139_A},
        {QXTAG_SUBADDR, QXMSG_U8, s, QXCTL_LINE_BUILD_CMD_139_S},
        {QXTAG_CMD139_Y, QXMSG_U8, y, QXCTL_LINE_BUILD_CMD_139_Y},
        {QXTAG_CMD139_X, QXMSG_U8, x, QXCTL_LINE_BUILD_CMD_139_X},
    };
    return build(msg, items);
}

// --- addressed read ---

int qxctl_build_get_value(QxMsg *msg, unsigned a, unsigned s)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, QXCTL_LINE_BUILD_GET_VALUE_A},
        {QXTAG_SUBADDR, QXMSG_U8, s, QXCTL_LINE_BUILD_GET_VALUE_S},
        {QXTAG_GET_VALUE, QXMSG_EMPTY, 0, QXCTL_LINE_BUILD_GET_VALUE_GET},
    };
    return build(msg, items);
}

int qxctl_get_value(QxChannel *ch, unsigned a, unsigned s, int16_t *value)
{
    static const Frame f = QXCTL_FRAME(GET_VALUE);
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (qxctl_build_get_value(&msg.m, a, s)) {
        err(f.items);
        return 1;
    }
    if (finish_and_send(ch, msg, f, QXCTL_MAIN_PAIR))
        return 1;
    // The address of the answer items, carried over from one answer to the next.
    uint32_t addr = 0, subaddr = 0;
    for (int cycle = 0; cycle < QXCTL_ANSWER_POLLS; cycle++) {
        if (qxctl_recv(ch, &msg.m)) {
            err(f.recv);
            return 1;
        }
        unsigned t, type, size;
        uintptr_t v;
        while (qxmsg_next(&msg.m, &t, &type, &v, &size) == 0) {
            uint32_t number;
            if (!item_number(type, v, &number))
                continue;
            if (t == QXTAG_ADDR) {
                addr = number;
            } else if (t == QXTAG_SUBADDR) {
                subaddr = number;
            } else if (t == QXTAG_VALUE && addr == a && subaddr == s) {
                if (value)
                    *value = (int16_t)(uint16_t)number;
                return 0;
            }
        }
        qx_sleep_ms(QXCTL_ANSWER_PAUSE_MS);
    }
    return 1; // no line when the poll runs out
}

// --- list ---

int qxctl_list_113(QxChannel *ch, QxListEntry *entries, unsigned capacity, unsigned *count)
{
    static const Frame f = QXCTL_FRAME(LIST_113);
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, QXCTL_MAIN_PAIR, QXTAG_LIST, QXMSG_EMPTY, 0))
        return 1;
    if (capacity == 0) {
        if (count)
            *count = 0;
        return 0;
    }
    unsigned done = 0;
    QxListEntry cur = {0, 0, 0};
    for (;;) {
        int misses = 0; // answers in a row that completed no entry
        for (;;) {
            if (qxctl_recv(ch, &msg.m)) {
                err(f.recv);
                return 1;
            }
            unsigned completed = 0;
            unsigned t, type, size;
            uintptr_t v;
            while (qxmsg_next(&msg.m, &t, &type, &v, &size) == 0) {
                uint32_t number;
                if (!item_number(type, v, &number))
                    continue;
                if (t == QXTAG_ADDR) {
                    cur.addr = number;
                } else if (t == QXTAG_SUBADDR) {
                    cur.subaddr = (uint8_t)number;
                } else if (t == QXTAG_LIST_VALUE) {
                    cur.value = (int16_t)(uint16_t)number;
                    if (entries && done < capacity)
                        entries[done] = cur;
                    done++;
                    completed++;
                    cur = QxListEntry{0, 0, 0};
                }
            }
            if (completed)
                break;
            qx_sleep_ms(QXCTL_ANSWER_PAUSE_MS);
            if (++misses >= QXCTL_ANSWER_POLLS) {
                err(QXCTL_LINE_LIST_113_POLLS);
                return 1;
            }
        }
        if (done >= capacity) {
            if (count)
                *count = done;
            return 0;
        }
    }
}

// --- blob 28 ---

int qxctl_get_blob_28(QxChannel *ch, void *buf, unsigned capacity, unsigned *size)
{
    static const Frame f = QXCTL_FRAME(BLOB_28);
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, QXCTL_MAIN_PAIR, QXTAG_BLOB_28, QXMSG_EMPTY, 0))
        return 1;
    for (int cycle = 0; cycle < QXCTL_ANSWER_POLLS; cycle++) {
        if (qxctl_recv(ch, &msg.m)) {
            err(f.recv);
            return 1;
        }
        unsigned t, type, n;
        uintptr_t v;
        while (qxmsg_next(&msg.m, &t, &type, &v, &n) == 0) {
            if (t != QXTAG_BLOB_28)
                continue;
            if (type != QXMSG_BLOB) {
                err(QXCTL_LINE_BLOB_28_TYPE);
                continue;
            }
            if (buf && n && n <= capacity)
                memcpy(buf, reinterpret_cast<const void *>(v), n);
            if (size)
                *size = n;
            return 0;
        }
        qx_sleep_ms(QXCTL_ANSWER_PAUSE_MS);
    }
    return 1;
}

// --- debug text and status ---

int qxctl_read_debug_text(QxChannel *ch, char *buf, unsigned capacity, unsigned *size)
{
    if (!has_channel(ch))
        return 1;
    Msg msg; // set-up (QXCTL_LINE_DEBUG_TEXT_SETUP) cannot fail with a buffer of our own
    if (qxctl_recv(ch, &msg.m)) {
        err(QXCTL_LINE_DEBUG_TEXT_RECV);
        return 1;
    }
    unsigned t, type, n;
    uintptr_t v;
    while (qxmsg_next(&msg.m, &t, &type, &v, &n) == 0) {
        if (t == 0)
            break;
        if (t != QXTAG_DEBUG || type != QXMSG_BLOB)
            continue;
        if (n > capacity)
            n = capacity;
        if (buf && n)
            memcpy(buf, reinterpret_cast<const void *>(v), n);
        if (size)
            *size = n;
    }
    return 0;
}

int qxctl_read_status(QxChannel *ch, uint32_t *status)
{
    if (!has_channel(ch))
        return 1;
    uint8_t byte = 0;
    if (usbdevs_read(&(*ch)->devices[0], QXREQ_STATUS, 0, 0, 1, &byte)) {
        err(QXCTL_LINE_READ_STATUS_RECV);
        return 1;
    }
    if (status)
        *status = byte;
    return 0;
}

// --- version and build on the alternate pair ---

int qxctl_get_version_alt(QxChannel *ch, int16_t *version)
{
    static const Frame f = QXCTL_FRAME(VERSION_ALT);
    return get_info_alt(ch, f, QXCTL_LINE_VERSION_ALT_POLLS, QXTAG_VERSION, true, version);
}

int qxctl_get_build_alt(QxChannel *ch, int16_t *build)
{
    static const Frame f = QXCTL_FRAME(BUILD_ALT);
    return get_info_alt(ch, f, QXCTL_LINE_BUILD_ALT_POLLS, QXTAG_BUILD, false, build);
}
