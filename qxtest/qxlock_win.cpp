// The device lock on Windows, keyed by the device (the control path that
// each of its interfaces leads to). The exclusion is a mutex in the global
// namespace, so that a copy in another session (another user logged on, a
// remote desktop) sees it too: the first program to create it holds the
// device, and every later create of the name finds it there. A global
// mutex needs no privilege (a global section would). The system destroys
// it with its last handle, so it dies with its holder however the holder
// ends. Beside it, a section in the session's own namespace names the
// holder to programs of that session.
#include "qxlock.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "qxlimits.h"
#include "qxsys.h"

namespace
{

// What a holder writes into the section.
struct Shared {
    uint32_t state; // 1 while held and named
    uint32_t pid;
    char program[QXLOCK_NAME_SIZE];
};

const uint32_t k_held = 1;

// "<space>qx-10_20-lock-<hash>" of the device's key: the key holds
// backslashes, which a name may not, and may be longer than a name can be;
// the system's paths compare without case.
void object_name(const uint16_t *path, const wchar_t *space, wchar_t *name, size_t cap)
{
    uint16_t key[USBDEVS_PATH_UNITS] = {};
    // A path too long for a key is never opened; it keeps a lock of its own.
    if (usbdevs_device_key(path, key, USBDEVS_PATH_UNITS) != 0)
        memcpy(key, path, usbdevs_wcslen(path, USBDEVS_PATH_UNITS - 1) * sizeof *key);
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < USBDEVS_PATH_UNITS && key[i]; ++i) {
        uint16_t c = key[i];
        if (c >= 'A' && c <= 'Z')
            c = (uint16_t)(c - 'A' + 'a');
        h = (h ^ (c & 0xff)) * 1099511628211ull;
        h = (h ^ (c >> 8)) * 1099511628211ull;
    }
    int n = _snwprintf(name, cap, L"%lsqx-10_20-lock-%016llx", space, (unsigned long long)h);
    if (n < 0 && cap)
        name[0] = 0;
}

void clear(QxLockHolder *holder)
{
    if (holder)
        memset(holder, 0, sizeof *holder);
}

// 1 when the section names a holder.
int read_holder(HANDLE section, QxLockHolder *holder)
{
    const Shared *s = (const Shared *)MapViewOfFile(section, FILE_MAP_READ, 0, 0, sizeof(Shared));
    if (!s)
        return 0;
    int named = s->state == k_held;
    if (named && holder) {
        holder->pid = s->pid;
        size_t k = 0;
        for (size_t i = 0; i < sizeof s->program && s->program[i] && k + 1 < sizeof holder->program;
             ++i)
            if ((unsigned char)s->program[i] >= 0x20 && (unsigned char)s->program[i] != 0x7f)
                holder->program[k++] = s->program[i];
        holder->program[k] = 0;
    }
    UnmapViewOfFile(s);
    return named;
}

// Reads the holder's name from this session's section: 1 when named.
int read_named_holder(const uint16_t *path, QxLockHolder *holder)
{
    wchar_t name[128];
    object_name(path, L"Local\\", name, sizeof name / sizeof name[0]);
    HANDLE section = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
    if (!section)
        return 0;
    int named = read_holder(section, holder);
    CloseHandle(section);
    return named;
}

// A lock found taken: its holder's name, which the holder writes just after
// it has made the lock; none in this session: a copy in another one.
void name_holder(const uint16_t *path, QxLockHolder *holder)
{
    if (!holder)
        return;
    holder->held = 1;
    for (int i = 0; i < QXLOCK_NAME_TRIES; i++) {
        if (read_named_holder(path, holder))
            return;
        qx_sleep_ms(QXLOCK_NAME_PAUSE_MS);
    }
    holder->unseen = QXLOCK_UNSEEN_SESSION;
}

void write_state(HANDLE section, uint32_t state)
{
    Shared *s = (Shared *)MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(Shared));
    if (!s)
        return;
    if (state == k_held) {
        s->pid = GetCurrentProcessId();
        snprintf(s->program, sizeof s->program, "%s", qxlock_program_name());
    }
    s->state = state;
    UnmapViewOfFile(s);
}

} // namespace

