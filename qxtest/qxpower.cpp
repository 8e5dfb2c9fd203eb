#include "qxpower.h"

#include <atomic>
#include <cstring>

#include "qxsys.h"

// The platform parts.
int qxpower_platform_hold(QxPower *power, const char *who, const char *why);
void qxpower_platform_release(QxPower *power);

namespace
{

std::atomic<int> g_holds{0};

} // namespace

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
    if (qxpower_platform_hold(power, who ? who : "", why ? why : "") != 0) {
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
