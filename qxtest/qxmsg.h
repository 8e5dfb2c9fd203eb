// Tag-type-value message codec: the byte format of every message exchanged
// with the device. Caller-owned buffers, no allocation, 0 = success, 1 = failure.
#pragma once

#include <cstdint>

enum {
    QXMSG_END = 0,   // no payload; ends the message; tag must be 0
    QXMSG_EMPTY = 1, // no payload; the tag carries the meaning
    QXMSG_U8 = 2,
    QXMSG_U16 = 3,
    QXMSG_U32 = 4,
    QXMSG_BLOB = 5, // length byte n, then n bytes
};

// 255-byte capacity minus tag, type and length byte.
#define QXMSG_MAX_BLOB 252

typedef struct QxMsg {
    uint8_t *buf; // not owned
    uint8_t cap;  // capacity of buf, at most 255
    uint8_t pos;  // building: bytes written; parsing: offset of the next item
} QxMsg;

int qxmsg_init(QxMsg *msg, uint8_t *buf, uint8_t cap);
int qxmsg_rewind(QxMsg *msg);
// Payload size one more blob could take: cap - pos - 3, or 0.
unsigned qxmsg_room_for_blob(const QxMsg *msg);
// Appends an item header and reserves its payload. size is the blob length
// (0 = all the room left); ignored for other types. Out-parameters may be null.
int qxmsg_reserve(QxMsg *msg, unsigned tag, unsigned type, unsigned size, uint8_t **payload,
                  unsigned *payload_size);
// Appends a whole item. value is the number, or for QXMSG_BLOB the address
// of the payload bytes.
int qxmsg_put(QxMsg *msg, unsigned tag, unsigned type, uintptr_t value, unsigned size);
// Reads the item at pos and advances past it; 1 when there is none. For a
// blob, *value is the address of its first payload byte inside buf.
int qxmsg_next(QxMsg *msg, unsigned *tag, unsigned *type, uintptr_t *value, unsigned *size);