void qxlock_win_name(const uint16_t *path, wchar_t *name, size_t cap)
{
    object_name(path, L"Global\\", name, cap);
}

const char *qxlock_program_name(void)
{
    static char name[QXLOCK_NAME_SIZE];
    if (!name[0]) {
        wchar_t file[MAX_PATH] = {};
        DWORD n = GetModuleFileNameW(nullptr, file, MAX_PATH);
        const wchar_t *base = file;
        for (DWORD i = 0; i < n; ++i)
            if (file[i] == L'\\' || file[i] == L'/')
                base = file + i + 1;
        char utf8[QXLOCK_NAME_SIZE] = {};
        WideCharToMultiByte(CP_UTF8, 0, base, -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
        size_t len = strlen(utf8);
        if (len > 4 && _stricmp(utf8 + len - 4, ".exe") == 0)
            utf8[len - 4] = 0;
        snprintf(name, sizeof name, "%s", utf8[0] ? utf8 : "program");
    }
    return name;
}

int qxlock_take(QxLock *lock, const uint16_t *path, QxLockHolder *holder)
{
    clear(holder);
    if (!lock || !path || !path[0]) {
        if (holder)
            snprintf(holder->problem, sizeof holder->problem, "no device path to lock");
        return 1;
    }
    if (lock->held) {
        if (usbdevs_same_device(lock->path, path))
            return 0;
        qxlock_release(lock);
    }
    wchar_t name[128];
    object_name(path, L"Global\\", name, sizeof name / sizeof name[0]);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    DWORD err = GetLastError();
    if (!mutex && err == ERROR_ACCESS_DENIED) {
        // There, but not ours to open: made by another user's copy or an
        // elevated one, whose lock keeps others out.
        if (holder) {
            holder->held = 1;
            holder->unseen = QXLOCK_UNSEEN_USER;
        }
        return 1;
    }
    if (!mutex) {
        if (holder)
            snprintf(holder->problem, sizeof holder->problem,
                     "cannot make the device's lock: error 0x%lx", (unsigned long)err);
        return 1;
    }
    if (err == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        name_holder(path, holder);
        return 1;
    }
    // The name is only information: a section that cannot be made takes
    // nothing from the lock itself.
    object_name(path, L"Local\\", name, sizeof name / sizeof name[0]);
    HANDLE section =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared), name);
    if (section)
        write_state(section, k_held);
    qxlock_mark_held(lock, path, (intptr_t)mutex);
    lock->name_handle = (intptr_t)section;
    return 0;
}

int qxlock_release(QxLock *lock)
{
    if (!lock || !lock->held)
        return 0;
    HANDLE section = (HANDLE)lock->name_handle;
    if (section) {
        // Nobody's name stays behind for a reader that still has it open.
        write_state(section, 0);
        CloseHandle(section);
    }
    CloseHandle((HANDLE)lock->handle);
    lock->held = 0;
    lock->handle = 0;
    lock->name_handle = 0;
    return 0;
}

int qxlock_holder(const uint16_t *path, QxLockHolder *holder)
{
    clear(holder);
    if (!path || !path[0])
        return 1;
    wchar_t name[128];
    object_name(path, L"Global\\", name, sizeof name / sizeof name[0]);
    QxLockHolder found = {};
    found.held = 1;
    // The access a take asks for, so that asking and taking agree on whose
    // lock may not be opened.
    HANDLE mutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name);
    if (!mutex) {
        if (GetLastError() != ERROR_ACCESS_DENIED)
            return 1;
        found.unseen = QXLOCK_UNSEEN_USER;
    } else {
        CloseHandle(mutex);
        if (!read_named_holder(path, &found)) {
            // Unnamed: a lock being taken or given back, or one that another
            // reader keeps open; or one of another session if it stays.
            qx_sleep_ms(QXLOCK_NAME_PAUSE_MS);
            if (!read_named_holder(path, &found)) {
                mutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name);
                if (!mutex)
                    return 1;
                CloseHandle(mutex);
                found.unseen = QXLOCK_UNSEEN_SESSION;
            }
        }
    }
    if (holder)
        *holder = found;
    return 0;
}
