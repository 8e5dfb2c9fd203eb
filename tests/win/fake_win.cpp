#include "fake_win.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace
{
FakeWin *g_fake = nullptr;
// Any non-null value that the fake recognises as its set.
HDEVINFO const kSet = (HDEVINFO)(intptr_t)0x5e7;

bool give_back(std::vector<void *> &live, void *p)
{
    auto it = std::find(live.begin(), live.end(), p);
    if (it == live.end())
        return false;
    live.erase(it);
    return true;
}

size_t path_bytes(const FakeInterface &ifc)
{
    return offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
           (ifc.path.size() + 1) * sizeof(wchar_t);
}
} // namespace

FakeWin *FakeWin::self()
{
    return g_fake;
}

struct FakeWinCalls {
    static const FakeInterface *interface_of(const SP_DEVICE_INTERFACE_DATA *ifc)
    {
        FakeWin *f = FakeWin::self();
        size_t d = ifc->Reserved >> 16, i = ifc->Reserved & 0xffff;
        if (d >= f->devices.size() || i >= f->devices[d].interfaces.size())
            return nullptr;
        return &f->devices[d].interfaces[i];
    }

    static HDEVINFO get_device_set(const GUID *cls, DWORD flags)
    {
        FakeWin *f = FakeWin::self();
        f->set_class = *cls;
        f->set_flags = flags;
        if (f->set_fails) {
            f->last_error = ERROR_INVALID_PARAMETER;
            return INVALID_HANDLE_VALUE;
        }
        ++f->sets;
        return kSet;
    }

    static BOOL get_device(HDEVINFO set, DWORD index, SP_DEVINFO_DATA *dev)
    {
        FakeWin *f = FakeWin::self();
        if (set != kSet || dev->cbSize != sizeof *dev || index >= f->devices.size()) {
            f->last_error = ERROR_NO_MORE_ITEMS;
            return FALSE;
        }
        dev->DevInst = index;
        return TRUE;
    }

    static BOOL read_service_name(HDEVINFO, SP_DEVINFO_DATA *dev, BYTE *buf, DWORD size)
    {
        FakeWin *f = FakeWin::self();
        f->service_sizes.push_back(size);
        if (std::any_of(buf, buf + USBDEVS_WIN_SERVICE_BYTES, [](BYTE b) { return b != 0; }))
            ++f->dirty_service_buffers;
        const FakeDevice &d = f->devices[dev->DevInst];
        size_t bytes = (d.service.size() + 1) * sizeof(wchar_t);
        if (d.service_fails || bytes > size) {
            f->last_error = d.service_fails ? ERROR_INVALID_DATA : ERROR_INSUFFICIENT_BUFFER;
            return FALSE;
        }
        memcpy(buf, d.service.c_str(), bytes);
        return TRUE;
    }

    static BOOL get_interface(HDEVINFO, SP_DEVINFO_DATA *dev, const GUID *, DWORD index,
                              SP_DEVICE_INTERFACE_DATA *ifc)
    {
        FakeWin *f = FakeWin::self();
        const FakeDevice &d = f->devices[dev->DevInst];
        if (ifc->cbSize != sizeof *ifc || index >= d.interfaces.size()) {
            f->last_error = ERROR_NO_MORE_ITEMS;
            return FALSE;
        }
        ifc->Reserved = (ULONG_PTR)dev->DevInst << 16 | index;
        return TRUE;
    }

    static DWORD get_interface_detail_size(HDEVINFO, SP_DEVICE_INTERFACE_DATA *ifc)
    {
        const FakeInterface *i = interface_of(ifc);
        FakeWin::self()->asked_ = i;
        if (!i || i->no_size)
            return 0;
        return i->size_override ? i->size_override : (DWORD)path_bytes(*i);
    }

    static BOOL get_interface_detail(HDEVINFO, SP_DEVICE_INTERFACE_DATA *ifc,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail, DWORD size)
    {
        FakeWin *f = FakeWin::self();
        const FakeInterface *i = interface_of(ifc);
        const BYTE *body = (const BYTE *)detail + sizeof detail->cbSize;
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
            std::any_of(body, (const BYTE *)detail + size, [](BYTE b) { return b != 0; }))
            ++f->bad_detail_headers;
        if (!i || i->detail_fails) {
            f->last_error = ERROR_INVALID_USER_BUFFER;
            return FALSE;
        }
        // Like the system: as much of the path as fits, terminated only if it fits.
        size_t room =
            (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
        size_t n = std::min(room, i->path.size() + 1);
        memcpy(detail->DevicePath, i->path.c_str(), n * sizeof(wchar_t));
        return TRUE;
    }

    static void *alloc_detail(size_t size)
    {
        FakeWin *f = FakeWin::self();
        // The record is for the interface whose size was asked last.
        if (f->asked_ && f->asked_->alloc_fails)
            return nullptr;
        void *p = malloc(size);
        memset(p, 0xa5, size); // the backend must clear it
        ++f->details;
        f->live_details_.push_back(p);
        return p;
    }

    static void free_detail(void *p)
    {
        FakeWin *f = FakeWin::self();
        if (!give_back(f->live_details_, p)) {
            ++f->foreign_frees;
            return;
        }
        ++f->details_freed;
        free(p);
    }

    static void free_device_set(HDEVINFO set)
    {
        FakeWin *f = FakeWin::self();
        if (set != kSet || f->sets_freed >= f->sets) {
            ++f->foreign_frees;
            return;
        }
        ++f->sets_freed;
    }

