// Process-wide hooks shared by the procedural modules: the one sleep that
// every bounded wait goes through, and the sink for diagnostic lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#ifdef _WIN32
#include <string>
#endif

#if defined(__GNUC__)
#define QX_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define QX_PRINTF(a, b)
#endif

// Source paths printed in diagnostic lines; fixed by the device tools'
// own build tree, so they stay in Windows form on every platform.
#define QXMSG_SRC "..\\qxtest\\qxmsg"
#define QXCTL_SRC "..\\qxtest\\qxctl"
#define USBDEVS_SRC "..\\qxtest\\usbdevs_win"
#define PRG_SRC "..\\qxtest\\prgdecode"

typedef void (*QxSleepFn)(void *ctx, uint32_t ms);
typedef void (*QxOutFn)(void *ctx, const char *text, size_t len);

// Blocks the calling thread for ms milliseconds, or hands the wait to the
// installed virtual clock.
void qx_sleep_ms(uint32_t ms);
// Installs a replacement sleep; a null fn restores the real one. Safe while
// other threads wait: it returns once no other thread is still inside the
// sleep it replaced, so the replaced ctx may be freed then. A hook must
// therefore never wait for the thread that replaces it.
void qx_set_sleep(QxSleepFn fn, void *ctx);

// A stop asked for from outside (a program's signal handler): device access
// then makes no further call, every wait ends at once, and the operation
// under way fails as stopped, at the next call boundary. Safe to call from
// a signal handler. Nothing in the core ends the process.
void qx_request_stop(void);
int qx_stop_requested(void);
void qx_clear_stop(void);
// Holds SIGINT, SIGTERM and SIGHUP back from the threads the caller starts
// until the release, so that they reach the caller's thread alone and its
// handler takes them one at a time, in the order sent. Nothing on Windows.
void qx_hold_stop_signals(void);
void qx_release_stop_signals(void);
// Returns once fd has input to read, cannot be waited on, or a stop is
// requested. The stop signals reach the calling thread only inside the wait,
// so none is taken between the look at the stop and the wait (where a
// runtime that defers a handler to the next blocking call could keep it).
// Not on Windows.
void qx_wait_input(int fd);

// Files by their UTF-8 names, on every system: on Windows through the wide
// calls, since the ANSI code page cannot hold every name ("Łukasz",
// "山田"); a name that is not UTF-8 fails with EINVAL there.
FILE *qx_fopen(const char *path, const char *mode);
int qx_remove(const char *path);
// An environment variable's value in UTF-8 (the wide environment on
// Windows) into buf: 0, or 1 when it is not set, empty, or does not fit.
int qx_getenv(const char *name, char *buf, size_t cap);

#ifdef _WIN32
// A UTF-8 text as UTF-16 for the wide Windows calls; empty for one that is
// not UTF-8 (or a null pointer).
std::wstring qx_wide(const char *utf8);
#endif

// Diagnostics go to standard output unless a sink is installed.
int qx_printf(const char *fmt, ...) QX_PRINTF(1, 2);
void qx_write(const char *text, size_t len);
// Installs a sink for the diagnostics (null: standard output again); safe
// under running threads in the same way as qx_set_sleep.
void qx_set_output(QxOutFn fn, void *ctx);
// The sink installed now (null fn: standard output), so that a new one can
// pass the lines on to it.
void qx_get_output(QxOutFn *fn, void **ctx);

// "%s:%d:ERROR\n" with a module's source path and the failure site's line.
void qx_error_line(const char *src, int line);
// The last failure site this thread printed (src may be null) and how many
// it has printed, so that a caller can tell whether a call added one.
unsigned qx_last_error_line(const char **src, int *line);
