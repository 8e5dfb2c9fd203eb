#include "qxsys.h"

#ifndef _WIN32
#include <csignal>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace
{
// A hook is never changed once published, and never freed before the
// process ends: a thread that has just loaded the pointer may still read it.
template <typename Fn> struct Hook {
    Fn fn;
    void *ctx;
    std::atomic<int> users{0};
};

// Readers announce themselves before calling, so that a replacement can wait
// until the hook it takes out is no longer running on another thread (the
// object behind ctx is usually freed right after).
template <typename Fn> class HookSlot
{
  public:
    template <typename... Args> bool call(Args... args)
    {
        for (;;) {
            Hook<Fn> *h = current_.load();
            if (!h)
                return false;
            h->users.fetch_add(1);
            // Replaced in between: the replacement may already have waited.
            if (current_.load() != h) {
                h->users.fetch_sub(1);
                continue;
            }
            Hook<Fn> *outer = inside_;
            inside_ = h;
            h->fn(h->ctx, args...);
            inside_ = outer;
            h->users.fetch_sub(1);
            return true;
        }
    }

    // A hook must not wait for the thread that replaces it.
    void set(Fn fn, void *ctx)
    {
        std::lock_guard<std::mutex> hold(lock_);
        Hook<Fn> *next = nullptr;
        if (fn) {
            hooks_.emplace_back();
            next = &hooks_.back();
            next->fn = fn;
            next->ctx = ctx;
        }
        Hook<Fn> *old = current_.exchange(next);
        if (!old)
            return;
        // A replacement made from inside the old hook counts itself out.
        const int own = inside_ == old ? 1 : 0;
        while (old->users.load() > own)
            std::this_thread::yield();
    }

    void get(Fn *fn, void **ctx)
    {
        Hook<Fn> *h = current_.load();
        *fn = h ? h->fn : nullptr;
        *ctx = h ? h->ctx : nullptr;
    }

  private:
    std::atomic<Hook<Fn> *> current_{nullptr};
    std::mutex lock_;
    std::deque<Hook<Fn>> hooks_;
    static thread_local Hook<Fn> *inside_;
};
template <typename Fn> thread_local Hook<Fn> *HookSlot<Fn>::inside_ = nullptr;

// Never destroyed: a thread still running at exit may sleep or print.
HookSlot<QxSleepFn> &sleep_slot()
{
    static HookSlot<QxSleepFn> *slot = new HookSlot<QxSleepFn>;
    return *slot;
}
HookSlot<QxOutFn> &out_slot()
{
    static HookSlot<QxOutFn> *slot = new HookSlot<QxOutFn>;
    return *slot;
}
} // namespace

namespace
{
// Lock-free, so that a signal handler may set it.
std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler sets the stop");
} // namespace

void qx_request_stop(void)
{
    g_stop.store(1);
}

int qx_stop_requested(void)
{
    return g_stop.load();
}

void qx_clear_stop(void)
{
    g_stop.store(0);
}

void qx_sleep_ms(uint32_t ms)
{
    // A stopped operation has nothing left to wait for.
    if (qx_stop_requested())
        return;
    if (sleep_slot().call(ms))
        return;
    // In slices, so that a stop ends a long pause within a slice.
    const uint32_t slice = 50;
    while (ms > 0 && !qx_stop_requested()) {
        uint32_t now = ms < slice ? ms : slice;
        std::this_thread::sleep_for(std::chrono::milliseconds(now));
        ms -= now;
    }
}

void qx_set_sleep(QxSleepFn fn, void *ctx)
{
    sleep_slot().set(fn, ctx);
}

void qx_write(const char *text, size_t len)
{
    if (out_slot().call(text, len))
        return;
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
    out_slot().set(fn, ctx);
}

void qx_get_output(QxOutFn *fn, void **ctx)
{
    out_slot().get(fn, ctx);
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

#ifdef _WIN32
std::wstring qx_wide(const char *utf8)
{
    int n = utf8 ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0) : 0;
    if (n <= 0)
        return std::wstring();
    std::wstring w((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &w[0], n);
    w.resize((size_t)n - 1);
    return w;
}

namespace
{
// 0 and the wide text, or 1 for a text that is not UTF-8.
int to_wide(const char *utf8, std::wstring *out)
{
    *out = qx_wide(utf8);
    return utf8 && (*utf8 == '\0' || !out->empty()) ? 0 : 1;
}
} // namespace
#endif

FILE *qx_fopen(const char *path, const char *mode)
{
#ifdef _WIN32
    std::wstring wpath, wmode;
    if (!path || !mode || to_wide(path, &wpath) || to_wide(mode, &wmode)) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(wpath.c_str(), wmode.c_str());
#else
    return fopen(path, mode);
#endif
}

int qx_remove(const char *path)
{
#ifdef _WIN32
    std::wstring wpath;
    if (!path || to_wide(path, &wpath)) {
        errno = EINVAL;
        return -1;
    }
    return _wremove(wpath.c_str());
#else
    return remove(path);
#endif
}

int qx_getenv(const char *name, char *buf, size_t cap)
{
    if (!name || !buf || cap == 0)
        return 1;
    buf[0] = 0;
#ifdef _WIN32
    std::wstring wname;
    if (to_wide(name, &wname))
        return 1;
    const wchar_t *value = _wgetenv(wname.c_str());
    if (!value || !*value)
        return 1;
    int n = WideCharToMultiByte(CP_UTF8, 0, value, -1, buf, (int)cap, nullptr, nullptr);
    if (n <= 0) {
        buf[0] = 0;
        return 1;
    }
    return 0;
#else
    const char *value = getenv(name);
    if (!value || !*value || strlen(value) >= cap)
        return 1;
    memcpy(buf, value, strlen(value) + 1);
    return 0;
#endif
}

#ifdef _WIN32
void qx_hold_stop_signals(void) {}
void qx_release_stop_signals(void) {}
#else
namespace
{
thread_local sigset_t t_before_hold;
}

void qx_hold_stop_signals(void)
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, &t_before_hold);
}

void qx_release_stop_signals(void)
{
    pthread_sigmask(SIG_SETMASK, &t_before_hold, nullptr);
}

void qx_wait_input(int fd)
{
    qx_hold_stop_signals();
    while (!qx_stop_requested()) {
        struct pollfd in = {fd, POLLIN, 0};
        const struct timespec slice = {0, 100 * 1000 * 1000};
        int r = ppoll(&in, 1, &slice, &t_before_hold);
        if (r > 0 || (r < 0 && errno != EINTR))
            break;
    }
    qx_release_stop_signals();
}
#endif
