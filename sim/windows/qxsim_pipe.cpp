// qxsim's server on Windows: the pipe, one driver connection at a time, one
// call after another on it, the device's latency, and what went over the
// wire. The calls are answered as on the Linux endpoint (qxsim_server.cpp).
#include "qxsim_pipe.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "qxpipe.h"
#include "qxsim_answer.h"
#include "qxsim_summary.h"
#include "qxtrace.h"
#include "usbdevs.h"

namespace
{

HANDLE g_stop = nullptr;

BOOL WINAPI on_ctrl(DWORD)
{
    SetEvent(g_stop);
    return TRUE;
}

std::string error_text(DWORD e)
{
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e, 0, text,
                   sizeof text, nullptr);
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r'))
        t.pop_back();
    char code[32];
    snprintf(code, sizeof code, "error %lu", (unsigned long)e);
    return t.empty() ? code : std::string(code) + ", " + t;
}

enum { IO_DONE, IO_STOPPED, IO_TIMEOUT, IO_FAILED };

// Waits for the pipe's pending transfer; cancels it on a stop or a timeout.
int finish_io(QxSimServer &s, OVERLAPPED &ov, DWORD timeout_ms, DWORD *got)
{
    HANDLE h[2] = {s.io, s.stop};
    DWORD w = WaitForMultipleObjects(2, h, FALSE, timeout_ms);
    if (w != WAIT_OBJECT_0) {
        CancelIo(s.pipe);
        GetOverlappedResult(s.pipe, &ov, got, TRUE);
        return w == WAIT_OBJECT_0 + 1 ? IO_STOPPED : IO_TIMEOUT;
    }
    return GetOverlappedResult(s.pipe, &ov, got, FALSE) ? IO_DONE : IO_FAILED;
}

// Moves len bytes; the first may be awaited for as long as it takes (an idle
// driver), the rest within the bound.
int transfer(QxSimServer &s, bool write, uint8_t *p, DWORD len, DWORD first_timeout_ms)
{
    DWORD timeout = first_timeout_ms;
    while (len) {
        OVERLAPPED ov = {};
        ov.hEvent = s.io;
        DWORD got = 0;
        BOOL ok =
            write ? WriteFile(s.pipe, p, len, &got, &ov) : ReadFile(s.pipe, p, len, &got, &ov);
        if (!ok) {
            if (GetLastError() != ERROR_IO_PENDING)
                return IO_FAILED;
            int r = finish_io(s, ov, timeout, &got);
            if (r != IO_DONE)
                return r;
        } else if (!GetOverlappedResult(s.pipe, &ov, &got, FALSE)) {
            return IO_FAILED;
        }
        if (got == 0 || got > len)
            return IO_FAILED;
        p += got;
        len -= got;
        timeout = QXWIRE_TIMEOUT_MS;
    }
    return IO_DONE;
}

void drop_client(QxSimServer &s)
{
    if (s.connected)
        DisconnectNamedPipe(s.pipe);
    s.connected = false;
}

// The driver has gone away (its bound ran out): it would never learn the
// answer, and a write applied now would put the device a step ahead of it.
bool client_gone(QxSimServer &s)
{
    DWORD avail = 0;
    return !PeekNamedPipe(s.pipe, nullptr, 0, nullptr, &avail, nullptr);
}

void serve_one(QxSimServer &s, uint32_t n)
{
    const auto arrived = std::chrono::steady_clock::now();
    ++s.received;
    if (client_gone(s)) {
        ++s.abandoned;
        fprintf(stderr,
                "qxsim: call %llu was given up by the host before it was served; "
                "not applied\n",
                (unsigned long long)s.received);
        drop_client(s);
        return;
    }
    if (s.stop_answering_after >= 0 && s.received > (uint64_t)s.stop_answering_after) {
        // Taken, never answered: the driver learns it only from its own bound.
        ++s.unanswered;
        if (s.verbose)
            fprintf(stderr, "qxsim: call %llu taken, left unanswered\n",
                    (unsigned long long)s.received);
        return;
    }
    QxWireRequest req;
    uint32_t returned;
    const uint32_t status = qxsim_answer(
        {s.dev, s.replay, s.record, s.latency_us}, s.request.data(), (size_t)n, arrived, &req,
        s.reply.data() + QXPIPE_REPLY_PREFIX_BYTES + QXWIRE_REPLY_HEADER, &returned);
    // An unplugged device disappears from discovery: the driver takes its
    // interface away when it sees the flag.
    const bool unplugged = !s.dev->present() && !s.unplugged;
    qxwire_put_u32(s.reply.data(), QXWIRE_REPLY_HEADER + returned);
    qxwire_put_u32(s.reply.data() + 4, unplugged ? QXPIPE_UNPLUGGED : 0);
    qxwire_put_u32(s.reply.data() + QXPIPE_REPLY_PREFIX_BYTES, status);
    const DWORD len = QXPIPE_REPLY_PREFIX_BYTES + QXWIRE_REPLY_HEADER + returned;
    int w = transfer(s, true, s.reply.data(), len, QXWIRE_TIMEOUT_MS);
    s.calls++;
    s.service_ns += (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - arrived)
                        .count();
    if (s.verbose) {
        QxIoRequest h = {};
        if (n >= QXWIRE_REQUEST_HEADER + USBDEVS_HEADER_SIZE)
            usbdevs_get_header(s.request.data() + QXWIRE_REQUEST_HEADER, n - QXWIRE_REQUEST_HEADER,
                               &h);
        fprintf(stderr, "qxsim: %s request %u, %u bytes -> status %u, %u bytes\n",
                h.direction ? "read" : "write", (unsigned)h.request,
                h.direction ? (unsigned)req.out_size : (unsigned)h.length, (unsigned)status,
                (unsigned)returned);
    }
    if (w == IO_DONE) {
        ++s.replied;
    } else {
        ++s.undelivered;
        fprintf(stderr,
                "qxsim: the reply to call %llu (status %u, %lu bytes) could not be delivered: "
                "%s\n",
                (unsigned long long)s.received, (unsigned)status, (unsigned long)len,
                w == IO_TIMEOUT ? "timed out" : "the driver closed the pipe");
        drop_client(s);
    }
    // The pipe goes once the driver has let go of it: closing it now could
    // drop the reply before the driver has read it.
    if (unplugged)
        s.unplugged = true;
}

} // namespace

