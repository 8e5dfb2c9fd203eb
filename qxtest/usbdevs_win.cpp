// Device access on Windows: the driver's interface is found through SetupAPI
// by its service name, and every request is one DeviceIoControl on a handle
// opened for that call alone.
#include "usbdevs_win.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "qxlimits.h"
#include "qxsites.h"
#include "qxsys.h"
#include "qxwire.h"

// {65E8773E-8F56-11D0-A3B9-00A0C9223196}, from ksmedia.h.
const GUID usbdevs_win_render_class = {
    0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

namespace
{

// --- the system's helpers ---

HDEVINFO sys_get_device_set(const GUID *cls, DWORD flags)
{
    return SetupDiGetClassDevsW(cls, nullptr, nullptr, flags);
}

BOOL sys_get_device(HDEVINFO set, DWORD index, SP_DEVINFO_DATA *dev)
{
    return SetupDiEnumDeviceInfo(set, index, dev);
}

BOOL sys_read_service_name(HDEVINFO set, SP_DEVINFO_DATA *dev, BYTE *buf, DWORD size)
{
    return SetupDiGetDeviceRegistryPropertyW(set, dev, SPDRP_SERVICE, nullptr, buf, size, nullptr);
}

BOOL sys_get_interface(HDEVINFO set, SP_DEVINFO_DATA *dev, const GUID *cls, DWORD index,
                       SP_DEVICE_INTERFACE_DATA *ifc)
{
    return SetupDiEnumDeviceInterfaces(set, dev, cls, index, ifc);
}

DWORD sys_get_interface_detail_size(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *ifc)
{
    DWORD size = 0;
    // Fails with ERROR_INSUFFICIENT_BUFFER by design; only the size matters.
    SetupDiGetDeviceInterfaceDetailW(set, ifc, nullptr, 0, &size, nullptr);
    return size;
}

BOOL sys_get_interface_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *ifc,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail, DWORD size)
{
    return SetupDiGetDeviceInterfaceDetailW(set, ifc, detail, size, nullptr, nullptr);
}

void *sys_alloc_detail(size_t size)
{
    return malloc(size);
}
void sys_free_detail(void *detail)
{
    free(detail);
}
void sys_free_device_set(HDEVINFO set)
{
    SetupDiDestroyDeviceInfoList(set);
}

HANDLE sys_open_control_interface(const wchar_t *path)
{
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

void *sys_alloc_buffer(size_t size)
{
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void sys_free_buffer(void *buf)
{
    VirtualFree(buf, 0, MEM_RELEASE);
}

BOOL sys_control_call(HANDLE h, DWORD code, void *in, DWORD in_size, void *out, DWORD out_size,
                      DWORD *returned)
{
    return DeviceIoControl(h, code, in, in_size, out, out_size, returned, nullptr);
}

void sys_close_handle(HANDLE h)
{
    CloseHandle(h);
}
DWORD sys_last_error(void)
{
    return GetLastError();
}

wchar_t *sys_get_error_text(DWORD code)
{
    wchar_t *text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPWSTR)&text, 0, nullptr);
    if (n == 0) {
        if (text)
            LocalFree(text);
        return nullptr;
    }
    return text;
}

void sys_free_error_text(wchar_t *text)
{
    LocalFree(text);
}

uint64_t sys_now_ms(void)
{
    return GetTickCount64();
}

void sys_wait_event(HANDLE event, DWORD ms)
{
    WaitForSingleObject(event, ms);
}

int sys_cancel_call(HANDLE thread)
{
    return CancelSynchronousIo(thread);
}

const UsbdevsWinApi g_system_api = {
    sys_get_device_set,
    sys_get_device,
    sys_read_service_name,
    sys_get_interface,
    sys_get_interface_detail_size,
    sys_get_interface_detail,
    sys_alloc_detail,
    sys_free_detail,
    sys_free_device_set,
    sys_open_control_interface,
    sys_alloc_buffer,
    sys_free_buffer,
    sys_control_call,
    sys_close_handle,
    sys_last_error,
    sys_get_error_text,
    sys_free_error_text,
    sys_now_ms,
    sys_wait_event,
    sys_cancel_call,
};

std::atomic<const UsbdevsWinApi *> g_api{nullptr};

// The one place where the system's error becomes the code the callers see.
uint32_t system_error(const UsbdevsWinApi *api)
{
    return (uint32_t)api->last_error();
}

void step_failed(int step)
{
    qx_printf("ERROR : %d\n", step);
}

// UTF-16 to UTF-8 for printing; lone surrogates become U+FFFD.
void print_wide(const wchar_t *text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return;
    char *utf8 = (char *)malloc((size_t)n);
    if (!utf8)
        return;
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, n, nullptr, nullptr);
    qx_write(utf8, (size_t)n - 1);
    free(utf8);
}

