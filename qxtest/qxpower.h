// Holding the machine up while a device is being written: no sleep, no
// shutdown, no log-off for that span. Taking the hold never stops an
// update: without it the update goes on, and the record says why nothing
// was held.
//
// Linux: a logind inhibitor on the system bus (mode "block"), held by its
// descriptor; no bus or no logind (a container, a minimal system) leaves
// nothing held. Windows: the calling thread's execution state keeps the
// system awake until it is cleared on the same thread.
#pragma once

#include <cstddef>
#include <cstdint>

#define QXPOWER_PROBLEM_SIZE 256

// What the inhibitor blocks: sleep, shutdown, idle and the keys and lid
// that would suspend, hibernate or power off.
#define QXPOWER_WHAT "sleep:shutdown:idle:handle-lid-switch:handle-suspend-key:handle-hibernate-key"

typedef struct QxPower {
    int held;
    intptr_t handle;                    // Linux: the inhibitor's descriptor
    char problem[QXPOWER_PROBLEM_SIZE]; // held 0 after a hold: why nothing is held
} QxPower;

void qxpower_init(QxPower *power);

// Holds the machine up for who (the program's name) and why (a sentence
// naming what is being done), from the calling thread. 0: held until
// qxpower_release. 1: nothing held, problem says why; the caller goes on.
// A record that already holds stays as it is.
int qxpower_hold(QxPower *power, const char *who, const char *why);

// Lets the machine go again, on the thread that held it; always 0.
int qxpower_release(QxPower *power);

// Holds taken in this process and not yet released, so that tests can see
// every one given back.
int qxpower_holds(void);

// A window that refuses the end of the session while it writes a device
// (Windows: the reason the system shows, registered for the window's
// handle). 0: registered; 1: not (other systems have no such list).
int qxpower_block_session_end(void *window, const char *why);
int qxpower_unblock_session_end(void *window);

// For tests, where the system's own calls cannot be observed or must not
// be made: the calls replaced (null: the system's own again). A null
// member keeps the system's.
typedef struct QxPowerSystem {
    // The whole hold on any platform: 0 held, 1 not (with power->problem).
    int (*hold)(QxPower *power, const char *who, const char *why);
    void (*release)(QxPower *power);
    // Windows: SetThreadExecutionState, ShutdownBlockReasonCreate and
    // ShutdownBlockReasonDestroy.
    uint32_t (*set_state)(uint32_t flags);
    int (*block_reason)(void *window, const wchar_t *why);
    int (*unblock_reason)(void *window);
} QxPowerSystem;
void qxpower_set_system(const QxPowerSystem *system);
