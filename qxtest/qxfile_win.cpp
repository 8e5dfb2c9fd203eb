// Windows side of qxfile: wide paths, CREATE_NEW for the new file,
// FlushFileBuffers before MoveFileExW.
#include "qxfile.h"
#include "qxlimits.h"
#include "qxsys.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace
{

int errno_of(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    default:
        return EIO;
    }
}

// The names Windows keeps for devices in every folder (CON, NUL, COM1, ...),
// with or without an extension, and paths into the device namespace.
bool device_name(const std::string &path)
{
    if (path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "//./") == 0)
        return true;
    size_t slash = path.find_last_of("\\/:");
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    base = base.substr(0, base.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char &c : base)
        c = (char)toupper((unsigned char)c);
    static const char *const names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *n : names)
        if (base == n)
            return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

std::string folder_of(const std::string &path)
{
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    return path.substr(0, slash + 1);
}

std::string base_of(const std::string &path)
{
    size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int qxfile_kind(const char *path, int *err)
{
    if (!path || !*path) {
        *err = ENOENT;
        return QXFILE_ABSENT;
    }
    *err = 0;
    if (device_name(path))
        return QXFILE_CHAR_DEVICE;
    DWORD attr = GetFileAttributesW(qx_wide(path).c_str());
    if (attr == INVALID_FILE_ATTRIBUTES) {
        *err = errno_of(GetLastError());
        return QXFILE_ABSENT;
    }
    return (attr & FILE_ATTRIBUTE_DIRECTORY) ? QXFILE_DIRECTORY : QXFILE_REGULAR;
}

int qxfile_create(QxFileOut *out, const char *path, std::string *problem)
{
    out->file = nullptr;
    out->target = path ? path : "";
    out->temp.clear();
    out->error = 0;
    int err = 0;
    int kind = qxfile_kind(path, &err);
    if (kind == QXFILE_ABSENT && err != ENOENT) {
        *problem = strerror(err);
        return 1;
    }
    if (kind != QXFILE_ABSENT && kind != QXFILE_REGULAR) {
        return qxfile_refuse_kind(kind, problem);
    }
    static std::atomic<unsigned> counter{0};
    const std::string prefix = folder_of(out->target) + "." + base_of(out->target) + ".tmp-";
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD code = 0;
    for (int tries = 0; h == INVALID_HANDLE_VALUE && tries < 100; ++tries) {
        out->temp = prefix + std::to_string((unsigned long)GetCurrentProcessId()) + "-" +
                    std::to_string(counter.fetch_add(1));
        h = CreateFileW(qx_wide(out->temp.c_str()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        code = GetLastError();
        if (h == INVALID_HANDLE_VALUE && code != ERROR_FILE_EXISTS)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        *problem = strerror(errno_of(code));
        out->temp.clear();
        errno = errno_of(code);
        return 1;
    }
    int fd = _open_osfhandle((intptr_t)h, _O_WRONLY | _O_BINARY);
    out->file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (!out->file) {
        *problem = strerror(EIO);
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(h);
        qxfile_discard(out);
        return 1;
    }
    return 0;
}

int qxfile_sync(FILE *file)
{
    return FlushFileBuffers((HANDLE)_get_osfhandle(_fileno(file))) ? 0 : errno_of(GetLastError());
}

int qxfile_rename(const QxFileOut *out, std::string *why)
{
    const std::wstring from = qx_wide(out->temp.c_str());
    const std::wstring to = qx_wide(out->target.c_str());
    for (int tries = 1;; ++tries) {
        if (MoveFileExW(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        DWORD code = GetLastError();
        const bool held = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
                          code == ERROR_LOCK_VIOLATION;
        if (!held || tries >= QXFILE_REPLACE_TRIES) {
            if (held)
                *why = " (another program may have it open, or it is read-only)";
            return errno_of(code);
        }
        qx_sleep_ms(QXFILE_REPLACE_PAUSE_MS);
    }
}

void qxfile_sync_folder(const std::string &) {}
