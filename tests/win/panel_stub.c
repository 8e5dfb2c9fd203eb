/* Stands in for the device maker's settings panel: runs until it is ended.
   With "--guard EVENT" it cannot be ended by others, as a panel started as
   administrator cannot by a normal user (its process denies
   PROCESS_TERMINATE to everyone), sets the event EVENT-ready once it is
   so, and ends itself once EVENT is set, or after two minutes at the
   latest. */
#include <windows.h>

#include <aclapi.h>
#include <string.h>
#include <wchar.h>

static int guard(void)
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = NULL;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        return 0;
    EXPLICIT_ACCESSW access[2];
    memset(access, 0, sizeof access);
    access[0].grfAccessPermissions = PROCESS_TERMINATE;
    access[0].grfAccessMode = DENY_ACCESS;
    access[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access[0].Trustee.ptstrName = (LPWSTR)everyone;
    access[1] = access[0];
    access[1].grfAccessPermissions = PROCESS_ALL_ACCESS & ~PROCESS_TERMINATE;
    access[1].grfAccessMode = GRANT_ACCESS;
    PACL acl = NULL;
    int ok = SetEntriesInAclW(2, access, NULL, &acl) == ERROR_SUCCESS &&
             SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL,
                             NULL, acl, NULL) == ERROR_SUCCESS;
    LocalFree(acl);
    FreeSid(everyone);
    return ok;
}

int main(void)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc == 3 && wcscmp(argv[1], L"--guard") == 0) {
        wchar_t ready_name[MAX_PATH];
        if (wcslen(argv[2]) + 7 >= MAX_PATH)
            return 2;
        wcscpy(ready_name, argv[2]);
        wcscat(ready_name, L"-ready");
        HANDLE end = CreateEventW(NULL, TRUE, FALSE, argv[2]);
        HANDLE ready = CreateEventW(NULL, TRUE, FALSE, ready_name);
        if (!end || !ready || !guard())
            return 2;
        SetEvent(ready);
        WaitForSingleObject(end, 120000);
        return 0;
    }
    Sleep(INFINITE);
    return 0;
}
