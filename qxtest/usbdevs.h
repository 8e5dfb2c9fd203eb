// Device access: discovery of the device's control interface and the raw
// I/O-control calls that carry every request. The framing (header, minimum
// buffer, exact-length rule, control-interface path) is shared; what reaches
// the operating system sits behind a backend (Windows driver, Linux socket,
// or an in-process simulated device for tests).
#pragma once

#include <cstddef>
#include <cstdint>

#define QXCTL_MAX_DEVICES 10
#define USBDEVS_PATH_UNITS 260 // MAX_PATH
#define IOCTL_QX_CONTROL 0x222000u
#define USBDEVS_KIND 23
#define USBDEVS_HEADER_SIZE 16
#define USBDEVS_MIN_INPUT 20
#define USBDEVS_SERVICE "qx-10_20"

// Windows-style status codes a backend may report for a failed call.
#define USBDEVS_ERROR_FILE_NOT_FOUND 2u
#define USBDEVS_ERROR_GEN_FAILURE 31u
#define USBDEVS_ERROR_DEVICE_NOT_CONNECTED 1167u
// A call not made because a stop was asked for (qx_request_stop).
#define USBDEVS_ERROR_OPERATION_ABORTED 995u

typedef struct QxDevice {
    uint16_t path[USBDEVS_PATH_UNITS]; // UTF-16, NUL-terminated; empty = none
} QxDevice;

// The 16-byte little-endian header that starts every input buffer.
typedef struct QxIoRequest {
    uint32_t direction; // 0 write, 1 read
    uint32_t length;    // write: payload bytes; read: 0
    uint16_t kind;      // always USBDEVS_KIND
    uint16_t value;
    uint16_t index;
    uint8_t reserved;
    uint8_t request;
} QxIoRequest;

enum {
    USBDEVS_OK = 0,
    USBDEVS_ERR_OPEN = 1, // the control interface could not be opened; already reported
    USBDEVS_ERR_CALL = 2, // the call itself failed; *error holds the system code
    USBDEVS_ERR_NOMEM = 3,
};

// What a platform puts behind the operations. Every entry blocks the calling
// thread until the operating system (or the device) has answered.
typedef struct UsbdevsBackend {
    // Prepares the backend before the first probe; 0 on success.
    int (*init)(void *self);
    // Looks for a device whose driver service is `service` (exact match) and
    // copies its interface path (NUL-terminated, at most cap units) into path.
    // Returns 1 when found and copied, 0 otherwise; *copy_status (when given)
    // is 0 when the copy succeeded.
    int (*find)(void *self, const char *service, uint16_t *path, size_t cap, int *copy_status);
    // Opens the control interface of the device at path, makes one
    // IOCTL_QX_CONTROL call and closes it again. Returns USBDEVS_OK with
    // *returned = output bytes delivered, USBDEVS_ERR_OPEN (with *error = the
    // open's system code, or 0 when there is none), or USBDEVS_ERR_CALL with
    // *error = system code. Never keeps anything open.
    int (*ioctl)(void *self, const uint16_t *path, const uint8_t *in, uint32_t in_size,
                 uint8_t *out, uint32_t out_size, uint32_t *returned, uint32_t *error);
    // Prints the report for a system error code (the last-error report).
    void (*print_error)(void *self, uint32_t error);
    void *self;
    // Optional: every device whose driver service is `service`, in the
    // system's order, into at most cap entries of devices (a path cut short
    // is left out). Returns how many it stored. Null: a backend that serves
    // one device at most, which find answers for. Null unless set, so that
    // a backend filled in field by field needs no word about it.
    unsigned (*list)(void *self, const char *service, QxDevice *devices, unsigned cap) = nullptr;
} UsbdevsBackend;

// The backend every operation uses; null restores the platform's own.
void usbdevs_set_backend(const UsbdevsBackend *backend);
const UsbdevsBackend *usbdevs_backend(void);
// A layer around whichever backend is active, applied at every call (a trace
// recorder installs one); it returns the backend to use in place of inner.
// Null removes it.
typedef const UsbdevsBackend *(*UsbdevsDecorator)(const UsbdevsBackend *inner);
void usbdevs_set_decorator(UsbdevsDecorator decorator);
const UsbdevsBackend *usbdevs_platform_backend(void);

