// The history's Windows parts: %LOCALAPPDATA%, LockFileEx, the version.
#include "updatehistory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <windows.h>

#include "qxsys.h"

namespace updatehistory
{

namespace
{
std::string narrow(const wchar_t *text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string s((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &s[0], n, nullptr, nullptr);
    s.resize((size_t)n - 1);
    return s;
}

std::string error_text(DWORD code)
{
    return "Windows error " + std::to_string((unsigned long)code);
}
} // namespace

std::string platform_state_base()
{
    const wchar_t *local = _wgetenv(L"LOCALAPPDATA");
    return local && *local ? narrow(local) : "";
}

int platform_make_dirs(const std::string &folder, std::string *problem)
{
    for (size_t at = 1; at <= folder.size(); ++at) {
        if (at < folder.size() && folder[at] != '/' && folder[at] != '\\')
            continue;
        std::string part = folder.substr(0, at);
        if (part.size() == 2 && part[1] == ':')
            continue;
        if (!CreateDirectoryW(qx_wide(part.c_str()).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            *problem = part + ": " + error_text(GetLastError());
            return 1;
        }
    }
    return 0;
}

intptr_t platform_lock(const std::string &path, std::string *problem)
{
    HANDLE h = CreateFileW(qx_wide(path.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *problem = path + ": " + error_text(GetLastError());
        return -1;
    }
    OVERLAPPED at = {};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        *problem = path + ": " + error_text(GetLastError());
        CloseHandle(h);
        return -1;
    }
    return (intptr_t)h;
}

void platform_unlock(intptr_t handle)
{
    if (handle == -1)
        return;
    HANDLE h = (HANDLE)handle;
    OVERLAPPED at = {};
    UnlockFileEx(h, 0, 1, 0, &at);
    CloseHandle(h);
}

std::string platform_os()
{
    // GetVersionEx is told a lie by the manifest; the kernel's own numbers.
    typedef LONG(WINAPI * RtlGetVersionFn)(OSVERSIONINFOW *);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto get = ntdll ? (RtlGetVersionFn)(void *)GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof v;
    if (!get || get(&v) != 0)
        return "Windows";
    return "Windows " + std::to_string((unsigned long)v.dwMajorVersion) + "." +
           std::to_string((unsigned long)v.dwMinorVersion) + "." +
           std::to_string((unsigned long)v.dwBuildNumber);
}

} // namespace updatehistory
