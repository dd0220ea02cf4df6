/* Class-installer requests the device visitors share: removal, restart by a
 * property change, the reinstall mark, and what the device asks for after. */
#include "device/device.h"

DWORD RequestDeviceRemoval(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    SP_REMOVEDEVICE_PARAMS params = {};

    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set, device, &params.ClassInstallHeader, sizeof(params)))
        return GetLastError();
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, device))
        return GetLastError();
    return ERROR_SUCCESS;
}

DWORD RequestDeviceRestart(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    SP_PROPCHANGE_PARAMS params = {};

    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set, device, &params.ClassInstallHeader, sizeof(params)))
        return GetLastError();
    if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, device))
        return GetLastError();
    return ERROR_SUCCESS;
}

DWORD MarkDeviceForReinstall(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    DWORD configFlags = 0;

    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_CONFIGFLAGS, NULL, (PBYTE)&configFlags,
                                           sizeof(configFlags), NULL))
        return GetLastError();
    configFlags |= CONFIGFLAG_REINSTALL;
    if (!SetupDiSetDeviceRegistryPropertyW(set, device, SPDRP_CONFIGFLAGS, (const BYTE *)&configFlags,
                                           sizeof(configFlags)))
        return GetLastError();
    return ERROR_SUCCESS;
}

void ReportRestartNeed(HDEVINFO set, PSP_DEVINFO_DATA device, INT *outFlag)
{
    SP_DEVINSTALL_PARAMS_W installParams = {};

    installParams.cbSize = sizeof(installParams);
    if (SetupDiGetDeviceInstallParamsW(set, device, &installParams) &&
        (installParams.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0)
        *outFlag = 1;
}
