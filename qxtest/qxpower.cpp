#include "qxpower.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "qxsys.h"

// The platform parts.
int qxpower_platform_hold(QxPower *power, const char *who, const char *why);
void qxpower_platform_release(QxPower *power);
void qxpower_platform_set_system(const QxPowerSystem *system);

namespace
{

std::atomic<int> g_holds{0};
std::mutex g_lock;
QxPowerSystem g_replaced = {};

QxPowerSystem replaced()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_replaced;
}

} // namespace

void qxpower_set_system(const QxPowerSystem *system)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_replaced = system ? *system : QxPowerSystem{};
    }
    qxpower_platform_set_system(system);
}

void qxpower_init(QxPower *power)
{
    memset(power, 0, sizeof *power);
    power->handle = -1;
}

int qxpower_hold(QxPower *power, const char *who, const char *why)
{
    if (power->held)
        return 0;
    power->problem[0] = '\0';
    const QxPowerSystem fake = replaced();
    const int failed = fake.hold ? fake.hold(power, who ? who : "", why ? why : "")
                                 : qxpower_platform_hold(power, who ? who : "", why ? why : "");
    if (failed) {
        // Diagnostics: shown with qxtool -v, on the window's standard output.
        qx_printf("qxpower: nothing holds the machine up during the update: %s\n", power->problem);
        return 1;
    }
    power->held = 1;
    g_holds++;
    return 0;
}

int qxpower_release(QxPower *power)
{
    if (!power->held)
        return 0;
    const QxPowerSystem fake = replaced();
    if (fake.release)
        fake.release(power);
    else
        qxpower_platform_release(power);
    power->held = 0;
    power->handle = -1;
    g_holds--;
    return 0;
}

int qxpower_holds(void)
{
    return g_holds.load();
}
