// Device access, the part every platform shares: backend selection, the
// device table, the framing of the I/O-control input buffer, the exact-length
// rule and the diagnostic lines. What reaches the operating system is behind
// the backend (usbdevs_linux.cpp, usbdevs_win.cpp).
#include "usbdevs.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qxsites.h"
#include "qxsys.h"

namespace
{
std::atomic<const UsbdevsBackend *> g_backend{nullptr};
std::atomic<UsbdevsDecorator> g_decorator{nullptr};

const uint16_t g_no_path[1] = {0};

// "\qx-10_20": the control interface's reference string.
const char g_reference[] = "\\" USBDEVS_SERVICE;

uint16_t get16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
void put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

const uint16_t *entry_path(const QxDevice *dev)
{
    return dev ? dev->path : g_no_path;
}

// This thread's last failed call, for the record of a failed operation.
thread_local uint32_t t_failed_code = 0;
thread_local unsigned t_failed_calls = 0;

void note_failed_call(uint32_t code)
{
    t_failed_code = code;
    t_failed_calls++;
}

// One call through the backend; applies the exact-length rule. Returns the
// backend's result, or USBDEVS_ERR_CALL after USBDEVS_LINE_LENGTH.
int transfer(const QxDevice *dev, const uint8_t *in, uint32_t in_size, uint8_t *out,
             uint32_t out_size)
{
    if (qx_stop_requested()) {
        // Stopped between two calls: this one is never made.
        note_failed_call(USBDEVS_ERROR_OPERATION_ABORTED);
        return USBDEVS_ERR_CALL;
    }
    const UsbdevsBackend *b = usbdevs_backend();
    uint32_t returned = 0;
    uint32_t error = 0;
    int r = b->ioctl(b->self, entry_path(dev), in, in_size, out, out_size, &returned, &error);
    if (r != USBDEVS_OK)
        note_failed_call(error);
    else if (returned != out_size)
        note_failed_call(0);
    if (r == USBDEVS_ERR_CALL) {
        qx_error_line(USBDEVS_SRC, USBDEVS_LINE_CALL);
        b->print_error(b->self, error);
        return r;
    }
    if (r != USBDEVS_OK)
        return r;
    if (returned != out_size) {
        qx_error_line(USBDEVS_SRC, USBDEVS_LINE_LENGTH);
        return USBDEVS_ERR_CALL;
    }
    return USBDEVS_OK;
}
} // namespace

void usbdevs_set_backend(const UsbdevsBackend *backend)
{
    g_backend.store(backend, std::memory_order_release);
}

void usbdevs_set_decorator(UsbdevsDecorator decorator)
{
    g_decorator.store(decorator, std::memory_order_release);
}

const UsbdevsBackend *usbdevs_backend(void)
{
    const UsbdevsBackend *b = g_backend.load(std::memory_order_acquire);
    if (!b)
        b = usbdevs_platform_backend();
    UsbdevsDecorator decorator = g_decorator.load(std::memory_order_acquire);
    return decorator ? decorator(b) : b;
}

int usbdevs_init(void)
{
    const UsbdevsBackend *b = usbdevs_backend();
    if (!b->init)
        return 0;
    return b->init(b->self) ? 1 : 0;
}

int usbdevs_clear(QxDevice *table)
{
    if (!table)
        return 1;
    memset(table, 0, sizeof(QxDevice) * QXCTL_MAX_DEVICES);
    return 0;
}

int usbdevs_probe(QxDevice *table, unsigned number, QxDevice **entry)
{
    // Only one device is ever addressed.
    if (number != 0 || !table)
        return 1;
    int status = 0;
    if (!usbdevs_find(USBDEVS_SERVICE, table[0].path, USBDEVS_PATH_UNITS, &status))
        return 1;
    if (entry)
        *entry = &table[0];
    return 0;
}

namespace
{
thread_local char t_absence[512];
} // namespace

void usbdevs_set_absence(const char *text)
{
    t_absence[0] = 0;
    if (text)
        snprintf(t_absence, sizeof t_absence, "%s", text);
}

int usbdevs_absence(char *buf, size_t cap)
{
    if (!buf || cap == 0)
        return 1;
    snprintf(buf, cap, "%s", t_absence);
    return t_absence[0] ? 0 : 1;
}

int usbdevs_find(const char *service, uint16_t *path, size_t cap, int *copy_status)
{
    usbdevs_set_absence(nullptr);
    const UsbdevsBackend *b = usbdevs_backend();
    int status = 0;
    int found = b->find(b->self, service, path, cap, &status);
    if (found && path) {
        // A path cut short by the copy names no device: it must not be opened.
        if (status != 0 || cap == 0 || usbdevs_wcslen(path, cap) >= cap) {
            if (status == 0)
                status = 1;
            if (cap)
                path[0] = 0;
            found = 0;
        }
    }
    if (copy_status)
        *copy_status = status;
    if (found)
        usbdevs_set_absence(nullptr);
    return found ? 1 : 0;
}

unsigned usbdevs_list(QxDevice *devices, unsigned cap)
{
    usbdevs_set_absence(nullptr);
    if (!devices || cap == 0)
        return 0;
    memset(devices, 0, sizeof(QxDevice) * cap);
    const UsbdevsBackend *b = usbdevs_backend();
    if (!b->list) {
        int status = 0;
        return usbdevs_find(USBDEVS_SERVICE, devices[0].path, USBDEVS_PATH_UNITS, &status) ? 1 : 0;
    }
    unsigned n = b->list(b->self, USBDEVS_SERVICE, devices, cap);
    if (n > cap)
        n = cap;
    // The same rule as a find's: a path that does not end within its entry
    // names no device.
    unsigned kept = 0;
    for (unsigned i = 0; i < n; ++i) {
        if (devices[i].path[0] == 0 ||
            usbdevs_wcslen(devices[i].path, USBDEVS_PATH_UNITS) >= USBDEVS_PATH_UNITS)
            continue;
        if (kept != i)
            devices[kept] = devices[i];
        kept++;
    }
    for (unsigned i = kept; i < n; ++i)
        memset(&devices[i], 0, sizeof devices[i]);
    if (kept)
        usbdevs_set_absence(nullptr);
    return kept;
}

