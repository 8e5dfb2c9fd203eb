// Device commands: the command catalogue of qxctl. Every
// command builds its request in a 64-byte message of its own, waits until
// the device is ready, sends, and (when it expects one) polls the answer.
#include <cstring>

#include "qxctl.h"
#include "qxsys.h"

namespace {

constexpr int POLL_CYCLES = 100;
constexpr uint32_t POLL_SLEEP_MS = 5;

// Device-facing tags used only here.
enum {
    TAG_MARK_65 = 65,
    TAG_MARK_66 = 66,
    TAG_MARK_67 = 67,
    TAG_BLOB_28 = 28,
};

bool has_channel(QxChannel *ch) { return ch && *ch; }

void err(int line) { qx_error_line(QXCTL_SRC, line); }

// Error lines of the common frame (0 = no line).
struct Frame {
    int setup, items, end, wait, send, recv;
};

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
const Pair MAIN_PAIR = {qxctl_wait_ready, qxctl_send, qxctl_recv};
const Pair ALT_PAIR = {qxctl_wait_ready_alt, qxctl_send_alt, qxctl_recv_alt};

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
int request1(QxChannel *ch, Msg &msg, const Frame &f, const Pair &pair, unsigned tag,
             unsigned type, uintptr_t value)
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

template <size_t N> int build(QxMsg *msg, const Item (&items)[N]) { return build(msg, items, N); }

// A send-only command whose items come from a builder.
template <typename B>
int built_command(QxChannel *ch, const Frame &f, B builder)
{
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (builder(&msg.m)) {
        if (f.items)
            err(f.items);
        return 1;
    }
    return finish_and_send(ch, msg, f, MAIN_PAIR);
}

// --- single-value setters and getters ---

int set_value(QxChannel *ch, const Frame &f, unsigned tag, unsigned type, uint32_t value)
{
    if (!has_channel(ch))
        return 1;
    Msg msg;
    uintptr_t v = type == QXMSG_U8 ? (uintptr_t)(value & 0xFF) : (uintptr_t)value;
    return request1(ch, msg, f, MAIN_PAIR, tag, type, v);
}

// Request [tag, empty]; the first numeric or empty item with the answer
// tag ends the command. A blob with the answer tag does not answer.
int get_value32(QxChannel *ch, const Frame &f, unsigned tag, unsigned answer, uint32_t *out)
{
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, MAIN_PAIR, tag, QXMSG_EMPTY, 0))
        return 1;
    for (int cycle = 0; cycle < POLL_CYCLES; cycle++) {
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
        qx_sleep_ms(POLL_SLEEP_MS);
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
int get_info_alt(QxChannel *ch, const Frame &f, int l_poll, unsigned answer, bool u16_only,
                 int16_t *out)
{
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, ALT_PAIR, QXTAG_INFO, QXMSG_EMPTY, 0))
        return 1;
    for (int cycle = 0; cycle < POLL_CYCLES; cycle++) {
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
        qx_sleep_ms(POLL_SLEEP_MS);
    }
    err(l_poll);
    return 1;
}

} // namespace

// --- the info query ---

namespace
{

int get_info(QxChannel *ch, void *dst, unsigned capacity, unsigned *size, unsigned tag)
{
    static const Frame f = {1488, 1497, 1501, 1505, 1509, 1516};
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, MAIN_PAIR, QXTAG_INFO, QXMSG_EMPTY, 0))
        return 1;
    for (int cycle = 0; cycle < POLL_CYCLES; cycle++) {
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
                err(1539);
                break; // ends the cycle
            }
            if (size)
                *size = n;
            if (n != 0)
                return 0;
            break; // a zero size ends the cycle
        }
        qx_sleep_ms(POLL_SLEEP_MS);
    }
    err(1552);
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
    static const Frame f = {901, 910, 914, 918, 922, 0};
    return set_value(ch, f, 19, QXMSG_U8, value);
}

