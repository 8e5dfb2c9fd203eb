// Ending the settings panel on Windows' own processes (under Wine): the
// system's taskkill.exe by its full path ends a stand-in panel while the
// copies planted in the program's folder and the current folder stay
// unrun; the process list finds a panel that survives; the runner ends a
// program that does not end, at its bound in virtual time; qxtool.exe
// update does the same from a folder of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "qxlimits.h"
#include "qxpanel.h"
#ifdef QXTOOL_PATH
#include "qxtool.h"
#endif
#include "testkit.h"

namespace
{

std::wstring wide(const char *utf8)
{
    wchar_t buf[MAX_PATH * 2];
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, buf, MAX_PATH * 2);
    return n > 0 ? std::wstring(buf) : std::wstring();
}

bool exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The stand-in panel, ended at the latest when the case ends. A guarded
// one denies everyone the right to end it, as one started as administrator
// does a normal user, and ends itself when told.
struct Panel {
    PROCESS_INFORMATION pi{};
    HANDLE end = nullptr;
    HANDLE ready = nullptr;
    bool started = false;
    explicit Panel(bool guarded = false)
    {
        std::wstring line = L"\"" + wide(QX_PANEL_STUB_PATH) + L"\"";
        if (guarded) {
            std::wstring name = L"qx-panel-end-" + std::to_wstring(GetCurrentProcessId());
            end = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
            ready = CreateEventW(nullptr, TRUE, FALSE, (name + L"-ready").c_str());
            line += L" --guard " + name;
        }
        // No standard handles: a stand-in that outlives the case must not
        // hold the test's output open.
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        started = CreateProcessW(wide(QX_PANEL_STUB_PATH).c_str(), &line[0], nullptr, nullptr,
                                 FALSE, 0, nullptr, nullptr, &si, &pi);
        if (started)
            CloseHandle(pi.hThread);
        // Listed from its creation on; guarded once it says so.
        if (started && ready)
            started = WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0;
    }
    bool ended(DWORD ms) const { return WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0; }
    ~Panel()
    {
        if (end)
            SetEvent(end);
        if (started && !ended(0))
            TerminateProcess(pi.hProcess, 1);
        if (started) {
            ended(20000);
            CloseHandle(pi.hProcess);
        }
        if (end)
            CloseHandle(end);
        if (ready)
            CloseHandle(ready);
    }
};

TEST(Panel, TaskkillIsTheSystemFoldersOwn)
{
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    ASSERT_GT(n, 0u);
    char path[1024];
    ASSERT_EQ(0, qxpanel_taskkill_path(path, sizeof path));
    EXPECT_EQ(std::wstring(dir, n) + L"\\taskkill.exe", wide(path));
    EXPECT_TRUE(exists(wide(path)));
}

// The bound of the runner, in virtual time: a program that never ends is
// looked at every QXPANEL_RUN_POLL_MS and ended after QXPANEL_RUN_MS.
TEST(Panel, RunnerEndsAProgramAtItsBound)
{
    {
        VirtualClock clock;
        EXPECT_EQ(-2, qxpanel_run(QX_PANEL_STUB_PATH, qxpanel_kill_args, 3));
        EXPECT_EQ((uint64_t)QXPANEL_RUN_MS, clock.now_ms());
        EXPECT_EQ(std::vector<uint32_t>(QXPANEL_RUN_MS / QXPANEL_RUN_POLL_MS, QXPANEL_RUN_POLL_MS),
                  clock.sleeps());
    }
    // Ended, not left behind.
    EXPECT_EQ(0, qxpanel_wait_gone());
    // One that ends gives its exit code; one that is not there, -1.
    std::wstring mark = wide(QX_PLANTED_TASKKILL_PATH) + L".ran";
    DeleteFileW(mark.c_str());
    EXPECT_EQ(42, qxpanel_run(QX_PLANTED_TASKKILL_PATH, nullptr, 0));
    EXPECT_TRUE(exists(mark));
    DeleteFileW(mark.c_str());
    EXPECT_EQ(-1, qxpanel_run("C:\\no-such-folder\\taskkill.exe", qxpanel_kill_args, 3));
}

