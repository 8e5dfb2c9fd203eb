// The simulated device as a device-access backend: discovery sees it while it
// is plugged in, every call goes straight to the model in this process.
#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "qxsim_device.h"
#include "usbdevs.h"

namespace
{

// Shaped like a real interface path so the control-path rewrite has work to do.
// The instance is this process: a device lives in one process, and on Windows
// the lock's name is seen by every process, so two test programs running at
// once must not share one.
void sim_path(char *out, size_t cap)
{
#ifdef _WIN32
    unsigned long pid = (unsigned long)_getpid();
#else
    unsigned long pid = (unsigned long)getpid();
#endif
    std::snprintf(out, cap, "\\\\?\\sim#qx-10_20#%lu\\global", pid);
}

int sim_init(void *)
{
    return 0;
}

int sim_find(void *self, const char *service, uint16_t *path, size_t cap, int *copy_status)
{
    auto *dev = static_cast<QxSimDevice *>(self);
    if (!service || std::strcmp(service, USBDEVS_SERVICE) != 0 || !dev->present())
        return 0;
    int status = 0;
    if (path) {
        std::memset(path, 0, cap * sizeof *path);
        char utf8[64];
        sim_path(utf8, sizeof utf8);
        status = usbdevs_path_from_utf8(path, cap, utf8);
    }
    if (copy_status)
        *copy_status = status;
    return status == 0;
}

int sim_ioctl(void *self, const uint16_t *, const uint8_t *in, uint32_t in_size, uint8_t *out,
              uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    auto *dev = static_cast<QxSimDevice *>(self);
    uint32_t n = 0;
    uint32_t status = dev->ioctl(IOCTL_QX_CONTROL, in, in_size, out, out_size, &n);
    if (returned)
        *returned = status ? 0 : n;
    if (status == 0)
        return USBDEVS_OK;
    if (error)
        *error = status;
    return USBDEVS_ERR_CALL;
}

void sim_print_error(void *, uint32_t error)
{
    usbdevs_print_error(error);
}

} // namespace

UsbdevsBackend qxsim_backend(QxSimDevice *dev)
{
    UsbdevsBackend b;
    b.init = sim_init;
    b.find = sim_find;
    b.ioctl = sim_ioctl;
    b.print_error = sim_print_error;
    b.self = dev;
    return b;
}
