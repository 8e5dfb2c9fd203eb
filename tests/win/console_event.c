/* Ends a console program as Windows does when its console window is closed,
 * its user logs off or the system shuts down; Wine itself sends only Ctrl+C
 * and Ctrl+Break.
 *   console_event IMAGE close|logoff|shutdown
 * The console host starts a thread in the program at kernel32's CtrlRoutine
 * with the event, which calls the program's handlers. When that thread
 * returns, or once the system's 5 s are up, the program is terminated
 * (0xC000013A): a handler that wants to finish something must do it before
 * it returns, and end the program itself.
 * Prints how the program ended; exits 0 once it has ended, 1 otherwise. */
#include <windows.h>

#include <stdio.h>
#include <tlhelp32.h>
#include <wchar.h>

/* What the system gives a handler of these events before it ends the
 * program (a console window's close; the hung-application timeout). */
#define SYSTEM_WAIT_MS 5000
#define STATUS_CONTROL_C_EXIT_CODE 0xC000013Au

static DWORD find_process(const wchar_t *image)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W e;
    DWORD pid = 0;
    if (snap == INVALID_HANDLE_VALUE)
        return 0;
    e.dwSize = sizeof e;
    for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e))
        if (_wcsicmp(e.szExeFile, image) == 0)
            pid = e.th32ProcessID;
    CloseHandle(snap);
    return pid;
}

int wmain(int argc, wchar_t **argv)
{
    DWORD event;
    if (argc != 3) {
        fprintf(stderr, "usage: console_event IMAGE close|logoff|shutdown\n");
        return 2;
    }
    if (wcscmp(argv[2], L"close") == 0)
        event = CTRL_CLOSE_EVENT;
    else if (wcscmp(argv[2], L"logoff") == 0)
        event = CTRL_LOGOFF_EVENT;
    else if (wcscmp(argv[2], L"shutdown") == 0)
        event = CTRL_SHUTDOWN_EVENT;
    else {
        fprintf(stderr, "console_event: unknown event %ls\n", argv[2]);
        return 2;
    }
    DWORD pid = find_process(argv[1]);
    if (!pid) {
        fprintf(stderr, "console_event: no process %ls\n", argv[1]);
        return 1;
    }
    HANDLE proc =
        OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                        PROCESS_VM_WRITE | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE,
                    FALSE, pid);
    if (!proc) {
        fprintf(stderr, "console_event: cannot open process %lu: error 0x%lx\n", pid,
                GetLastError());
        return 1;
    }
    /* System libraries lie at one address in every process of a session. */
    LPTHREAD_START_ROUTINE routine = (LPTHREAD_START_ROUTINE)(void *)GetProcAddress(
        GetModuleHandleW(L"kernel32"), "CtrlRoutine");
    if (!routine) {
        fprintf(stderr, "console_event: kernel32 has no CtrlRoutine\n");
        return 1;
    }
    ULONGLONG t0 = GetTickCount64();
    HANDLE thread = CreateRemoteThread(proc, NULL, 0, routine, (LPVOID)(ULONG_PTR)event, 0, NULL);
    if (!thread) {
        fprintf(stderr, "console_event: cannot start the event's thread: error 0x%lx\n",
                GetLastError());
        return 1;
    }
    WaitForSingleObject(thread, SYSTEM_WAIT_MS);
    CloseHandle(thread);
    /* At once, as the system does: a program that ended itself has its
     * status already, and keeps it. */
    TerminateProcess(proc, STATUS_CONTROL_C_EXIT_CODE);
    WaitForSingleObject(proc, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(proc, &code);
    CloseHandle(proc);
    printf("%ls %lu: ended with status %lu after %llu ms\n", argv[1], pid, code,
           (unsigned long long)(GetTickCount64() - t0));
    return 0;
}
