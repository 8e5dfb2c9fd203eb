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
    if (holder && holder->program[0] && holder->pid)
        snprintf(buf, cap, "%s (process %lu)", holder->program, holder->pid);
    else if (holder && holder->program[0])
        snprintf(buf, cap, "%s", holder->program);
    else if (holder && holder->pid)
        snprintf(buf, cap, "process %lu", holder->pid);
    else
        snprintf(buf, cap, "another program");
}