void qxsim_close_endpoint(QxSimServer &s)
{
    if (s.endpoint_removed)
        return;
    s.endpoint_removed = true;
    drop_client(s);
    if (s.pipe != INVALID_HANDLE_VALUE)
        CloseHandle(s.pipe);
    s.pipe = INVALID_HANDLE_VALUE;
}

int qxsim_listen(QxSimServer &s, std::string name)
{
    if (name.empty())
        name = QXPIPE_DEFAULT_NAME;
    if (name.size() > QXPIPE_NAME_MAX || name.find_first_of("\\/") != std::string::npos) {
        fprintf(stderr, "qxsim: '%s' is not a pipe name (at most %d characters, no slashes)\n",
                name.c_str(), QXPIPE_NAME_MAX);
        return 1;
    }
    s.path = "\\\\.\\pipe\\" + name;
    // One instance, and the first: a second qxsim on the same name is
    // refused rather than left to share the driver's calls.
    s.pipe = CreateNamedPipeA(
        s.path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        8 + QXWIRE_MAX_REPLY, QXWIRE_MAX_REQUEST + 4, 0, nullptr);
    if (s.pipe == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e == ERROR_ACCESS_DENIED || e == ERROR_PIPE_BUSY)
            fprintf(stderr, "qxsim: a device is already served on %s\n", s.path.c_str());
        else
            fprintf(stderr, "qxsim: cannot create %s: %s\n", s.path.c_str(), error_text(e).c_str());
        return 1;
    }
    s.io = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!s.io || !s.stop) {
        fprintf(stderr, "qxsim: cannot create events: %s\n", error_text(GetLastError()).c_str());
        qxsim_close_endpoint(s);
        return 1;
    }
    g_stop = s.stop;
    SetConsoleCtrlHandler(on_ctrl, TRUE);
    return 0;
}

int qxsim_write_summary(const std::string &path, const QxSimServer &s, const QxSimDevice &dev)
{
    return qxsim_summary_write(path, s.calls, s.service_ns, dev);
}

int qxsim_run(QxSimServer &s)
{
    while (WaitForSingleObject(s.stop, 0) != WAIT_OBJECT_0) {
        if (s.endpoint_removed) {
            WaitForSingleObject(s.stop, INFINITE);
            break;
        }
        if (!s.connected) {
            OVERLAPPED ov = {};
            ov.hEvent = s.io;
            if (!ConnectNamedPipe(s.pipe, &ov)) {
                DWORD e = GetLastError();
                if (e == ERROR_IO_PENDING) {
                    DWORD got;
                    int r = finish_io(s, ov, INFINITE, &got);
                    if (r == IO_STOPPED)
                        break;
                    if (r != IO_DONE) {
                        fprintf(stderr, "qxsim: the driver's connection failed: %s\n",
                                error_text(GetLastError()).c_str());
                        DisconnectNamedPipe(s.pipe);
                        continue;
                    }
                } else if (e == ERROR_NO_DATA) {
                    DisconnectNamedPipe(s.pipe); // came and went
                    continue;
                } else if (e != ERROR_PIPE_CONNECTED) {
                    fprintf(stderr, "qxsim: cannot serve %s: %s\n", s.path.c_str(),
                            error_text(e).c_str());
                    return 1;
                }
            }
            s.connected = true;
        }
        uint8_t head[QXPIPE_PREFIX_BYTES];
        int r = transfer(s, false, head, sizeof head, INFINITE);
        if (r == IO_STOPPED)
            break;
        if (r != IO_DONE) {
            drop_client(s); // the driver closed its end
            if (s.unplugged) {
                qxsim_close_endpoint(s);
                fprintf(stderr, "qxsim: device unplugged, %s removed\n", s.path.c_str());
            }
            continue;
        }
        uint32_t n = qxwire_get_u32(head);
        if (n > QXWIRE_MAX_REQUEST) {
            ++s.received;
            fprintf(stderr, "qxsim: a request of %lu bytes (at most %u); connection dropped\n",
                    (unsigned long)n, (unsigned)QXWIRE_MAX_REQUEST);
            drop_client(s);
            continue;
        }
        r = n ? transfer(s, false, s.request.data(), n, QXWIRE_TIMEOUT_MS) : IO_DONE;
        if (r == IO_STOPPED)
            break;
        if (r != IO_DONE) {
            fprintf(stderr, "qxsim: a request was cut short; connection dropped\n");
            drop_client(s);
            continue;
        }
        serve_one(s, n);
    }
    drop_client(s);
    return 0;
}