int usbdevs_write(QxDevice *dev, unsigned request, unsigned value, unsigned index, unsigned n,
                  const uint8_t *data)
{
    n &= 0xffffu;
    if (n == 0) {
        qx_error_line(USBDEVS_SRC, USBDEVS_LINE_WRITE_EMPTY);
        return 1;
    }
    if (!data) {
        qx_error_line(USBDEVS_SRC, USBDEVS_LINE_WRITE_DATA);
        return 1;
    }
    uint32_t size = usbdevs_write_size(n);
    uint8_t *in = (uint8_t *)malloc(size);
    if (!in) {
        qx_error_line(USBDEVS_SRC, USBDEVS_LINE_WRITE_NOMEM);
        return 1;
    }
    usbdevs_build_write(in, request, value, index, n, data);
    int r = transfer(dev, in, size, nullptr, 0);
    free(in);
    if (r == USBDEVS_ERR_OPEN)
        qx_error_line(USBDEVS_SRC, USBDEVS_LINE_WRITE_OPEN);
    else if (r == USBDEVS_ERR_NOMEM)
        qx_error_line(USBDEVS_SRC, USBDEVS_LINE_WRITE_NOMEM);
    return r == USBDEVS_OK ? 0 : 1;
}

int usbdevs_read(QxDevice *dev, unsigned request, unsigned value, unsigned index, unsigned n,
                 uint8_t *dst)
{
    n &= 0xffffu;
    uint8_t in[USBDEVS_MIN_INPUT];
    usbdevs_build_read(in, request, value, index);
    if (!dst && n) {
        // Nowhere to put the answer: no byte count could be right.
        qx_error_line(USBDEVS_SRC, USBDEVS_LINE_LENGTH);
        return 1;
    }
    int r = transfer(dev, in, sizeof in, dst, n);
    // An open failure has already been reported by the open itself.
    return r == USBDEVS_OK ? 0 : 1;
}

uint32_t usbdevs_last_error(unsigned *count)
{
    if (count)
        *count = t_failed_calls;
    return t_failed_code;
}

void usbdevs_put_header(uint8_t *out, const QxIoRequest *req)
{
    put32(out + 0, req->direction);
    put32(out + 4, req->length);
    put16(out + 8, req->kind);
    put16(out + 10, req->value);
    put16(out + 12, req->index);
    out[14] = req->reserved;
    out[15] = req->request;
}

int usbdevs_get_header(const uint8_t *in, size_t in_size, QxIoRequest *req)
{
    if (!in || !req || in_size < USBDEVS_HEADER_SIZE)
        return 1;
    req->direction = get32(in + 0);
    req->length = get32(in + 4);
    req->kind = get16(in + 8);
    req->value = get16(in + 10);
    req->index = get16(in + 12);
    req->reserved = in[14];
    req->request = in[15];
    return 0;
}

uint32_t usbdevs_write_size(unsigned n)
{
    uint32_t size = (n & 0xffffu) + USBDEVS_HEADER_SIZE;
    return size < USBDEVS_MIN_INPUT ? USBDEVS_MIN_INPUT : size;
}

void usbdevs_build_write(uint8_t *in, unsigned request, unsigned value, unsigned index, unsigned n,
                         const uint8_t *data)
{
    n &= 0xffffu;
    memset(in, 0, usbdevs_write_size(n));
    QxIoRequest req = {};
    req.direction = 0;
    req.length = n;
    req.kind = USBDEVS_KIND;
    req.value = (uint16_t)value;
    req.index = (uint16_t)index;
    req.reserved = 0;
    req.request = (uint8_t)request;
    usbdevs_put_header(in, &req);
    if (n && data)
        memcpy(in + USBDEVS_HEADER_SIZE, data, n);
}

void usbdevs_build_read(uint8_t *in, unsigned request, unsigned value, unsigned index)
{
    memset(in, 0, USBDEVS_MIN_INPUT);
    QxIoRequest req = {};
    req.direction = 1;
    req.length = 0;
    req.kind = USBDEVS_KIND;
    req.value = (uint16_t)value;
    req.index = (uint16_t)index;
    req.reserved = 0;
    req.request = (uint8_t)request;
    usbdevs_put_header(in, &req);
}

int usbdevs_control_path(const uint16_t *path, uint16_t *out, size_t cap)
{
    if (!out || cap == 0)
        return 1;
    if (!path)
        path = g_no_path;
    size_t len = 0;
    size_t keep = 0;
    int cut = 0;
    for (; path[len]; ++len) {
        if (path[len] == '\\') {
            keep = len;
            cut = 1;
        }
    }
    if (!cut)
        keep = len;
    size_t ref = sizeof g_reference - 1;
    if (keep + ref + 1 > cap) {
        out[0] = 0;
        return 1;
    }
    memmove(out, path, keep * sizeof(uint16_t));
    for (size_t i = 0; i < ref; ++i)
        out[keep + i] = (uint16_t)(unsigned char)g_reference[i];
    out[keep + ref] = 0;
    return 0;
}