int usbdevs_init(void);
int usbdevs_clear(QxDevice *table);
int usbdevs_probe(QxDevice *table, unsigned number, QxDevice **entry);
int usbdevs_find(const char *service, uint16_t *path, size_t cap, int *copy_status);
// Every connected device, not only the one usbdevs_probe finds: on Windows
// each device once, however many of its interfaces match (in the order of
// their first interfaces, each entry holding the path of its last one, as a
// find would), on Linux each served endpoint (QXWIRE_ENDPOINT and
// QXWIRE_ENDPOINT "." suffix) in name order. Stores at most cap entries and
// returns how many; with none, usbdevs_absence says why when the backend can.
unsigned usbdevs_list(QxDevice *devices, unsigned cap);
int usbdevs_write(QxDevice *dev, unsigned request, unsigned value, unsigned index, unsigned n,
                  const uint8_t *data);
int usbdevs_read(QxDevice *dev, unsigned request, unsigned value, unsigned index, unsigned n,
                 uint8_t *dst);
// Why this thread's last usbdevs_find found no device, when the backend can
// say more than that it is absent ("nothing serves /run/user/1000/qx/qx-10_20
// ..."), with what to do about it: 0 and the text, 1 when there is none.
int usbdevs_absence(char *buf, size_t cap);
// For backends: the reason of the find under way (null clears it).
void usbdevs_set_absence(const char *text);
void usbdevs_print_last_error(void);
void usbdevs_print_error(uint32_t error);
// The system or device error code of this thread's last failed call (0 when
// the call failed without one, e.g. an answer of the wrong length), and in
// *count how many of its calls have failed so far.
uint32_t usbdevs_last_error(unsigned *count);
// A sentence for an error code, without the trailing period and line end:
// on Windows the system's own ("The semaphore timeout period has
// expired"), on Linux the project's ("the device did not answer in time").
// 1 and "" when unknown.
int usbdevs_error_text(uint32_t error, char *buf, size_t cap);

// --- shared framing, independent of the platform ---

// Writes the 16-byte header into out (little-endian).
void usbdevs_put_header(uint8_t *out, const QxIoRequest *req);
int usbdevs_get_header(const uint8_t *in, size_t in_size, QxIoRequest *req);
// Size of a write's input buffer for n payload bytes: max(n + 16, 20).
uint32_t usbdevs_write_size(unsigned n);
// Fills the input buffer of a write (usbdevs_write_size(n) bytes, zeroed tail).
void usbdevs_build_write(uint8_t *in, unsigned request, unsigned value, unsigned index, unsigned n,
                         const uint8_t *data);
// Fills the 20-byte input buffer of a read.
void usbdevs_build_read(uint8_t *in, unsigned request, unsigned value, unsigned index);
// The control interface's path: path cut at its last backslash (if any),
// then "\qx-10_20". Returns 0, or 1 when it does not fit cap units.
int usbdevs_control_path(const uint16_t *path, uint16_t *out, size_t cap);
// UTF-16 helpers for the path entries.
size_t usbdevs_wcslen(const uint16_t *s, size_t cap);
// 1 when two entries' paths are the same path (up to the NUL, within
// USBDEVS_PATH_UNITS), else 0.
int usbdevs_same_path(const uint16_t *a, const uint16_t *b);
// The key of the device a path reaches, the same for every path of one
// device: on Windows its control path (usbdevs_control_path: all of a
// device's interfaces lead there), on Linux the endpoint's path itself.
// Locks and lists go by it. 0, or 1 (and "") when it does not fit cap.
int usbdevs_device_key(const uint16_t *path, uint16_t *key, size_t cap);
// 1 when two paths reach the same device (their keys equal, letters compared
// without case on Windows, as the system compares its paths), else 0.
int usbdevs_same_device(const uint16_t *a, const uint16_t *b);
int usbdevs_path_from_utf8(uint16_t *dst, size_t cap, const char *src);
int usbdevs_path_to_utf8(char *dst, size_t cap, const uint16_t *src);
