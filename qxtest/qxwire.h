// The Linux device endpoint's wire format, declared once for the transport
// and for the daemons that serve a device on it.
//
// Endpoint: a Unix-domain SOCK_SEQPACKET socket named "qx-10_20" in the
// device directory ($QX_DEVICE_DIR, else $XDG_RUNTIME_DIR/qx, else
// /tmp/qx-<uid>). One connection carries one I/O-control call:
//
//   request  u32 LE code (IOCTL_QX_CONTROL), u32 LE output size,
//            then the input buffer (16-byte header + payload, >= 20 bytes)
//   reply    u32 LE status (0, or a Windows-style error code),
//            then the output bytes (possibly fewer or more than asked for)
//
// Pure functions, bounds-checked; 0 = success, 1 = failure. The one setting
// is the per-call time bound.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usbdevs.h"

#define QXWIRE_ENDPOINT USBDEVS_SERVICE
#define QXWIRE_REQUEST_HEADER 8
#define QXWIRE_REPLY_HEADER 4
// A write carries at most a 16-bit payload; a read asks for at most 16 bits.
#define QXWIRE_MAX_INPUT (USBDEVS_HEADER_SIZE + 65535u)
#define QXWIRE_MAX_OUTPUT 65535u
#define QXWIRE_MAX_REQUEST (QXWIRE_REQUEST_HEADER + QXWIRE_MAX_INPUT)
#define QXWIRE_MAX_REPLY (QXWIRE_REPLY_HEADER + QXWIRE_MAX_OUTPUT)
// sun_path holds 108 bytes with its NUL.
#define QXWIRE_MAX_PATH 107
// Send and receive bound per call, so a hung peer cannot block for ever.
#define QXWIRE_TIMEOUT_MS 5000

// Once a call has gone unanswered, later calls fail at once; one call per
// interval still goes through, with the short bound, to find out whether the
// device answers again.
#define QXWIRE_PROBE_INTERVAL_MS 1000
#define QXWIRE_PROBE_TIMEOUT_MS 50

// Status codes the daemons answer with.
#define QXWIRE_ERROR_INVALID_PARAMETER 87u

typedef struct QxWireRequest {
    uint32_t code;
    uint32_t out_size;
    const uint8_t *in; // points into the packet
    uint32_t in_size;
} QxWireRequest;

typedef struct QxWireReply {
    uint32_t status;
    const uint8_t *out; // points into the packet
    uint32_t out_count;
} QxWireReply;

void qxwire_put_u32(uint8_t *p, uint32_t v);
uint32_t qxwire_get_u32(const uint8_t *p);

// The 8 bytes in front of the input buffer.
void qxwire_put_request_header(uint8_t *pkt, uint32_t code, uint32_t out_size);
// Whole request packet into pkt (cap bytes); *len = packet size.
int qxwire_encode_request(uint8_t *pkt, size_t cap, uint32_t code, uint32_t out_size,
                          const uint8_t *in, uint32_t in_size, size_t *len);
// Fails on a short header, an input buffer under 20 or over QXWIRE_MAX_INPUT
// bytes, or an output size over QXWIRE_MAX_OUTPUT.
int qxwire_decode_request(const uint8_t *pkt, size_t len, QxWireRequest *req);
int qxwire_encode_reply(uint8_t *pkt, size_t cap, uint32_t status, const uint8_t *out,
                        uint32_t count, size_t *len);
// Fails on a packet shorter than the status or longer than QXWIRE_MAX_REPLY.
int qxwire_decode_reply(const uint8_t *pkt, size_t len, QxWireReply *rep);

// The bound the transport puts on each connect, send and receive of a call:
// QXWIRE_TIMEOUT_MS unless set (tests play a hung device with a short one);
// 0 restores the default.
void qxwire_set_timeout_ms(unsigned ms);
unsigned qxwire_timeout_ms(void);

// The clock that spaces a silent device's probes (milliseconds, any
// origin): the steady clock unless set (tests step through the interval
// without waiting it out); null restores it.
typedef uint64_t (*QxWireClockFn)(void);
void qxwire_set_clock(QxWireClockFn fn);
uint64_t qxwire_now_ms(void);

// What this process's transport sent and received, for tests and the
// stress run: requests sent whole, replies received, calls the daemon closed
// without a reply, replies found queued behind such a close, calls that
// timed out, calls failed at once because the device was silent.
enum {
    QXWIRE_COUNT_REQUESTS,
    QXWIRE_COUNT_REPLIES,
    QXWIRE_COUNT_NO_REPLY,
    QXWIRE_COUNT_LATE_REPLIES,
    QXWIRE_COUNT_TIMEOUTS,
    QXWIRE_COUNT_REFUSED,
    QXWIRE_COUNTS
};
void qxwire_count(int which);
uint64_t qxwire_counted(int which);

// The device directory from the given environment values (null or empty =
// unset) and user id.
int qxwire_device_dir_from(char *dir, size_t cap, const char *qx_device_dir,
                           const char *xdg_runtime_dir, unsigned uid);
// The same from this process's environment.
int qxwire_device_dir(char *dir, size_t cap);
// dir + "/" + QXWIRE_ENDPOINT; fails when longer than QXWIRE_MAX_PATH.
int qxwire_endpoint_in(char *path, size_t cap, const char *dir);
int qxwire_endpoint_path(char *path, size_t cap);
