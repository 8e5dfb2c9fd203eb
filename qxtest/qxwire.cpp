#include "qxwire.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <unistd.h>
#endif

static std::atomic<unsigned> g_timeout_ms{QXWIRE_TIMEOUT_MS};

void qxwire_set_timeout_ms(unsigned ms)
{
    g_timeout_ms.store(ms ? ms : QXWIRE_TIMEOUT_MS, std::memory_order_relaxed);
}

unsigned qxwire_timeout_ms(void)
{
    return g_timeout_ms.load(std::memory_order_relaxed);
}

static std::atomic<QxWireClockFn> g_clock{nullptr};

void qxwire_set_clock(QxWireClockFn fn)
{
    g_clock.store(fn, std::memory_order_relaxed);
}

uint64_t qxwire_now_ms(void)
{
    if (QxWireClockFn fn = g_clock.load(std::memory_order_relaxed))
        return fn();
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static std::atomic<uint64_t> g_counts[QXWIRE_COUNTS];

void qxwire_count(int which)
{
    if (which >= 0 && which < QXWIRE_COUNTS)
        g_counts[which].fetch_add(1, std::memory_order_relaxed);
}

uint64_t qxwire_counted(int which)
{
    if (which < 0 || which >= QXWIRE_COUNTS)
        return 0;
    return g_counts[which].load(std::memory_order_relaxed);
}

void qxwire_put_u32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

uint32_t qxwire_get_u32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void qxwire_put_request_header(uint8_t *pkt, uint32_t code, uint32_t out_size)
{
    qxwire_put_u32(pkt, code);
    qxwire_put_u32(pkt + 4, out_size);
}

int qxwire_encode_request(uint8_t *pkt, size_t cap, uint32_t code, uint32_t out_size,
                          const uint8_t *in, uint32_t in_size, size_t *len)
{
    if (!pkt || (!in && in_size) || in_size > QXWIRE_MAX_INPUT)
        return 1;
    size_t need = QXWIRE_REQUEST_HEADER + (size_t)in_size;
    if (need > cap)
        return 1;
    qxwire_put_request_header(pkt, code, out_size);
    if (in_size)
        memcpy(pkt + QXWIRE_REQUEST_HEADER, in, in_size);
    if (len)
        *len = need;
    return 0;
}

int qxwire_decode_request(const uint8_t *pkt, size_t len, QxWireRequest *req)
{
    if (!pkt || !req || len < QXWIRE_REQUEST_HEADER + (size_t)USBDEVS_MIN_INPUT ||
        len > QXWIRE_MAX_REQUEST)
        return 1;
    uint32_t out_size = qxwire_get_u32(pkt + 4);
    if (out_size > QXWIRE_MAX_OUTPUT)
        return 1;
    req->code = qxwire_get_u32(pkt);
    req->out_size = out_size;
    req->in = pkt + QXWIRE_REQUEST_HEADER;
    req->in_size = (uint32_t)(len - QXWIRE_REQUEST_HEADER);
    return 0;
}

int qxwire_encode_reply(uint8_t *pkt, size_t cap, uint32_t status, const uint8_t *out,
                        uint32_t count, size_t *len)
{
    if (!pkt || (!out && count) || count > QXWIRE_MAX_OUTPUT)
        return 1;
    size_t need = QXWIRE_REPLY_HEADER + (size_t)count;
    if (need > cap)
        return 1;
    qxwire_put_u32(pkt, status);
    if (count)
        memcpy(pkt + QXWIRE_REPLY_HEADER, out, count);
    if (len)
        *len = need;
    return 0;
}

int qxwire_decode_reply(const uint8_t *pkt, size_t len, QxWireReply *rep)
{
    if (!pkt || !rep || len < QXWIRE_REPLY_HEADER || len > QXWIRE_MAX_REPLY)
        return 1;
    rep->status = qxwire_get_u32(pkt);
    rep->out = pkt + QXWIRE_REPLY_HEADER;
    rep->out_count = (uint32_t)(len - QXWIRE_REPLY_HEADER);
    return 0;
}

int qxwire_device_dir_from(char *dir, size_t cap, const char *qx_device_dir,
                           const char *xdg_runtime_dir, unsigned uid)
{
    if (!dir || cap == 0)
        return 1;
    int n;
    if (qx_device_dir && *qx_device_dir)
        n = snprintf(dir, cap, "%s", qx_device_dir);
    else if (xdg_runtime_dir && *xdg_runtime_dir)
        n = snprintf(dir, cap, "%s/qx", xdg_runtime_dir);
    else
        n = snprintf(dir, cap, "/tmp/qx-%u", uid);
    if (n < 0 || (size_t)n >= cap) {
        dir[0] = 0;
        return 1;
    }
    return 0;
}

int qxwire_device_dir(char *dir, size_t cap)
{
#ifdef _WIN32
    // The Linux endpoint's folder means nothing here; the wire format is
    // what the Windows simulated device shares.
    const unsigned uid = 0;
#else
    const unsigned uid = (unsigned)getuid();
#endif
    return qxwire_device_dir_from(dir, cap, getenv("QX_DEVICE_DIR"), getenv("XDG_RUNTIME_DIR"),
                                  uid);
}

int qxwire_endpoint_in(char *path, size_t cap, const char *dir)
{
    if (!path || cap == 0)
        return 1;
    if (!dir) {
        path[0] = 0;
        return 1;
    }
    size_t dl = strlen(dir);
    // "/run/user/1000/qx/" and "/run/user/1000/qx" name the same directory.
    while (dl > 1 && dir[dl - 1] == '/')
        --dl;
    int n = snprintf(path, cap, "%.*s/%s", (int)dl, dir, QXWIRE_ENDPOINT);
    if (n < 0 || (size_t)n >= cap || n > QXWIRE_MAX_PATH) {
        path[0] = 0;
        return 1;
    }
    return 0;
}

int qxwire_endpoint_path(char *path, size_t cap)
{
    char dir[4096];
    if (qxwire_device_dir(dir, sizeof dir)) {
        if (path && cap)
            path[0] = 0;
        return 1;
    }
    return qxwire_endpoint_in(path, cap, dir);
}
