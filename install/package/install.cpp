/* Install sequence: the MPIO bus driver, the DSM and the MPIO disk driver
 * (or, from major version 6 on, the operating system's multipath feature and
 * the DSM), then a restart of the SCSI adapters when no reboot is pending. */
#include "package/package.h"
#include "device/device.h"
#include "frontend/log.h"

DWORD InstallDiskDriver(const WCHAR *infPath, INT *rebootFlag)
{
    BOOL reboot = FALSE;
    WCHAR *block = NULL;
    MULTISZ_VIEW list;
    DWORD result;

    if (!SetupCopyOEMInfW(infPath, NULL, SPOST_PATH, 0, NULL, 0, NULL, NULL)) {
        result = GetLastError();
        goto report;
    }
    /* Without a supported-device list the disk driver is not installed. */
    result = ReadSupportedDeviceList(&block, &list);
    if (result != ERROR_SUCCESS)
        goto cleanupList;

    result = EnumDiskDrives(ClaimDiskCallback, &list, &reboot);
    if (result == ERROR_SUCCESS &&
        !UpdateDriverForPlugAndPlayDevicesW(NULL, MPIO_DISK_HARDWARE_ID, infPath, 0, &reboot)) {
        result = GetLastError();
        /* No disk carries "MPIODisk": nothing was claimed, now or before. */
        if (result == ERROR_NO_SUCH_DEVINST)
            result = ERROR_SUCCESS;
    }

cleanupList:
    if (block != NULL)
        LocalFree(block);
report:
    return LogStepOutcome(result, reboot, rebootFlag);
}

/* Major version 5 or lower: bus driver, DSM and disk driver from the package. */
static DWORD InstallPackageComponents(WCHAR *infPath, const WCHAR *sourcePath, const WCHAR *dsmInf,
                                      const WCHAR *dsmHwid, INT *rebootFlag)
{
    DWORD result;

    ComposeInfPath(infPath, sourcePath, MPIO_INF_NAME);
    LogMessage(LOG_INSTALLING_BUS);
    result = InstallRootDevice(infPath, MpioBusHardwareId, 0, rebootFlag);
    if (result != ERROR_SUCCESS)
        return result;

    ComposeInfPath(infPath, sourcePath, dsmInf);
    LogMessage(LOG_INSTALLING_DSM);
    result = InstallRootDevice(infPath, dsmHwid, 1, rebootFlag);
    if (result != ERROR_SUCCESS)
        return result;

    ComposeInfPath(infPath, sourcePath, MPDEV_INF_NAME);
    LogMessage(LOG_INSTALLING_DISK_DRIVER);
    return InstallDiskDriver(infPath, rebootFlag);
}

/* Major version 6 or higher: the multipath feature when the MPIO bus device
 * is not there yet, then the DSM. */
static DWORD InstallFeatureAndDsm(WCHAR *infPath, const WCHAR *sourcePath, const WCHAR *dsmInf,
                                  const WCHAR *dsmHwid, INT *rebootFlag)
{
    INT found = 0;
    DWORD result;

    result = EnumClassDevices(&GUID_DEVCLASS_SCSIADAPTER, FindDeviceCallback, (PVOID)MpioBusHardwareId, &found);
    if (result != ERROR_SUCCESS)
        return result;
    if (found == 0) {
        result = RunMultipathFeatureCommand(TRUE, rebootFlag);
        if (result != ERROR_SUCCESS)
            return result;
        wprintf(TEXT("Success %ls\n"), *rebootFlag != 0 ? FEATURE_REBOOT_TEXT : NO_REBOOT_TEXT);
    }

    ComposeInfPath(infPath, sourcePath, dsmInf);
    LogMessage(LOG_INSTALLING_DSM);
    return InstallRootDevice(infPath, dsmHwid, 1, rebootFlag);
}

DWORD InstallPackage(const WCHAR *sourcePath, const WCHAR *dsmInf, const WCHAR *dsmHwid, INT *rebootFlag)
{
    WCHAR infPath[PATH_BUFFER_UNITS] = {};
    DWORD result;

    *rebootFlag = 0;
    result = ValidateSourcePath(sourcePath);
    if (result != ERROR_SUCCESS)
        return result;

    if (OsVersion.dwMajorVersion <= 5)
        result = InstallPackageComponents(infPath, sourcePath, dsmInf, dsmHwid, rebootFlag);
    else
        result = InstallFeatureAndDsm(infPath, sourcePath, dsmInf, dsmHwid, rebootFlag);
    if (result != ERROR_SUCCESS)
        return result;

    /* With a reboot pending the adapters are left alone: the reboot restarts them. */
    if (*rebootFlag != 0)
        return ERROR_SUCCESS;
    LogMessage(LOG_RESTARTING_ADAPTERS);
    return RestartScsiAdapters(rebootFlag);
}