// Copies the detail's path (at most units long) into path; 0 when it fit.
int copy_path(const wchar_t *src, size_t units, uint16_t *path, size_t cap)
{
    memset(path, 0, cap * sizeof *path);
    size_t len = 0;
    while (len < units && src[len])
        ++len;
    // An unterminated or oversized path would name another file.
    if (len == units || len + 1 > cap)
        return 1;
    for (size_t i = 0; i < len; ++i)
        path[i] = (uint16_t)src[i];
    return 0;
}

// The backend entries.
int be_init(void *)
{
    return 0;
}

int be_find(void *, const char *service, uint16_t *path, size_t cap, int *copy_status)
{
    return usbdevs_win_find(service, path, cap, copy_status);
}

int be_ioctl(void *, const uint16_t *path, const uint8_t *in, uint32_t in_size, uint8_t *out,
             uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    return usbdevs_win_ioctl(path, in, in_size, out, out_size, returned, error);
}

void be_print_error(void *, uint32_t error)
{
    usbdevs_print_error(error);
}

unsigned be_list(void *, const char *service, QxDevice *devices, unsigned cap);

const UsbdevsBackend g_backend = {be_init, be_find, be_ioctl, be_print_error, nullptr, be_list};

} // namespace

void usbdevs_win_set_api(const UsbdevsWinApi *api)
{
    g_api.store(api, std::memory_order_release);
}

const UsbdevsWinApi *usbdevs_win_api(void)
{
    const UsbdevsWinApi *api = g_api.load(std::memory_order_acquire);
    return api ? api : &g_system_api;
}

const UsbdevsWinApi *usbdevs_win_system_api(void)
{
    return &g_system_api;
}

const UsbdevsBackend *usbdevs_platform_backend(void)
{
    return &g_backend;
}

namespace
{
// Called for each interface of a matching device with its path (units long
// at most, maybe unterminated).
typedef void (*MatchVisit)(void *self, const wchar_t *path, size_t units);

// Walks the render interfaces of the present devices and visits each one
// whose device's service is `service`, in enumeration order. 0, or 1 when
// the set could not be had.
int walk_matches(const char *service, MatchVisit visit, void *self)
{
    const UsbdevsWinApi *api = usbdevs_win_api();
    // The wanted name in UTF-16, as the registry holds it.
    wchar_t want[USBDEVS_WIN_SERVICE_BYTES / 2] = {};
    int have_want = 0;
    if (service && *service) {
        uint16_t units[USBDEVS_WIN_SERVICE_BYTES / 2];
        if (usbdevs_path_from_utf8(units, USBDEVS_WIN_SERVICE_BYTES / 2, service) == 0) {
            for (size_t i = 0; units[i]; ++i)
                want[i] = (wchar_t)units[i];
            have_want = 1;
        }
    }

    HDEVINFO set = api->get_device_set(&usbdevs_win_render_class, USBDEVS_WIN_SET_FLAGS);
    if (set == INVALID_HANDLE_VALUE) {
        step_failed(USBDEVS_STEP_DEVICE_SET);
        return 1;
    }

    for (DWORD di = 0;; ++di) {
        SP_DEVINFO_DATA dev;
        memset(&dev, 0, sizeof dev);
        dev.cbSize = sizeof dev;
        if (!api->get_device(set, di, &dev))
            break;

        BYTE name[USBDEVS_WIN_SERVICE_BYTES];
        memset(name, 0, sizeof name);
        int named = 1;
        if (!api->read_service_name(set, &dev, name, USBDEVS_WIN_SERVICE_READ)) {
            step_failed(USBDEVS_STEP_SERVICE_NAME);
            named = 0;
        }
        // A device whose service could not be read is never the one.
        int match = 0;
        if (have_want && named) {
            const wchar_t *have = (const wchar_t *)name;
            match = wcsncmp(have, want, USBDEVS_WIN_SERVICE_BYTES / 2) == 0;
        }

        for (DWORD ii = 0;; ++ii) {
            SP_DEVICE_INTERFACE_DATA ifc;
            memset(&ifc, 0, sizeof ifc);
            ifc.cbSize = sizeof ifc;
            if (!api->get_interface(set, &dev, &usbdevs_win_render_class, ii, &ifc))
                break;

            DWORD size = api->get_interface_detail_size(set, &ifc);
            // Too small to hold even the record's fixed part: no detail to fetch.
            if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
                step_failed(USBDEVS_STEP_DETAIL_SIZE);
                continue;
            }
            SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail =
                (SP_DEVICE_INTERFACE_DETAIL_DATA_W *)api->alloc_detail(size);
            if (!detail) {
                step_failed(USBDEVS_STEP_DETAIL_ALLOC);
                continue;
            }
            memset(detail, 0, size);
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!api->get_interface_detail(set, &ifc, detail, size)) {
                step_failed(USBDEVS_STEP_DETAIL);
            } else if (match) {
                size_t units = (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) /
                               sizeof(wchar_t);
                visit(self, detail->DevicePath, units);
            }
            api->free_detail(detail);
        }
    }
    api->free_device_set(set);
    return 0;
}