// A panel that outlives the system's taskkill.exe is found by the whole
// step; the look for it is pinned in virtual time.
TEST(Panel, ASurvivorIsFound)
{
    Panel panel(true);
    ASSERT_TRUE(panel.started);
    ASSERT_EQ(1, qxpanel_running());
    EXPECT_EQ(1, qxpanel_end());
    EXPECT_FALSE(panel.ended(0));
    VirtualClock clock;
    EXPECT_EQ(1, qxpanel_wait_gone());
    EXPECT_EQ((uint64_t)(QXPANEL_GONE_CHECKS - 1) * QXPANEL_GONE_PAUSE_MS, clock.now_ms());
}

// The whole step, with a taskkill.exe planted in this program's folder
// and in the current folder: the system's ends the panel, and neither
// planted one runs (each would leave its mark and end nothing).
TEST(Panel, SystemTaskkillEndsThePanelAndAPlantedOneIsNotRun)
{
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    std::wstring own_dir(self, n);
    own_dir.resize(own_dir.rfind(L'\\'));
    TempDir cwd;
    ASSERT_TRUE(cwd.ok());
    wchar_t saved[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
    const std::wstring planted[] = {own_dir + L"\\taskkill.exe",
                                    cwd.path().wstring() + L"\\taskkill.exe"};
    for (const std::wstring &path : planted) {
        DeleteFileW((path + L".ran").c_str());
        ASSERT_TRUE(CopyFileW(wide(QX_PLANTED_TASKKILL_PATH).c_str(), path.c_str(), FALSE));
    }
    ASSERT_TRUE(SetCurrentDirectoryW(cwd.path().wstring().c_str()));

    Panel panel;
    ASSERT_TRUE(panel.started);
    ASSERT_EQ(1, qxpanel_running());
    int r = qxpanel_end();

    SetCurrentDirectoryW(saved);
    for (const std::wstring &path : planted) {
        EXPECT_FALSE(exists(path + L".ran")) << "a planted taskkill.exe ran";
        DeleteFileW((path + L".ran").c_str());
        DeleteFileW(path.c_str());
    }
    EXPECT_EQ(0, r);
    EXPECT_TRUE(panel.ended(0));
}

#ifdef QXTOOL_PATH
// A program's exit code, started in cwd; -1 when it could not start.
int run(const std::wstring &program, const std::wstring &args, const std::wstring &cwd)
{
    std::wstring line = L"\"" + program + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES; // nothing it starts keeps the test's output
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, cwd.c_str(), &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    return (int)code;
}

// qxtool.exe update, unpacked into a folder beside a planted taskkill.exe
// and started in another that holds one too: the system's tool ends the
// panel (then no device: 4); a panel that survives it refuses with 6.
TEST(Panel, QxtoolUpdateEndsThePanelOrRefuses)
{
    TempDir app, cwd;
    ASSERT_TRUE(app.ok() && cwd.ok());
    const std::wstring tool = app.path().wstring() + L"\\qxtool.exe";
    ASSERT_TRUE(CopyFileW(wide(QXTOOL_PATH).c_str(), tool.c_str(), FALSE));
    const std::wstring planted[] = {app.path().wstring() + L"\\taskkill.exe",
                                    cwd.path().wstring() + L"\\taskkill.exe"};
    for (const std::wstring &path : planted)
        ASSERT_TRUE(CopyFileW(wide(QX_PLANTED_TASKKILL_PATH).c_str(), path.c_str(), FALSE));
    {
        Panel panel;
        ASSERT_TRUE(panel.started);
        EXPECT_EQ(QXTOOL_NO_DEVICE, run(tool, L"update --yes", cwd.path().wstring()));
        EXPECT_TRUE(panel.ended(0));
    }
    for (const std::wstring &path : planted)
        EXPECT_FALSE(exists(path + L".ran")) << "a planted taskkill.exe ran";
    Panel guarded(true);
    ASSERT_TRUE(guarded.started);
    EXPECT_EQ(QXTOOL_BUSY, run(tool, L"update --yes", cwd.path().wstring()));
    EXPECT_FALSE(guarded.ended(0));
}
#endif

} // namespace
