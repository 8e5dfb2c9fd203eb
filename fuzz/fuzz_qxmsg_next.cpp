// Parses arbitrary bytes as a received message, the way every answer is read.
#include <cstring>

#include "fuzz_support.h"
#include "qxmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet();
    if (size == 0)
        return 0;
    // First byte picks the capacity, as answers may come in any buffer size.
    uint8_t cap = data[0];
    uint8_t buf[255];
    memset(buf, 0, sizeof buf);
    size_t n = size - 1 < cap ? size - 1 : cap;
    memcpy(buf, data + 1, n);
    QxMsg m;
    qxmsg_init(&m, buf, cap);
    unsigned tag, type, sz;
    uintptr_t value;
    int items = 0;
    while (qxmsg_next(&m, &tag, &type, &value, &sz) == 0) {
        if (m.pos > m.cap)
            __builtin_trap();
        if (type == QXMSG_BLOB) {
            const uint8_t *p = (const uint8_t *)value;
            // The payload must lie inside the buffer.
            if (p < buf || p + sz > buf + cap)
                __builtin_trap();
            volatile uint8_t sink = 0;
            for (unsigned i = 0; i < sz; i++)
                sink ^= p[i];
            (void)sink;
        }
        if (++items > 255)
            __builtin_trap(); // every item advances pos
    }
    return 0;
}
