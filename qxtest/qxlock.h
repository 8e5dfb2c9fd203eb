// One conversation with a device at a time, across programs: a lock per
// device, keyed by the device (usbdevs_device_key of any of its paths), so that two devices
// can be updated at once while two programs can never talk to one device
// between each other's calls. Taking it never waits. The lock dies with its
// holder: a killed program never locks anyone out.
//
// Linux: an open-file-description lock on "<endpoint>.lock" beside the
// device's socket, holding the holder's process id and program name; a
// device whose path is not a file (an in-process device) is locked within
// the process. Windows: a mutex in the global namespace, seen from every
// session, keyed by the control path that all of the device's interfaces
// lead to, and a section in the session's namespace that names the holder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usbdevs.h"

#define QXLOCK_NAME_SIZE 64
#define QXLOCK_PROBLEM_SIZE 256

// Why a holder could not be named (Windows).
enum {
    QXLOCK_SEEN = 0,
    // The lock exists but may not be opened: a program of another user, or
    // an elevated copy, made it.
    QXLOCK_UNSEEN_USER = 1,
    // The lock exists but nobody in this session names it: a copy in
    // another session (another user logged on, a remote desktop).
    QXLOCK_UNSEEN_SESSION = 2,
};

// Who holds a device, or why its lock could not be made.
typedef struct QxLockHolder {
    int held;                          // 1: another program (or record) holds it
    unsigned long pid;                 // its process id; 0 when the system does not tell
    char program[QXLOCK_NAME_SIZE];    // its program name; "" when not known
    char problem[QXLOCK_PROBLEM_SIZE]; // held 0: why the lock could not be made
    int unseen;                        // held 1, no name: QXLOCK_UNSEEN_*, why not
} QxLockHolder;

// One lock as its taker keeps it; zero-filled (or qxlock_init) when not held.
typedef struct QxLock {
    int held;
    intptr_t handle;      // the lock file's descriptor, or the mutex's handle
    intptr_t name_handle; // Windows: the section that names the holder
    uint16_t path[USBDEVS_PATH_UNITS];
} QxLock;

void qxlock_init(QxLock *lock);
// For the platform parts: records a lock just taken on path, kept by handle.
void qxlock_mark_held(QxLock *lock, const uint16_t *path, intptr_t handle);

// Takes the lock of the device at path without waiting. 0: taken, and held
// until qxlock_release or the end of the process. 1: not taken; *holder
// (may be null) names the holder (held 1), or says why the lock could not
// be made (held 0). Taking a lock that this record already holds for the
// same path succeeds; one held for another path is released first.
int qxlock_take(QxLock *lock, const uint16_t *path, QxLockHolder *holder);

// Releases the lock if this record holds it; always 0.
int qxlock_release(QxLock *lock);

// Whether the device at path is held, without taking its lock: 0 and the
// holder in *holder (may be null) when it is held, 1 when it is free.
int qxlock_holder(const uint16_t *path, QxLockHolder *holder);

#ifdef _WIN32
// The global name of the device's lock ("Global\qx-10_20-lock-<hash>"),
// for tests that play another user's copy.
void qxlock_win_name(const uint16_t *path, wchar_t *name, size_t cap);
#endif

// "qxtool (process 4242)", "process 4242", "a program of another user or an
// elevated one", "a program in another session", or "another program".
void qxlock_holder_text(const QxLockHolder *holder, char *buf, size_t cap);

// This process's program name as a holder records it ("qxtool").
const char *qxlock_program_name(void);
