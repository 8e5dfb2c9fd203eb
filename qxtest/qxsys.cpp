#include "qxsys.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

namespace {
struct SleepHook {
    QxSleepFn fn;
    void *ctx;
};
struct OutHook {
    QxOutFn fn;
    void *ctx;
};
// Written by tests before waits start; read on every wait.
std::atomic<SleepHook *> g_sleep{nullptr};
std::atomic<OutHook *> g_out{nullptr};
SleepHook g_sleep_slot;
OutHook g_out_slot;
} // namespace

void qx_sleep_ms(uint32_t ms)
{
    SleepHook *h = g_sleep.load(std::memory_order_acquire);
    if (h) {
        h->fn(h->ctx, ms);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void qx_set_sleep(QxSleepFn fn, void *ctx)
{
    if (!fn) {
        g_sleep.store(nullptr, std::memory_order_release);
        return;
    }
    g_sleep_slot.fn = fn;
    g_sleep_slot.ctx = ctx;
    g_sleep.store(&g_sleep_slot, std::memory_order_release);
}

void qx_write(const char *text, size_t len)
{
    OutHook *h = g_out.load(std::memory_order_acquire);
    if (h) {
        h->fn(h->ctx, text, len);
        return;
    }
    fwrite(text, 1, len, stdout);
    fflush(stdout);
}

int qx_printf(const char *fmt, ...)
{
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return n;
    if ((size_t)n < sizeof small) {
        qx_write(small, (size_t)n);
        return n;
    }
    std::string big((size_t)n + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    qx_write(big.data(), (size_t)n);
    return n;
}

void qx_set_output(QxOutFn fn, void *ctx)
{
    if (!fn) {
        g_out.store(nullptr, std::memory_order_release);
        return;
    }
    g_out_slot.fn = fn;
    g_out_slot.ctx = ctx;
    g_out.store(&g_out_slot, std::memory_order_release);
}

namespace
{
thread_local const char *t_error_src = nullptr;
thread_local int t_error_line = 0;
thread_local unsigned t_error_count = 0;
} // namespace

void qx_error_line(const char *src, int line)
{
    t_error_src = src;
    t_error_line = line;
    t_error_count++;
    qx_printf("%s:%d:ERROR\n", src, line);
}

unsigned qx_last_error_line(const char **src, int *line)
{
    if (src)
        *src = t_error_src;
    if (line)
        *line = t_error_line;
    return t_error_count;
}