struct FindLast {
    uint16_t *path;
    size_t cap;
    int found;
    int status;
};

void find_visit(void *self, const wchar_t *path, size_t units)
{
    FindLast *f = static_cast<FindLast *>(self);
    // The last match wins: each one replaces the path before it.
    if (f->path)
        f->status = copy_path(path, units, f->path, f->cap);
    f->found = 1;
}

struct ListAll {
    QxDevice *devices;
    unsigned cap;
    unsigned n;
};

void list_visit(void *self, const wchar_t *path, size_t units)
{
    ListAll *l = static_cast<ListAll *>(self);
    QxDevice one;
    // A path cut short names another file: it is left out.
    if (copy_path(path, units, one.path, USBDEVS_PATH_UNITS) != 0)
        return;
    // Several interfaces of one device (its render endpoints, told apart by
    // their reference strings) are one device: its entry takes the later
    // path, so that it holds the one a find leaves.
    for (unsigned i = 0; i < l->n; ++i) {
        if (usbdevs_same_device(l->devices[i].path, one.path)) {
            l->devices[i] = one;
            return;
        }
    }
    if (l->n < l->cap)
        l->devices[l->n++] = one;
}

unsigned be_list(void *, const char *service, QxDevice *devices, unsigned cap)
{
    return usbdevs_win_list(service, devices, cap);
}

} // namespace

int usbdevs_win_find(const char *service, uint16_t *path, size_t cap, int *copy_status)
{
    if (copy_status)
        *copy_status = 0;
    if (!path)
        cap = 0;
    // An entry names no device until one is found.
    if (cap)
        memset(path, 0, cap * sizeof *path);
    FindLast f = {path, cap, 0, 0};
    if (walk_matches(service, find_visit, &f))
        return 0;
    if (copy_status)
        *copy_status = f.status;
    return f.found && f.status == 0;
}

unsigned usbdevs_win_list(const char *service, QxDevice *devices, unsigned cap)
{
    if (!devices)
        return 0;
    memset(devices, 0, sizeof(QxDevice) * cap);
    ListAll l = {devices, cap, 0};
    walk_matches(service, list_visit, &l);
    return l.n;
}

int usbdevs_device_key(const uint16_t *path, uint16_t *key, size_t cap)
{
    return usbdevs_control_path(path, key, cap);
}

