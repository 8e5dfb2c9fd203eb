// The device lock on Linux: an open-file-description lock on a file beside
// the device's socket. Such a lock belongs to the open file, not to the
// process, so two records in one process exclude each other as two programs
// do, and the kernel drops it when its holder ends, however it ends. The
// file names the holder; it is never removed, since a removal would let two
// takers lock two different files of the same name.
#include "qxlock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "qxlimits.h"
#include "qxsys.h"

namespace
{

// Devices whose path is not a file (the tests' in-process device) can only
// be reached from this process: their locks live here.
struct LocalLocks {
    std::mutex lock;
    std::set<std::string> held;
};
// Never destroyed: a worker thread may release while the process exits.
LocalLocks &g_local = *new LocalLocks;

void problem(QxLockHolder *holder, const char *fmt, const char *what, int err)
{
    if (!holder)
        return;
    holder->held = 0;
    snprintf(holder->problem, sizeof holder->problem, fmt, what, strerror(err));
}

void clear(QxLockHolder *holder)
{
    if (holder)
        memset(holder, 0, sizeof *holder);
}

void this_process(QxLockHolder *holder)
{
    if (!holder)
        return;
    holder->held = 1;
    holder->pid = (unsigned long)getpid();
    snprintf(holder->program, sizeof holder->program, "%s", qxlock_program_name());
}

int utf8_path(const uint16_t *path, std::string *out)
{
    char buf[USBDEVS_PATH_UNITS * 3 + 1];
    if (!path || !path[0] || usbdevs_path_to_utf8(buf, sizeof buf, path))
        return 1;
    *out = buf;
    return 0;
}

bool same_path(const uint16_t *a, const uint16_t *b)
{
    size_t n = usbdevs_wcslen(a, USBDEVS_PATH_UNITS);
    return n == usbdevs_wcslen(b, USBDEVS_PATH_UNITS) && memcmp(a, b, n * sizeof *a) == 0;
}

bool is_file(const std::string &path)
{
    return !path.empty() && path[0] == '/';
}

// What the holder wrote: "<pid> <program>\n". A process id that no longer
// exists is not told (its number may be taken by someone else by now).
void read_holder(int fd, QxLockHolder *holder)
{
    if (!holder)
        return;
    holder->held = 1;
    char text[160] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return;
    text[n] = 0;
    unsigned long pid = 0;
    char name[QXLOCK_NAME_SIZE] = {};
    if (sscanf(text, "%lu %63[^\n]", &pid, name) < 1)
        return;
    if (pid == 0 || (kill((pid_t)pid, 0) != 0 && errno != EPERM))
        return;
    holder->pid = pid;
    // Only printable bytes: the name is shown on the user's terminal.
    size_t k = 0;
    for (size_t i = 0; name[i] && k + 1 < sizeof holder->program; ++i)
        if ((unsigned char)name[i] >= 0x20 && (unsigned char)name[i] != 0x7f)
            holder->program[k++] = name[i];
    holder->program[k] = 0;
}

// A holder writes its name just after it has taken the lock: one found
// at that moment, or after a killed holder whose name is stale, is read
// again for a few milliseconds.
void read_named_holder(int fd, QxLockHolder *holder)
{
    if (!holder)
        return;
    for (int i = 0; i < QXLOCK_NAME_TRIES; i++) {
        read_holder(fd, holder);
        if (holder->pid)
            return;
        qx_sleep_ms(QXLOCK_NAME_PAUSE_MS);
    }
}

struct flock whole_file(short type)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0; // to the end, however long
    fl.l_pid = 0; // must be 0 for the description's locks
    return fl;
}

} // namespace

const char *qxlock_program_name(void)
{
    return program_invocation_short_name;
}

int qxlock_take(QxLock *lock, const uint16_t *path, QxLockHolder *holder)
{
    clear(holder);
    std::string dev;
    if (!lock || utf8_path(path, &dev)) {
        if (holder)
            snprintf(holder->problem, sizeof holder->problem, "no device path to lock");
        return 1;
    }
    if (lock->held) {
        if (same_path(lock->path, path))
            return 0;
        qxlock_release(lock);
    }
    intptr_t handle = -1;
    if (!is_file(dev)) {
        std::lock_guard<std::mutex> hold(g_local.lock);
        if (!g_local.held.insert(dev).second) {
            this_process(holder);
            return 1;
        }
    } else {
        std::string file = dev + ".lock";
        int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            problem(holder, "cannot open the device's lock file %s: %s", file.c_str(), errno);
            return 1;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            close(fd);
            problem(holder, "the device's lock file %s is not a file of yours: %s", file.c_str(),
                    EPERM);
            return 1;
        }
        struct flock fl = whole_file(F_WRLCK);
        int r;
        do {
            r = fcntl(fd, F_OFD_SETLK, &fl);
        } while (r != 0 && errno == EINTR);
        if (r != 0) {
            int err = errno;
            if (err == EAGAIN || err == EACCES)
                read_named_holder(fd, holder);
            else
                problem(holder, "cannot lock the device's lock file %s: %s", file.c_str(), err);
            close(fd);
            return 1;
        }
        char text[160];
        int n =
            snprintf(text, sizeof text, "%lu %s\n", (unsigned long)getpid(), qxlock_program_name());
        // Who holds it is only information: a failed write takes nothing
        // from the lock itself.
        if (ftruncate(fd, 0) == 0 && n > 0)
            (void)!pwrite(fd, text, (size_t)n, 0);
        handle = fd;
    }
    qxlock_mark_held(lock, path, handle);
    return 0;
}

int qxlock_release(QxLock *lock)
{
    if (!lock || !lock->held)
        return 0;
    if (lock->handle >= 0) {
        int fd = (int)lock->handle;
        // Nobody's name stays behind; the lock goes with the close.
        (void)!ftruncate(fd, 0);
        close(fd);
    } else {
        std::string dev;
        if (utf8_path(lock->path, &dev) == 0) {
            std::lock_guard<std::mutex> hold(g_local.lock);
            g_local.held.erase(dev);
        }
    }
    lock->held = 0;
    lock->handle = -1;
    return 0;
}

int qxlock_holder(const uint16_t *path, QxLockHolder *holder)
{
    clear(holder);
    std::string dev;
    if (utf8_path(path, &dev))
        return 1;
    if (!is_file(dev)) {
        std::lock_guard<std::mutex> hold(g_local.lock);
        if (!g_local.held.count(dev))
            return 1;
        this_process(holder);
        return 0;
    }
    std::string file = dev + ".lock";
    // Not blocked by a fifo put in the lock file's place.
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return 1; // never locked here
    // Asks the kernel who would stand in the way of a writer, and takes nothing.
    struct flock fl = whole_file(F_WRLCK);
    int held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    if (held)
        read_named_holder(fd, holder);
    close(fd);
    return held ? 0 : 1;
}
