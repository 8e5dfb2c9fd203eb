#include "qxpanel.h"

#include <cstring>
#include <string>
#include <vector>

#include "qxlimits.h"
#include "qxsys.h"

#ifdef _WIN32
#include <windows.h>

#include <tlhelp32.h>
#endif

const char *const qxpanel_kill_args[3] = {"/f", "/im", QXPANEL_PROGRAM};

namespace
{

QxPanelProbe g_probe = nullptr;
void *g_probe_ctx = nullptr;

#ifdef _WIN32
// One argument as the C runtime's parser of the command line reads it back:
// quoted when it holds a space, a tab or a quote, its quotes escaped and the
// backslashes before them doubled.
void append_argument(std::wstring &line, const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == arg.size()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line += arg[i];
    }
    line += L'"';
}
#endif

} // namespace

int qxpanel_taskkill_path(char *buf, size_t cap)
{
    if (!buf || cap == 0)
        return 1;
    buf[0] = 0;
#ifdef _WIN32
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    std::wstring path(dir, n);
    if (path.back() != L'\\')
        path += L'\\';
    path += L"taskkill.exe";
    int len = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, buf, (int)cap, nullptr, nullptr);
    if (len <= 0) {
        buf[0] = 0;
        return 1;
    }
    return 0;
#else
    return 1;
#endif
}

int qxpanel_run(const char *program, const char *const *args, unsigned nargs)
{
#ifdef _WIN32
    if (!program || !*program)
        return -1;
    std::wstring path = qx_wide(program);
    if (path.empty())
        return -1;
    std::wstring line;
    append_argument(line, path);
    for (unsigned i = 0; i < nargs; ++i) {
        line += L' ';
        append_argument(line, qx_wide(args[i]));
    }
    std::vector<wchar_t> writable(line.begin(), line.end());
    writable.push_back(0);
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof pi);
    // The application name given: CreateProcessW then searches nothing. No
    // console window flashes up over the window, and nothing the tool
    // prints reaches ours.
    if (!CreateProcessW(path.c_str(), writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    int result = -2;
    for (uint32_t waited = 0;; waited += QXPANEL_RUN_POLL_MS) {
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            result = (int)code;
            break;
        }
        if (waited >= QXPANEL_RUN_MS || qx_stop_requested()) {
            TerminateProcess(pi.hProcess, 1);
            // The end of a process ended by force is not instant.
            WaitForSingleObject(pi.hProcess, QXPANEL_RUN_POLL_MS);
            break;
        }
        qx_sleep_ms(QXPANEL_RUN_POLL_MS);
    }
    CloseHandle(pi.hProcess);
    return result;
#else
    (void)program;
    (void)args;
    (void)nargs;
    return -1;
#endif
}

int qxpanel_running(void)
{
    if (g_probe)
        return g_probe(g_probe_ctx);
#ifdef _WIN32
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    const std::wstring name = qx_wide(QXPANEL_PROGRAM);
    PROCESSENTRY32W entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    int found = 0;
    if (!Process32FirstW(snapshot, &entry)) {
        found = GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
    } else {
        do {
            if (CompareStringOrdinal(entry.szExeFile, -1, name.c_str(), -1, TRUE) == CSTR_EQUAL) {
                found = 1;
                break;
            }
        } while (Process32NextW(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return found;
#else
    return 0;
#endif
}

void qxpanel_set_probe(QxPanelProbe fn, void *ctx)
{
    g_probe = fn;
    g_probe_ctx = ctx;
}

int qxpanel_wait_gone(void)
{
    int r = 0;
    for (unsigned check = 0; check < QXPANEL_GONE_CHECKS; ++check) {
        if (check > 0)
            qx_sleep_ms(QXPANEL_GONE_PAUSE_MS);
        r = qxpanel_running();
        if (r == 0)
            return 0;
    }
    return r;
}

int qxpanel_end(void)
{
    char path[1024];
    if (qxpanel_taskkill_path(path, sizeof path) == 0)
        (void)qxpanel_run(path, qxpanel_kill_args, 3);
    return qxpanel_wait_gone();
}
