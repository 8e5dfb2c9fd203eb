/* A taskkill.exe planted beside a program or in the current folder: it
   ends nothing, leaves a mark beside itself and exits with 42, so that a
   test sees whether it ran. */
#include <windows.h>

int main(void)
{
    wchar_t path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 43;
    lstrcatW(path, L".ran");
    HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (mark != INVALID_HANDLE_VALUE)
        CloseHandle(mark);
    return 42;
}