int qxctl_set_137(QxChannel *ch, unsigned value)
{
    static const Frame f = {943, 952, 956, 960, 964, 0};
    return set_value(ch, f, 137, QXMSG_U8, value);
}

int qxctl_set_23(QxChannel *ch, uint32_t value)
{
    static const Frame f = {985, 994, 998, 1002, 1006, 0};
    return set_value(ch, f, 23, QXMSG_U32, value);
}

int qxctl_set_25(QxChannel *ch, unsigned value)
{
    static const Frame f = {1184, 1193, 1197, 1201, 1205, 0};
    return set_value(ch, f, 25, QXMSG_U8, value);
}

int qxctl_trigger_162(QxChannel *ch)
{
    static const Frame f = {1142, 1151, 1155, 1159, 1163, 0};
    return set_value(ch, f, 162, QXMSG_EMPTY, 0);
}

// --- single-value getters ---

int qxctl_get_24(QxChannel *ch, uint32_t *value)
{
    static const Frame f = {1026, 1035, 1039, 1043, 1047, 1053};
    return get_value32(ch, f, 24, 24, value);
}

int qxctl_get_196(QxChannel *ch, uint32_t *value)
{
    static const Frame f = {1085, 1094, 1098, 1102, 1106, 1112};
    return get_value32(ch, f, 196, 196, value);
}

int qxctl_get_26(QxChannel *ch, uint32_t *value)
{
    static const Frame f = {1225, 1234, 1238, 1242, 1246, 1252};
    return get_value32(ch, f, 26, 26, value);
}

int qxctl_get_27(QxChannel *ch, uint8_t *value)
{
    static const Frame f = {1284, 1293, 1297, 1301, 1305, 1311};
    return get_value8(ch, f, 27, 27, value);
}

int qxctl_get_193(QxChannel *ch, uint32_t *value)
{
    static const Frame f = {1344, 1353, 1357, 1361, 1365, 1371};
    return get_value32(ch, f, 193, 193, value);
}

int qxctl_get_20(QxChannel *ch, uint8_t *value)
{
    static const Frame f = {1417, 1426, 1430, 1434, 1438, 1444};
    return get_value8(ch, f, 20, 21, value);
}

// --- addressed requests ---

int qxctl_build_addressed(QxMsg *msg, unsigned a, unsigned s, unsigned tag, unsigned v)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, 2743},
        {QXTAG_SUBADDR, QXMSG_U8, s, 2752},
        {tag, QXMSG_U8, v, 2761},
    };
    return build(msg, items);
}

int qxctl_set_addressed(QxChannel *ch, unsigned a, unsigned s, unsigned tag, unsigned v)
{
    static const Frame f = {2784, 0, 2794, 2798, 2802, 0};
    return built_command(ch, f,
                         [&](QxMsg *m) { return qxctl_build_addressed(m, a, s, tag, v); });
}

int qxctl_set_129(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, 129, v);
}

int qxctl_set_130(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, 130, v);
}

int qxctl_set_131(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, 131, v);
}

int qxctl_set_132(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, 132, v);
}

int qxctl_set_133(QxChannel *ch, unsigned a, unsigned s, unsigned v)
{
    return qxctl_set_addressed(ch, a, s, 133, v);
}

int qxctl_build_cmd_67(QxMsg *msg, unsigned a1, unsigned s1, unsigned a2, unsigned s2)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a1, 2019},   {QXTAG_SUBADDR, QXMSG_U8, s1, 2028},
        {TAG_MARK_65, QXMSG_EMPTY, 0, 2037}, {QXTAG_ADDR, QXMSG_U8, a2, 2047},
        {QXTAG_SUBADDR, QXMSG_U8, s2, 2056}, {TAG_MARK_66, QXMSG_EMPTY, 0, 2065},
        {TAG_MARK_67, QXMSG_EMPTY, 0, 2074},
    };
    return build(msg, items);
}

