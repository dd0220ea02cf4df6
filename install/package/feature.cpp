/* Switches the system's multipath feature through its servicing tool.  Its
 * progress and outcome lines go to the console only; the error text of a
 * failure also reaches the log. */
#include "frontend/log.h"
#include "package/package.h"

#define FEATURE_COMMAND_UNITS 260

DWORD ReportFeatureFailure(DWORD code)
{
    wprintf(LOG_FAILURE);
    LogErrorText(code);
    return code;
}

DWORD RunMultipathFeatureCommand(BOOL enable, INT *rebootFlag)
{
    WCHAR command[FEATURE_COMMAND_UNITS] = {};
    int status;

    TextFormat(command, FEATURE_COMMAND_UNITS, TEXT("DISM.exe /online /norestart /%s-feature:MultipathIo"),
               enable ? TEXT("enable") : TEXT("disable"));

    if (enable)
        wprintf(LOG_INSTALLING_FEATURE);
    else
        wprintf(LOG_UNINSTALLING_FEATURE);

    /* Blocks until the tool ends; -1 when no interpreter could start. */
    status = _wsystem(command);
    if (status == ERROR_SUCCESS_REBOOT_REQUIRED) {
        *rebootFlag = 1;
        status = 0;
    }
    if (status != 0)
        return ReportFeatureFailure((DWORD)status);
    return ERROR_SUCCESS;
}
