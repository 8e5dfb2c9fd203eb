// Device traces: every I/O-control call of a run as one JSON line (code,
// input bytes, output size, status, output bytes, time), so that a failed
// update can be sent to support and answered again by the simulated device.
//
// Recording is a decorator around whatever backend is active, so it works
// the same over the Linux socket, the Windows driver and in-process devices.
// A run records when its program's main calls qxtrace_from_env (QX_TRACE
// names a file) or qxtrace_start. Reading traces back is in
// sim/qxtrace_read.h.
//
// File format, one object per line:
//   {"op":"start","format":1,"origin":"host"}
//   {"op":"find","service":"qx-10_20","found":1,"path":"..."}
//   {"op":"ioctl","seq":1,"t_us":812,"dur_us":95,"code":2236416,"request":29,
//    "in":"0000...","out_size":0,"result":0,"status":0,"returned":0,"out":""}
// "result" is the backend's USBDEVS_* result, "status" the system code of a
// failed call (0 otherwise); "out" holds the bytes that reached the output
// buffer. Readers skip lines whose "op" they do not know.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usbdevs.h"

#define QXTRACE_ENV "QX_TRACE"
#define QXTRACE_FORMAT 1

typedef struct QxTraceCall {
    uint64_t seq;    // 1 for the first call of the trace
    uint64_t t_us;   // start of the call, since the trace began
    uint64_t dur_us; // how long the call took
    uint32_t code;   // I/O-control code
    std::vector<uint8_t> in;
    uint32_t out_size;
    int result;        // USBDEVS_OK, USBDEVS_ERR_OPEN, USBDEVS_ERR_CALL, USBDEVS_ERR_NOMEM
    uint32_t status;   // system code of a failed call, else 0
    uint32_t returned; // output bytes the device delivered (may exceed out_size)
    std::vector<uint8_t> out;
} QxTraceCall;

typedef struct QxTrace QxTrace;

// Starts a trace that replaces path when it is closed (written beside it
// until then), with its start line; null when the file cannot be created
// (a target that is not a regular file is refused). origin names the side that records ("host",
// "device").
QxTrace *qxtrace_open(const char *path, const char *origin);
void qxtrace_close(QxTrace *trace);
// Microseconds since the trace began.
uint64_t qxtrace_now_us(QxTrace *trace);
// Appends one call; seq is assigned here. Thread-safe. 0, or 1 when the
// line could not be written (the trace then stays failed).
int qxtrace_write_call(QxTrace *trace, QxTraceCall *call);
int qxtrace_write_find(QxTrace *trace, const char *service, int found, const uint16_t *path);

// A recording decorator: install &tap->backend with usbdevs_set_backend.
typedef struct QxTraceTap {
    QxTrace *trace;
    const UsbdevsBackend *inner;
    UsbdevsBackend backend;
} QxTraceTap;
void qxtrace_tap(QxTraceTap *tap, QxTrace *trace, const UsbdevsBackend *inner);

// --- the process's own trace ---

// Records this process's calls to path from now on, whichever backend is
// active (installs qxtrace_wrap with usbdevs_set_decorator). 0, or 1 when
// the file cannot be created (nothing is recorded then; errno says why).
int qxtrace_start(const char *path);
// qxtrace_start on the file QX_TRACE names, for a program's main before its
// first device call; nothing when the variable is unset or empty. 0, or 1
// when the file cannot be created (said on standard output). The trace is
// ended when the process exits.
int qxtrace_from_env(void);
// Ends the process's trace, giving it its file's name; 1 when any line of
// it could not be written (errno then says why the first one was lost, and
// the file keeps what it held).
int qxtrace_stop(void);
// Whether the process's trace is recording now.
int qxtrace_active(void);
// A bound on the bytes of every trace from now on (0: none). A trace that
// reaches it records no further call and ends with {"op":"cut"}, which
// readers skip; its lines up to there are kept.
void qxtrace_set_limit(uint64_t bytes);
// Why the process's trace could not be started or kept, as a text.
std::string qxtrace_problem(void);
// The backend that device access should use: inner itself, or a recording
// decorator around it while the process's trace is active.
const UsbdevsBackend *qxtrace_wrap(const UsbdevsBackend *inner);

// --- hex text of the byte fields ---

std::string qxtrace_hex(const uint8_t *data, size_t len);
// Lower- or upper-case hex digits, even count; 0, or 1 on anything else.
int qxtrace_unhex(const std::string &text, std::vector<uint8_t> *out);