int qxctl_cmd_67(QxChannel *ch, unsigned a1, unsigned s1, unsigned a2, unsigned s2)
{
    static const Frame f = {2096, 2101, 2107, 2111, 2115, 0};
    return built_command(ch, f,
                         [&](QxMsg *m) { return qxctl_build_cmd_67(m, a1, s1, a2, s2); });
}

int qxctl_build_cmd_85(QxMsg *msg, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                       unsigned d, unsigned e)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, 2246}, {QXTAG_SUBADDR, QXMSG_U8, s, 2255},
        {81, QXMSG_U8, b, 2264},         {82, QXMSG_U8, c, 2273},
        {83, QXMSG_U8, d, 2282},         {84, QXMSG_U8, e, 2291},
        {85, QXMSG_U8, last, 2300},
    };
    return build(msg, items);
}

int qxctl_cmd_85(QxChannel *ch, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                 unsigned d, unsigned e)
{
    static const Frame f = {2322, 2327, 2332, 2336, 2340, 0};
    return built_command(
        ch, f, [&](QxMsg *m) { return qxctl_build_cmd_85(m, a, s, last, b, c, d, e); });
}

int qxctl_build_cmd_151(QxMsg *msg, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                        unsigned d, unsigned e, unsigned f, unsigned g)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, 2367}, {QXTAG_SUBADDR, QXMSG_U8, s, 2376},
        {145, QXMSG_U8, b, 2385},        {146, QXMSG_U8, c, 2394},
        {147, QXMSG_U8, d, 2403},        {148, QXMSG_U8, e, 2412},
        {149, QXMSG_U8, f, 2421},        {150, QXMSG_U8, g, 2430},
        {151, QXMSG_U8, last, 2439},
    };
    return build(msg, items);
}

int qxctl_cmd_151(QxChannel *ch, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                  unsigned d, unsigned e, unsigned f, unsigned g)
{
    static const Frame fr = {2462, 2466, 2470, 2474, 2478, 0};
    return built_command(ch, fr, [&](QxMsg *m) {
        return qxctl_build_cmd_151(m, a, s, last, b, c, d, e, f, g);
    });
}

int qxctl_build_cmd_70(QxMsg *msg, unsigned a1, unsigned s1, unsigned a2, unsigned s2, unsigned x,
                       unsigned y)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a1, 2142},   {QXTAG_SUBADDR, QXMSG_U8, s1, 2151},
        {TAG_MARK_65, QXMSG_EMPTY, 0, 2160}, {QXTAG_ADDR, QXMSG_U8, a2, 2170},
        {QXTAG_SUBADDR, QXMSG_U8, s2, 2179}, {TAG_MARK_66, QXMSG_EMPTY, 0, 2188},
        {68, QXMSG_U8, x, 2197},             {69, QXMSG_U8, y, 2206},
        {70, QXMSG_EMPTY, 0, 2215},
    };
    return build(msg, items);
}

int qxctl_build_cmd_213(QxMsg *msg, unsigned p, unsigned q, unsigned r, unsigned t)
{
    const Item items[] = {
        {209, QXMSG_U8, p, 2505}, {210, QXMSG_U8, q, 2514}, {211, QXMSG_U8, r, 2522},
        {212, QXMSG_U8, t, 2530}, {213, QXMSG_EMPTY, 0, 2538},
    };
    return build(msg, items);
}

int qxctl_build_cmd_76(QxMsg *msg, unsigned p, unsigned q, unsigned r)
{
    const Item items[] = {
        {73, QXMSG_U8, p, 2569},
        {74, QXMSG_U8, q, 2578},
        {75, QXMSG_U8, r, 2586},
        {76, QXMSG_EMPTY, 0, 2594},
    };
    return build(msg, items);
}

int qxctl_build_cmd_72(QxMsg *msg, unsigned q, unsigned p)
{
    const Item items[] = {
        {71, QXMSG_U8, p, 2642},
        {72, QXMSG_U8, q, 2650},
    };
    return build(msg, items);
}