namespace
{

// --- the bound of a call: a watchdog thread cancels what runs past it ---

// One call under watch; lives on its caller's stack.
struct Watch {
    HANDLE thread; // the caller, with THREAD_TERMINATE access
    uint64_t deadline;
    bool fired;
    Watch *next;
};

struct Watchdog {
    std::mutex lock;
    Watch *calls = nullptr;
    HANDLE wake = nullptr; // auto-reset: a new call or a new deadline
};

// Never destroyed: a worker thread may still be in a call while the
// process exits.
Watchdog &g_watchdog = *new Watchdog;
std::once_flag g_watchdog_once;

DWORD WINAPI watchdog_main(void *)
{
    Watchdog &w = g_watchdog;
    for (;;) {
        const UsbdevsWinApi *api = usbdevs_win_api();
        DWORD pause = INFINITE;
        {
            std::lock_guard<std::mutex> hold(w.lock);
            uint64_t now = w.calls ? api->now_ms() : 0;
            for (Watch *c = w.calls; c; c = c->next) {
                if (c->fired)
                    continue;
                if (now >= c->deadline) {
                    // Under the lock: the caller cannot have left its call
                    // for another one before it takes the lock to end it.
                    c->fired = true;
                    api->cancel_call(c->thread);
                } else if (c->deadline - now < pause) {
                    pause = (DWORD)(c->deadline - now);
                }
            }
        }
        if (pause == INFINITE)
            WaitForSingleObject(w.wake, INFINITE);
        else
            api->wait_event(w.wake, pause);
    }
    return 0;
}

void watchdog_start(void)
{
    g_watchdog.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!g_watchdog.wake)
        return;
    HANDLE t = CreateThread(nullptr, 64 * 1024, watchdog_main, nullptr, 0, nullptr);
    if (t)
        CloseHandle(t);
    else
        g_watchdog.wake = nullptr;
}

// Puts the calling thread's next call under watch for bound_ms; 0 when it
// is watched (end it with watch_end).
int watch_begin(Watch *c, uint32_t bound_ms)
{
    std::call_once(g_watchdog_once, watchdog_start);
    Watchdog &w = g_watchdog;
    if (!w.wake)
        return 1;
    c->thread = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
    if (!c->thread)
        return 1;
    c->fired = false;
    {
        std::lock_guard<std::mutex> hold(w.lock);
        c->deadline = usbdevs_win_api()->now_ms() + bound_ms;
        c->next = w.calls;
        w.calls = c;
    }
    SetEvent(w.wake);
    return 0;
}

// Ends the watch; true when the call was cancelled for its bound.
bool watch_end(Watch *c)
{
    Watchdog &w = g_watchdog;
    bool fired;
    {
        std::lock_guard<std::mutex> hold(w.lock);
        for (Watch **p = &w.calls; *p; p = &(*p)->next) {
            if (*p == c) {
                *p = c->next;
                break;
            }
        }
        fired = c->fired;
    }
    CloseHandle(c->thread);
    return fired;
}

// --- a device that left a call unanswered ---

enum CallKind { CALL_NORMAL, CALL_PROBE, CALL_REFUSE };

struct Silence {
    std::mutex lock;
    bool silent = false;
    uint16_t key[USBDEVS_PATH_UNITS] = {};
    uint64_t last_probe = 0;
};
Silence &g_silence = *new Silence;

CallKind silence_check(const uint16_t *path)
{
    Silence &s = g_silence;
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.silent || !usbdevs_same_device(s.key, path))
        return CALL_NORMAL;
    uint64_t now = usbdevs_win_api()->now_ms();
    if (now - s.last_probe >= QXWIRE_PROBE_INTERVAL_MS) {
        s.last_probe = now;
        return CALL_PROBE;
    }
    return CALL_REFUSE;
}

void silence_mark(const uint16_t *path)
{
    Silence &s = g_silence;
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.silent && usbdevs_same_device(s.key, path))
        return;
    s.silent = true;
    memset(s.key, 0, sizeof s.key);
    memcpy(s.key, path, usbdevs_wcslen(path, USBDEVS_PATH_UNITS - 1) * sizeof *path);
    s.last_probe = usbdevs_win_api()->now_ms();
}

void silence_clear(const uint16_t *path)
{
    Silence &s = g_silence;
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.silent && usbdevs_same_device(s.key, path))
        s.silent = false;
}

} // namespace

void usbdevs_win_forget_silence(void)
{
    std::lock_guard<std::mutex> hold(g_silence.lock);
    g_silence.silent = false;
}

// The code of this thread's last failed open, for the caller's record.
static thread_local uint32_t t_open_error = 0;

