// The thread's execution state: set on the thread that runs the transfer,
// cleared on it after. The window's reason to refuse the session's end,
// registered for its handle.
#include "qxpower.h"
#include "qxsys.h"

#include <cstdio>
#include <mutex>
#include <string>

#include <windows.h>

namespace
{

uint32_t system_set_state(uint32_t flags)
{
    return (uint32_t)SetThreadExecutionState((EXECUTION_STATE)flags);
}

int system_block_reason(void *window, const wchar_t *why)
{
    return ShutdownBlockReasonCreate((HWND)window, why) ? 1 : 0;
}

int system_unblock_reason(void *window)
{
    return ShutdownBlockReasonDestroy((HWND)window) ? 1 : 0;
}

const QxPowerSystem k_system = {nullptr, nullptr, system_set_state, system_block_reason,
                                system_unblock_reason};

std::mutex g_lock;
QxPowerSystem g_system = k_system;

QxPowerSystem current()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_system;
}

} // namespace

void qxpower_platform_set_system(const QxPowerSystem *system)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_system = k_system;
    if (!system)
        return;
    if (system->set_state)
        g_system.set_state = system->set_state;
    if (system->block_reason)
        g_system.block_reason = system->block_reason;
    if (system->unblock_reason)
        g_system.unblock_reason = system->unblock_reason;
}

int qxpower_platform_hold(QxPower *power, const char *who, const char *why)
{
    (void)who;
    (void)why;
    if (current().set_state(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
        snprintf(power->problem, sizeof power->problem,
                 "the system refused the thread's execution state (error %lu)",
                 (unsigned long)GetLastError());
        return 1;
    }
    power->handle = (intptr_t)GetCurrentThreadId();
    return 0;
}

void qxpower_platform_release(QxPower *power)
{
    (void)power;
    current().set_state(ES_CONTINUOUS);
}

int qxpower_block_session_end(void *window, const char *why)
{
    return current().block_reason(window, qx_wide(why ? why : "").c_str()) ? 0 : 1;
}

int qxpower_unblock_session_end(void *window)
{
    return current().unblock_reason(window) ? 0 : 1;
}