    static HANDLE open_control_interface(const wchar_t *path)
    {
        FakeWin *f = FakeWin::self();
        f->opened.push_back(path);
        if (f->open_fails) {
            f->last_error = f->open_error;
            return INVALID_HANDLE_VALUE;
        }
        HANDLE h = (HANDLE)(intptr_t)(0x100 + ++f->handles);
        f->live_handles_.push_back(h);
        return h;
    }

    static void *alloc_buffer(size_t size)
    {
        FakeWin *f = FakeWin::self();
        if (f->buffer_fails) {
            f->last_error = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        void *p = malloc(size);
        memset(p, 0xa5, size);
        ++f->buffers;
        f->live_buffers_.push_back(p);
        return p;
    }

    static void free_buffer(void *p)
    {
        FakeWin *f = FakeWin::self();
        f->last_error = 0; // the system may overwrite the last error here
        if (!give_back(f->live_buffers_, p)) {
            ++f->foreign_frees;
            return;
        }
        ++f->buffers_freed;
        free(p);
    }

    static BOOL control_call(HANDLE h, DWORD code, void *in, DWORD in_size, void *out,
                             DWORD out_size, DWORD *returned)
    {
        FakeWin *f = FakeWin::self();
        FakeCall c;
        c.code = code;
        c.in.assign((const uint8_t *)in, (const uint8_t *)in + in_size);
        c.out_size = out_size;
        c.in_own_buffer = std::find(f->live_buffers_.begin(), f->live_buffers_.end(), in) !=
                          f->live_buffers_.end();
        f->calls.push_back(c);
        if (std::find(f->live_handles_.begin(), f->live_handles_.end(), h) ==
            f->live_handles_.end()) {
            f->last_error = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        if (f->never_returns) {
            // A minute of real time: a backend that never cancels fails the
            // test with another code instead of hanging it.
            DWORD w = WaitForSingleObject(f->cancelled_, 60000);
            ResetEvent(f->cancelled_);
            f->last_error = w == WAIT_OBJECT_0 ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE;
            return FALSE;
        }
        if (f->call_fails) {
            f->last_error = f->call_error;
            return FALSE;
        }
        size_t n = std::min<size_t>(out_size, f->reply.size());
        if (n)
            memcpy(out, f->reply.data(), n);
        *returned = f->reply_count < 0 ? out_size : (DWORD)f->reply_count;
        return TRUE;
    }

    static void close_handle(HANDLE h)
    {
        FakeWin *f = FakeWin::self();
        f->last_error = 0;
        auto it = std::find(f->live_handles_.begin(), f->live_handles_.end(), h);
        if (it == f->live_handles_.end()) {
            ++f->foreign_frees;
            return;
        }
        f->live_handles_.erase(it);
        ++f->handles_closed;
    }

    static DWORD last_error() { return FakeWin::self()->last_error; }

    static wchar_t *get_error_text(DWORD code)
    {
        FakeWin *f = FakeWin::self();
        for (const auto &t : f->texts) {
            if (t.first != code)
                continue;
            wchar_t *p = (wchar_t *)malloc((t.second.size() + 1) * sizeof(wchar_t));
            memcpy(p, t.second.c_str(), (t.second.size() + 1) * sizeof(wchar_t));
            ++f->error_texts;
            f->live_texts_.push_back(p);
            return p;
        }
        return nullptr;
    }

    static uint64_t now_ms() { return FakeWin::self()->clock_ms; }

    static void wait_event(HANDLE event, DWORD ms)
    {
        FakeWin *f = FakeWin::self();
        if (f->never_returns && ms != INFINITE) {
            f->clock_ms += ms;
            return;
        }
        WaitForSingleObject(event, ms);
    }

    static int cancel_call(HANDLE thread)
    {
        FakeWin *f = FakeWin::self();
        if (!thread)
            return 0;
        ++f->cancels;
        SetEvent(f->cancelled_);
        return 1;
    }

    static void free_error_text(wchar_t *p)
    {
        FakeWin *f = FakeWin::self();
        if (!give_back(f->live_texts_, p)) {
            ++f->foreign_frees;
            return;
        }
        ++f->error_texts_freed;
        free(p);
    }
};

const UsbdevsWinApi FakeWin::api = {
    FakeWinCalls::get_device_set,
    FakeWinCalls::get_device,
    FakeWinCalls::read_service_name,
    FakeWinCalls::get_interface,
    FakeWinCalls::get_interface_detail_size,
    FakeWinCalls::get_interface_detail,
    FakeWinCalls::alloc_detail,
    FakeWinCalls::free_detail,
    FakeWinCalls::free_device_set,
    FakeWinCalls::open_control_interface,
    FakeWinCalls::alloc_buffer,
    FakeWinCalls::free_buffer,
    FakeWinCalls::control_call,
    FakeWinCalls::close_handle,
    FakeWinCalls::last_error,
    FakeWinCalls::get_error_text,
    FakeWinCalls::free_error_text,
    FakeWinCalls::now_ms,
    FakeWinCalls::wait_event,
    FakeWinCalls::cancel_call,
};

FakeWin::FakeWin()
{
    cancelled_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_fake = this;
    usbdevs_win_set_api(&api);
    usbdevs_set_backend(nullptr);
}

FakeWin::~FakeWin()
{
    usbdevs_win_set_api(nullptr);
    g_fake = nullptr;
    CloseHandle(cancelled_);
    for (void *p : live_details_)
        free(p);
    for (void *p : live_buffers_)
        free(p);
    for (void *p : live_texts_)
        free(p);
}