int qxctl_build_cmd_139(QxMsg *msg, unsigned a, unsigned s, unsigned x, unsigned y)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, 2682},
        {QXTAG_SUBADDR, QXMSG_U8, s, 2691},
        {140, QXMSG_U8, y, 2700},
        {139, QXMSG_U8, x, 2709},
    };
    return build(msg, items);
}

// --- addressed read ---

int qxctl_build_get_value(QxMsg *msg, unsigned a, unsigned s)
{
    const Item items[] = {
        {QXTAG_ADDR, QXMSG_U8, a, 1832},
        {QXTAG_SUBADDR, QXMSG_U8, s, 1841},
        {QXTAG_GET_VALUE, QXMSG_EMPTY, 0, 1850},
    };
    return build(msg, items);
}

int qxctl_get_value(QxChannel *ch, unsigned a, unsigned s, int16_t *value)
{
    static const Frame f = {1878, 1883, 1888, 1892, 1896, 1902};
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (qxctl_build_get_value(&msg.m, a, s)) {
        err(f.items);
        return 1;
    }
    if (finish_and_send(ch, msg, f, MAIN_PAIR))
        return 1;
    // The address of the answer items, carried over from one answer to the next.
    uint32_t addr = 0, subaddr = 0;
    for (int cycle = 0; cycle < POLL_CYCLES; cycle++) {
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
        qx_sleep_ms(POLL_SLEEP_MS);
    }
    return 1; // no line when the poll runs out
}

// --- list ---

int qxctl_list_113(QxChannel *ch, QxListEntry *entries, unsigned capacity, unsigned *count)
{
    static const Frame f = {1741, 1750, 1754, 1758, 1762, 1774};
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, MAIN_PAIR, QXTAG_LIST, QXMSG_EMPTY, 0))
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
            qx_sleep_ms(POLL_SLEEP_MS);
            if (++misses >= POLL_CYCLES) {
                err(1801);
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
    static const Frame f = {1947, 1952, 1957, 1961, 1965, 1971};
    if (!has_channel(ch))
        return 1;
    Msg msg;
    if (request1(ch, msg, f, MAIN_PAIR, TAG_BLOB_28, QXMSG_EMPTY, 0))
        return 1;
    for (int cycle = 0; cycle < POLL_CYCLES; cycle++) {
        if (qxctl_recv(ch, &msg.m)) {
            err(f.recv);
            return 1;
        }
        unsigned t, type, n;
        uintptr_t v;
        while (qxmsg_next(&msg.m, &t, &type, &v, &n) == 0) {
            if (t != TAG_BLOB_28)
                continue;
            if (type != QXMSG_BLOB) {
                err(1981);
                continue;
            }
            if (buf && n && n <= capacity)
                memcpy(buf, reinterpret_cast<const void *>(v), n);
            if (size)
                *size = n;
            return 0;
        }
        qx_sleep_ms(POLL_SLEEP_MS);
    }
    return 1;
}

// --- debug text and status ---

int qxctl_read_debug_text(QxChannel *ch, char *buf, unsigned capacity, unsigned *size)
{
    if (!has_channel(ch))
        return 1;
    Msg msg; // set-up (line 852) cannot fail with a buffer of our own
    if (qxctl_recv(ch, &msg.m)) {
        err(856);
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
        err(2613);
        return 1;
    }
    if (status)
        *status = byte;
    return 0;
}

// --- version and build on the alternate pair ---

int qxctl_get_version_alt(QxChannel *ch, int16_t *version)
{
    static const Frame f = {1594, 1603, 1607, 1611, 1615, 1622};
    return get_info_alt(ch, f, 1646, QXTAG_VERSION, true, version);
}

int qxctl_get_build_alt(QxChannel *ch, int16_t *build)
{
    static const Frame f = {1667, 1676, 1680, 1684, 1688, 1695};
    return get_info_alt(ch, f, 1719, QXTAG_BUILD, false, build);
}
