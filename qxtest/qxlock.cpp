// The device lock, the part every platform shares.
#include "qxlock.h"

#include <cstdio>
#include <cstring>

void qxlock_init(QxLock *lock)
{
    if (lock)
        memset(lock, 0, sizeof *lock);
}

void qxlock_holder_text(const QxLockHolder *holder, char *buf, size_t cap)
{
    if (!buf || cap == 0)
        return;
    if (holder && !holder->program[0] && holder->unseen == QXLOCK_UNSEEN_USER)
        snprintf(buf, cap, "a program of another user or an elevated one");
    else if (holder && !holder->program[0] && holder->unseen == QXLOCK_UNSEEN_SESSION)
        snprintf(buf, cap, "a program in another session");
    else if (holder && holder->program[0] && holder->pid)
        snprintf(buf, cap, "%s (process %lu)", holder->program, holder->pid);
    else if (holder && holder->program[0])
        snprintf(buf, cap, "%s", holder->program);
    else if (holder && holder->pid)
        snprintf(buf, cap, "process %lu", holder->pid);
    else
        snprintf(buf, cap, "another program");
}

void qxlock_mark_held(QxLock *lock, const uint16_t *path, intptr_t handle)
{
    lock->handle = handle;
    memset(lock->path, 0, sizeof lock->path);
    memcpy(lock->path, path, usbdevs_wcslen(path, USBDEVS_PATH_UNITS) * sizeof(uint16_t));
    lock->held = 1;
}