HANDLE usbdevs_win_open(const uint16_t *path)
{
    const UsbdevsWinApi *api = usbdevs_win_api();
    uint16_t control[USBDEVS_PATH_UNITS];
    HANDLE h = INVALID_HANDLE_VALUE;
    uint32_t error;
    if (usbdevs_control_path(path, control, USBDEVS_PATH_UNITS) != 0) {
        error = ERROR_FILENAME_EXCED_RANGE;
    } else {
        wchar_t wide[USBDEVS_PATH_UNITS];
        for (size_t i = 0; i < USBDEVS_PATH_UNITS; ++i)
            wide[i] = (wchar_t)control[i];
        h = api->open_control_interface(wide);
        if (h != INVALID_HANDLE_VALUE)
            return h;
        error = system_error(api);
    }
    t_open_error = error;
    usbdevs_print_error(error);
    step_failed(USBDEVS_STEP_OPEN);
    return INVALID_HANDLE_VALUE;
}

int usbdevs_win_ioctl(const uint16_t *path, const uint8_t *in, uint32_t in_size, uint8_t *out,
                      uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    const UsbdevsWinApi *api = usbdevs_win_api();
    if (returned)
        *returned = 0;
    if (error)
        *error = 0;
    CallKind kind = silence_check(path);
    if (kind == CALL_REFUSE) {
        // Not made: the device left a call unanswered and has not answered since.
        if (error)
            *error = ERROR_SEM_TIMEOUT;
        return USBDEVS_ERR_CALL;
    }
    HANDLE h = usbdevs_win_open(path);
    if (h == INVALID_HANDLE_VALUE) {
        if (error)
            *error = t_open_error;
        return USBDEVS_ERR_OPEN;
    }

    // A write's input travels in committed memory of its own.
    QxIoRequest req;
    void *buffer = nullptr;
    if (usbdevs_get_header(in, in_size, &req) == 0 && req.direction == 0) {
        buffer = api->alloc_buffer(in_size);
        if (!buffer) {
            api->close_handle(h);
            return USBDEVS_ERR_NOMEM;
        }
        memcpy(buffer, in, in_size);
    }

    DWORD got = 0;
    Watch watch;
    int watched = watch_begin(&watch, kind == CALL_PROBE ? QXWIRE_PROBE_TIMEOUT_MS
                                                         : USBDEVS_WIN_CALL_BOUND_MS) == 0;
    BOOL ok = api->control_call(h, IOCTL_QX_CONTROL, buffer ? buffer : (void *)in, in_size, out,
                                out_size, &got);
    // Taken before freeing and closing can overwrite it.
    uint32_t code = ok ? 0 : system_error(api);
    if (watched && watch_end(&watch) && !ok)
        code = ERROR_SEM_TIMEOUT; // cancelled: the device did not answer in time
    if (ok)
        silence_clear(path);
    else if (code == ERROR_SEM_TIMEOUT)
        silence_mark(path);
    if (buffer)
        api->free_buffer(buffer);
    api->close_handle(h);
    if (!ok) {
        if (error)
            *error = code;
        return USBDEVS_ERR_CALL;
    }
    if (returned)
        *returned = (uint32_t)got;
    return USBDEVS_OK;
}

void usbdevs_print_error(uint32_t error)
{
    const UsbdevsWinApi *api = usbdevs_win_api();
    qx_printf("%s:%d:", USBDEVS_SRC, USBDEVS_LINE_LAST_ERROR);
    qx_printf("GetLastError() = %#x\n", error);
    wchar_t *text = api->get_error_text((DWORD)error);
    if (!text)
        return;
    print_wide(text);
    api->free_error_text(text);
}

void usbdevs_print_last_error(void)
{
    usbdevs_print_error(system_error(usbdevs_win_api()));
}

int usbdevs_error_text(uint32_t error, char *buf, size_t cap)
{
    if (!buf || cap == 0)
        return 1;
    buf[0] = 0;
    const UsbdevsWinApi *api = usbdevs_win_api();
    wchar_t *text = api->get_error_text((DWORD)error);
    if (!text)
        return 1;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buf, (int)cap, nullptr, nullptr);
    api->free_error_text(text);
    if (n <= 0) {
        buf[0] = 0;
        return 1;
    }
    // The system's texts end in a period and a line end.
    size_t len = strlen(buf);
    while (len && (buf[len - 1] == '\r' || buf[len - 1] == '\n' || buf[len - 1] == ' ' ||
                   buf[len - 1] == '.'))
        buf[--len] = 0;
    return 0;
}
