/* The forced reboot offered by the reinstall switch. */
#include "frontend/frontend.h"

INT RebootSystem(void)
{
    HANDLE token = NULL;
    TOKEN_PRIVILEGES privileges = {};
    INT accepted = 0;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return 0;

    LookupPrivilegeValueW(NULL, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    /* The call succeeds on a partial grant too; only the last error tells. */
    if (GetLastError() != ERROR_SUCCESS)
        goto cleanupToken;

    if (ExitWindowsEx(EWX_REBOOT | EWX_FORCE, SHTDN_REASON_FLAG_PLANNED |
                                                  SHTDN_REASON_MAJOR_OPERATINGSYSTEM |
                                                  SHTDN_REASON_MINOR_UPGRADE))
        accepted = 1;

cleanupToken:
    CloseHandle(token);
    return accepted;
}
