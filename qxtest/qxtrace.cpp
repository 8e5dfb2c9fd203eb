#include "qxtrace.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "qxfile.h"
#include "qxsys.h"

// ordered_json keeps the fields in the order written, so traces read well.
using Json = nlohmann::ordered_json;

// The trace is written under a name of its own beside its file (each line
// flushed, for a run that crashes) and takes the file's name when it ends.
struct QxTrace {
    std::mutex lock;
    QxFileOut out = {nullptr, std::string(), std::string(), 0};
    FILE *file = nullptr; // out.file while the trace is open
    std::chrono::steady_clock::time_point start;
    uint64_t seq = 0;
    uint64_t bytes = 0; // written so far
    bool cut = false;   // the bound was reached
    bool failed = false;
    int error = 0;       // errno of the first line lost
    std::string problem; // why the file could not be created or kept
};

namespace
{

std::atomic<uint64_t> g_limit{0};

// The process's own trace; its taps live as long as the process.
QxTrace g_trace;
std::mutex g_taps_lock;
std::vector<std::unique_ptr<QxTraceTap>> g_taps;
enum { INACTIVE, ACTIVE };
std::atomic<int> g_state{INACTIVE};

// Caller holds trace->lock; errno is the write's.
void lost(QxTrace *trace)
{
    if (!trace->failed)
        trace->error = errno;
    trace->failed = true;
}

// Caller holds trace->lock.
bool open_file(QxTrace *trace, const char *path, const char *origin)
{
    std::string problem;
    if (qxfile_create(&trace->out, path, &problem)) {
        trace->problem = problem;
        return false;
    }
    FILE *f = trace->out.file;
    trace->file = f;
    trace->start = std::chrono::steady_clock::now();
    trace->seq = 0;
    trace->bytes = 0;
    trace->cut = false;
    trace->failed = false;
    trace->error = 0;
    Json line;
    line["op"] = "start";
    line["format"] = QXTRACE_FORMAT;
    line["origin"] = origin ? origin : "host";
    std::string text = line.dump() + "\n";
    if (fwrite(text.data(), 1, text.size(), f) != text.size() || fflush(f) != 0)
        lost(trace);
    return true;
}

// Caller holds trace->lock. Returns 1 when any line was lost.
int close_file(QxTrace *trace)
{
    if (!trace->file)
        return 0;
    trace->file = nullptr;
    // A trace with lines missing would mislead a replay: the file keeps
    // what it held.
    std::string problem;
    if (trace->failed) {
        qxfile_discard(&trace->out);
        trace->problem = strerror(trace->error);
    } else if (qxfile_commit(&trace->out, &problem)) {
        lost(trace);
        trace->problem = problem;
    }
    return trace->failed ? 1 : 0;
}

// Each line is flushed: a trace is most wanted from a run that crashed.
int write_line(QxTrace *trace, const Json &line)
{
    if (!trace->file || trace->cut)
        return 0;
    std::string text = line.dump() + "\n";
    const uint64_t limit = g_limit.load();
    if (limit && trace->bytes + text.size() > limit) {
        trace->cut = true;
        text = "{\"op\":\"cut\",\"bytes\":" + std::to_string(trace->bytes) + "}\n";
    }
    trace->bytes += text.size();
    if (fwrite(text.data(), 1, text.size(), trace->file) != text.size() ||
        fflush(trace->file) != 0) {
        lost(trace);
        return 1;
    }
    return 0;
}

uint64_t elapsed_us(const QxTrace *trace)
{
    auto d = std::chrono::steady_clock::now() - trace->start;
    return (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

int tap_init(void *self)
{
    auto *tap = static_cast<QxTraceTap *>(self);
    return tap->inner->init ? tap->inner->init(tap->inner->self) : 0;
}

// Listing goes through unrecorded: a replay answers the finds and calls of
// the one device it holds.
unsigned tap_list(void *self, const char *service, QxDevice *devices, unsigned cap)
{
    auto *tap = static_cast<QxTraceTap *>(self);
    return tap->inner->list ? tap->inner->list(tap->inner->self, service, devices, cap) : 0;
}

int tap_find(void *self, const char *service, uint16_t *path, size_t cap, int *copy_status)
{
    auto *tap = static_cast<QxTraceTap *>(self);
    int found = tap->inner->find(tap->inner->self, service, path, cap, copy_status);
    qxtrace_write_find(tap->trace, service, found, found ? path : nullptr);
    return found;
}

int tap_ioctl(void *self, const uint16_t *path, const uint8_t *in, uint32_t in_size, uint8_t *out,
              uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    auto *tap = static_cast<QxTraceTap *>(self);
    uint32_t got = 0;
    uint32_t status = 0;
    uint64_t t0 = qxtrace_now_us(tap->trace);
    int r = tap->inner->ioctl(tap->inner->self, path, in, in_size, out, out_size, &got, &status);
    uint64_t t1 = qxtrace_now_us(tap->trace);

    QxTraceCall call;
    call.seq = 0;
    call.t_us = t0;
    call.dur_us = t1 - t0;
    call.code = IOCTL_QX_CONTROL;
    if (in && in_size)
        call.in.assign(in, in + in_size);
    call.out_size = out_size;
    call.result = r;
    call.status = r == USBDEVS_ERR_CALL ? status : 0;
    call.returned = r == USBDEVS_OK ? got : 0;
    if (r == USBDEVS_OK && out) {
        uint32_t n = got < out_size ? got : out_size;
        call.out.assign(out, out + n);
    }
    qxtrace_write_call(tap->trace, &call);

    if (returned)
        *returned = got;
    if (error && r != USBDEVS_OK)
        *error = status;
    return r;
}

void tap_print_error(void *self, uint32_t error)
{
    auto *tap = static_cast<QxTraceTap *>(self);
    tap->inner->print_error(tap->inner->self, error);
}

} // namespace

QxTrace *qxtrace_open(const char *path, const char *origin)
{
    if (!path || !*path)
        return nullptr;
    auto *trace = new QxTrace;
    bool opened;
    {
        // Released before a failed trace is deleted: its mutex goes with it.
        std::lock_guard<std::mutex> hold(trace->lock);
        opened = open_file(trace, path, origin);
    }
    if (!opened) {
        delete trace;
        return nullptr;
    }
    return trace;
}

void qxtrace_close(QxTrace *trace)
{
    if (!trace)
        return;
    {
        std::lock_guard<std::mutex> hold(trace->lock);
        close_file(trace);
    }
    delete trace;
}

uint64_t qxtrace_now_us(QxTrace *trace)
{
    return trace ? elapsed_us(trace) : 0;
}

int qxtrace_write_call(QxTrace *trace, QxTraceCall *call)
{
    if (!trace || !call)
        return 1;
    std::lock_guard<std::mutex> hold(trace->lock);
    if (!trace->file)
        return 0;
    call->seq = ++trace->seq;
    Json line;
    line["op"] = "ioctl";
    line["seq"] = call->seq;
    line["t_us"] = call->t_us;
    line["dur_us"] = call->dur_us;
    line["code"] = call->code;
    line["request"] = call->in.size() >= USBDEVS_HEADER_SIZE ? call->in[15] : 0;
    line["in"] = qxtrace_hex(call->in.data(), call->in.size());
    line["out_size"] = call->out_size;
    line["result"] = call->result;
    line["status"] = call->status;
    line["returned"] = call->returned;
    line["out"] = qxtrace_hex(call->out.data(), call->out.size());
    return write_line(trace, line);
}

int qxtrace_write_find(QxTrace *trace, const char *service, int found, const uint16_t *path)
{
    if (!trace)
        return 1;
    char text[4 * USBDEVS_PATH_UNITS];
    if (!path || usbdevs_path_to_utf8(text, sizeof text, path))
        text[0] = '\0';
    std::lock_guard<std::mutex> hold(trace->lock);
    Json line;
    line["op"] = "find";
    line["t_us"] = elapsed_us(trace);
    line["service"] = service ? service : "";
    line["found"] = found ? 1 : 0;
    line["path"] = text;
    return write_line(trace, line);
}

void qxtrace_tap(QxTraceTap *tap, QxTrace *trace, const UsbdevsBackend *inner)
{
    tap->trace = trace;
    tap->inner = inner;
    tap->backend.init = tap_init;
    tap->backend.find = tap_find;
    tap->backend.ioctl = tap_ioctl;
    tap->backend.print_error = tap_print_error;
    tap->backend.self = tap;
    tap->backend.list = inner && inner->list ? tap_list : nullptr;
}

int qxtrace_start(const char *path)
{
    int ok;
    int err = 0;
    {
        std::lock_guard<std::mutex> hold(g_trace.lock);
        close_file(&g_trace);
        errno = ENOENT; // an empty name
        g_trace.problem = strerror(ENOENT);
        ok = path && *path && open_file(&g_trace, path, "host");
        err = errno;
    }
    g_state.store(ok ? ACTIVE : INACTIVE, std::memory_order_release);
    // Every device call from now on goes through qxtrace_wrap, whichever
    // backend is active.
    usbdevs_set_decorator(qxtrace_wrap);
    if (!ok)
        errno = err;
    return ok ? 0 : 1;
}

int qxtrace_stop(void)
{
    g_state.store(INACTIVE, std::memory_order_release);
    std::lock_guard<std::mutex> hold(g_trace.lock);
    int lost_lines = close_file(&g_trace);
    if (lost_lines)
        errno = g_trace.error;
    return lost_lines;
}

const UsbdevsBackend *qxtrace_wrap(const UsbdevsBackend *inner)
{
    if (g_state.load(std::memory_order_acquire) != ACTIVE || !inner)
        return inner;
    std::lock_guard<std::mutex> hold(g_taps_lock);
    for (const auto &tap : g_taps)
        if (tap->inner == inner)
            return &tap->backend;
    g_taps.emplace_back(new QxTraceTap);
    qxtrace_tap(g_taps.back().get(), &g_trace, inner);
    return &g_taps.back()->backend;
}

int qxtrace_active(void)
{
    return g_state.load(std::memory_order_acquire) == ACTIVE ? 1 : 0;
}

void qxtrace_set_limit(uint64_t bytes)
{
    g_limit.store(bytes);
}

std::string qxtrace_problem(void)
{
    std::lock_guard<std::mutex> hold(g_trace.lock);
    return g_trace.problem;
}

namespace
{
void stop_at_exit()
{
    qxtrace_stop();
}
} // namespace

int qxtrace_from_env(void)
{
    char path[4096];
    if (qx_getenv(QXTRACE_ENV, path, sizeof path) != 0)
        return 0;
    if (qxtrace_start(path) != 0) {
        qx_printf("%s: cannot create %s: %s\n", QXTRACE_ENV, path, qxtrace_problem().c_str());
        return 1;
    }
    // The trace takes its name when it ends; a program that never ends it
    // itself ends it on the way out.
    static bool registered = false;
    if (!registered && atexit(stop_at_exit) == 0)
        registered = true;
    return 0;
}

std::string qxtrace_hex(const uint8_t *data, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 15]);
    }
    return text;
}

int qxtrace_unhex(const std::string &text, std::vector<uint8_t> *out)
{
    if (text.size() % 2)
        return 1;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            char c = text[k];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0)
                return 1;
            v = v * 16 + d;
        }
        bytes.push_back((uint8_t)v);
    }
    if (out)
        *out = std::move(bytes);
    return 0;
}
