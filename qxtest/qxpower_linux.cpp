// The logind inhibitor through sd-bus: one method call on the system bus,
// whose answer is a descriptor that holds the inhibitor while it is open.
#include "qxpower.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include "qxlimits.h"

int qxpower_platform_hold(QxPower *power, const char *who, const char *why)
{
    sd_bus *bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        snprintf(power->problem, sizeof power->problem, "no system bus (%s)", strerror(-r));
        return 1;
    }
    // A bus that takes the call and never answers must not hold the update.
    sd_bus_set_method_call_timeout(bus, (uint64_t)QXPOWER_BUS_TIMEOUT_MS * 1000);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                           QXPOWER_WHAT, who, why, "block");
    int fd = -1;
    if (r < 0) {
        snprintf(power->problem, sizeof power->problem, "logind took no inhibitor (%s)",
                 error.message ? error.message : strerror(-r));
    } else if ((r = sd_bus_message_read(reply, "h", &fd)) < 0 || fd < 0) {
        snprintf(power->problem, sizeof power->problem, "logind's answer held no descriptor (%s)",
                 strerror(r < 0 ? -r : EBADF));
        fd = -1;
    } else {
        // The answer owns its descriptor: ours outlives it.
        fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (fd < 0)
            snprintf(power->problem, sizeof power->problem,
                     "the inhibitor's descriptor could not be kept (%s)", strerror(errno));
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    if (fd < 0)
        return 1;
    power->handle = fd;
    return 0;
}

void qxpower_platform_release(QxPower *power)
{
    if (power->handle >= 0)
        close((int)power->handle);
}

// A session's end reaches a program as a signal here, and the inhibitor
// blocks it already.
int qxpower_block_session_end(void *window, const char *why)
{
    (void)window;
    (void)why;
    return 1;
}

int qxpower_unblock_session_end(void *window)
{
    (void)window;
    return 1;
}

void qxpower_platform_set_system(const QxPowerSystem *system)
{
    (void)system;
}
