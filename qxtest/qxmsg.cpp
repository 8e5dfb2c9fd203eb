// Tag-type-value message codec.
#include "qxmsg.h"

#include <cstring>

#include "qxsites.h"
#include "qxsys.h"

namespace
{

// Room left in the message as an 8-bit value. A record whose pos lies past
// its cap (a broken invariant) is treated as having no room at all, so that
// no byte outside the buffer is ever touched.
unsigned room_of(const QxMsg *msg)
{
    if (msg->pos > msg->cap)
        return 0;
    return (uint8_t)(msg->cap - msg->pos);
}

} // namespace

int qxmsg_init(QxMsg *msg, uint8_t *buf, uint8_t cap)
{
    if (!msg)
        return 1;
    msg->buf = buf;
    msg->cap = cap;
    msg->pos = 0;
    return 0;
}

int qxmsg_rewind(QxMsg *msg)
{
    if (!msg)
        return 1;
    msg->pos = 0;
    return 0;
}

unsigned qxmsg_room_for_blob(const QxMsg *msg)
{
    if (!msg || msg->pos > msg->cap)
        return 0;
    if ((unsigned)msg->pos + 3 <= msg->cap)
        return (unsigned)msg->cap - msg->pos - 3;
    return 0;
}

int qxmsg_reserve(QxMsg *msg, unsigned tag, unsigned type, unsigned size, uint8_t **payload,
                  unsigned *payload_size)
{
    if (payload)
        *payload = nullptr;
    if (payload_size)
        *payload_size = 0;
    if (!msg || !msg->buf)
        return 1;

    unsigned room = room_of(msg);
    // 1. A full buffer: nothing is written; an end marker silently drops out.
    if (room <= 1)
        return tag == 0 ? 0 : 1;

    // 2. The type code.
    if (type > QXMSG_BLOB) {
        qx_error_line(QXMSG_SRC, QXMSG_LINE_PUT_TYPE);
        return 1;
    }

    // 3. The room for the item.
    unsigned item = 2; // tag and type
    unsigned n = 0;    // payload size
    switch (type) {
    case QXMSG_END:
        if (tag != 0) {
            qx_error_line(QXMSG_SRC, QXMSG_LINE_PUT_END);
            return 1;
        }
        break;
    case QXMSG_EMPTY:
        break;
    case QXMSG_U8:
        if (room <= 2) {
            qx_error_line(QXMSG_SRC, QXMSG_LINE_PUT_U8);
            return 1;
        }
        n = 1;
        break;
    case QXMSG_U16:
        if (room <= 3) {
            qx_error_line(QXMSG_SRC, QXMSG_LINE_PUT_U16);
            return 1;
        }
        n = 2;
        break;
    case QXMSG_U32:
        if (room <= 5) {
            qx_error_line(QXMSG_SRC, QXMSG_LINE_PUT_U32);
            return 1;
        }
        n = 4;
        break;
    case QXMSG_BLOB:
        if (size != 0) {
            // n + 3 > room, without wrap-around for huge sizes.
            if (size > room || room - size < 3) {
                qx_error_line(QXMSG_SRC, QXMSG_LINE_PUT_BLOB);
                return 1;
            }
            n = size;
        } else {
            // All the room that is left; with only 2 bytes of room there is
            // no place for the length byte.
            if (room < 3) {
                qx_error_line(QXMSG_SRC, QXMSG_LINE_PUT_BLOB);
                return 1;
            }
            n = room - 3;
        }
        item = 3;
        break;
    }

    // 4. Header, payload reference, advance.
    uint8_t *at = msg->buf + msg->pos;
    at[0] = (uint8_t)tag;
    at[1] = (uint8_t)type;
    if (type == QXMSG_BLOB)
        at[2] = (uint8_t)n;
    if (payload)
        *payload = (type == QXMSG_END || type == QXMSG_EMPTY) ? nullptr : at + item;
    if (payload_size)
        *payload_size = n;
    msg->pos = (uint8_t)(msg->pos + item + n);
    return 0;
}

int qxmsg_put(QxMsg *msg, unsigned tag, unsigned type, uintptr_t value, unsigned size)
{
    uint8_t *p = nullptr;
    unsigned n = 0;
    if (qxmsg_reserve(msg, tag, type, size, &p, &n))
        return 1;
    if (!p)
        return 0; // types 0 and 1, or an end marker that dropped out
    switch (type) {
    case QXMSG_U8:
        p[0] = (uint8_t)value;
        break;
    case QXMSG_U16:
        p[0] = (uint8_t)value;
        p[1] = (uint8_t)(value >> 8);
        break;
    case QXMSG_U32:
        p[0] = (uint8_t)value;
        p[1] = (uint8_t)(value >> 8);
        p[2] = (uint8_t)(value >> 16);
        p[3] = (uint8_t)(value >> 24);
        break;
    case QXMSG_BLOB:
        if (n) {
            const void *src = reinterpret_cast<const void *>(value);
            if (src)
                memmove(p, src, n);
            else
                memset(p, 0, n);
        }
        break;
    default:
        break;
    }
    return 0;
}

int qxmsg_next(QxMsg *msg, unsigned *tag, unsigned *type, uintptr_t *value, unsigned *size)
{
    if (!msg || !msg->buf)
        return 1;
    unsigned room = room_of(msg);
    // 1. No room for an item header.
    if (room <= 1)
        return 1;

    const uint8_t *at = msg->buf + msg->pos;
    unsigned t = at[1];
    // 2. The type code.
    if (t > QXMSG_BLOB) {
        qx_printf("%s:%d:ERROR %#x\n", QXMSG_SRC, QXMSG_LINE_NEXT_TYPE, t);
        return 1;
    }
    // 3. The end marker stays where it is.
    if (t == QXMSG_END)
        return 1;

    // 4. The whole item must lie inside the room.
    unsigned item = 2;
    unsigned n = 0;
    uintptr_t v = 0;
    switch (t) {
    case QXMSG_EMPTY:
        break;
    case QXMSG_U8:
        if (room < 3)
            return 1;
        n = 1;
        v = at[2];
        break;
    case QXMSG_U16:
        if (room < 4)
            return 1;
        n = 2;
        v = (uintptr_t)at[2] | (uintptr_t)at[3] << 8;
        break;
    case QXMSG_U32:
        if (room < 6)
            return 1;
        n = 4;
        v = (uintptr_t)((uint32_t)at[2] | (uint32_t)at[3] << 8 | (uint32_t)at[4] << 16 |
                        (uint32_t)at[5] << 24);
        break;
    case QXMSG_BLOB:
        if (room < 3)
            return 1;
        n = at[2];
        if (room < n + 3)
            return 1;
        item = 3;
        v = reinterpret_cast<uintptr_t>(at + 3);
        break;
    }

    // 5. Hand out and advance.
    if (tag)
        *tag = at[0];
    if (type)
        *type = t;
    if (value)
        *value = v;
    if (size)
        *size = n;
    msg->pos = (uint8_t)(msg->pos + item + n);
    return 0;
}
