/* Uninstall sequence: the DSM first, then as much of the multipath base as
 * the supported-device list, read again afterwards, allows. */
#include "package/package.h"
#include "device/device.h"
#include "frontend/log.h"
#include "registry/registry.h"


/* Takes the strings that the INF's DelReg section names out of the value
 * read before its uninstall section ran, and stores the value again as a
 * closed multi-string, whatever form it was stored in. */
static DWORD ApplyDelRegStrings(const WCHAR *infPath, INT kind, WCHAR **value, DWORD *size)
{
    WCHAR *sectionName = NULL;
    DWORD result;

    result = ReadDelRegSectionName(infPath, &sectionName);
    if (result != ERROR_SUCCESS)
        goto cleanupName;
    if (sectionName[0] == 0) {
        result = ERROR_INVALID_DATA;
        goto cleanupName;
    }
    result = RemoveDelRegStrings(infPath, sectionName, kind, value, size);
    if (result != ERROR_SUCCESS)
        goto cleanupName;
    result = CloseMultiSzList(value, size);
    if (result != ERROR_SUCCESS)
        goto cleanupName;
    result = WriteMultiSzValue(kind, *value, *size);

cleanupName:
    if (sectionName != NULL)
        LocalFree(sectionName);
    return result;
}

DWORD UninstallComponent(const WCHAR *infPath, const WCHAR *hardwareId, INT kind, INT *rebootFlag)
{
    GUID classGuid = {};
    WCHAR className[MAX_CLASS_NAME_LEN] = {};
    INT restart = 0;
    BOOL cleanUp = TRUE;
    WCHAR *value = NULL;
    DWORD size = 0;
    DWORD result;

    if (!SetupDiGetINFClassW(infPath, &classGuid, className, MAX_CLASS_NAME_LEN, NULL)) {
        result = GetLastError();
        goto report;
    }
    result = EnumClassDevices(&classGuid, RemoveDeviceCallback, (PVOID)hardwareId, &restart);
    if (result != ERROR_SUCCESS)
        goto report;

    /* Only the oldest systems leave the DelReg string deletions undone.  The
     * value is read before the section runs, since only the write-back below
     * takes the strings out; one that cannot be read fails the step while
     * nothing is changed yet, and one that does not exist needs no clean-up. */
    if (OsVersion.dwMajorVersion > 5 || (OsVersion.dwMajorVersion == 5 && OsVersion.dwMinorVersion != 0))
        cleanUp = FALSE;
    if (cleanUp) {
        result = ReadMultiSzValue(kind, &value, &size);
        if (result == ERROR_FILE_NOT_FOUND) {
            cleanUp = FALSE;
            result = ERROR_SUCCESS;
        }
        if (result != ERROR_SUCCESS)
            goto cleanupValue;
    }

    result = InstallInfSection(infPath, UNINSTALL_SECTION);
    if (result == ERROR_SUCCESS && cleanUp && value != NULL)
        result = ApplyDelRegStrings(infPath, kind, &value, &size);

cleanupValue:
    if (value != NULL)
        LocalFree(value);
report:
    return LogStepOutcome(result, restart, rebootFlag);
}

DWORD UninstallDiskDriver(const WCHAR *infPath, const MULTISZ_VIEW *list, INT *rebootFlag)
{
    INT restart = 0;
    DWORD result;

    result = EnumDiskDrives(ReleaseDiskCallback, list, &restart);
    /* While the list has entries the disk driver stays. */
    if (result == ERROR_SUCCESS && MultiSzViewIsEmpty(list))
        result = InstallInfSection(infPath, UNINSTALL_SECTION);
    return LogStepOutcome(result, restart, rebootFlag);
}

/* Major version 6 or higher with no supported devices left: switches the
 * multipath feature off when the MPIO bus device exists and checks that the
 * device is gone or going.  Its lines go to the console only. */
static DWORD SwitchOffMultipathFeature(INT *rebootFlag)
{
    INT found = 0;
    ULONG status = 0;
    ULONG problem = 0;
    DWORD result;

    result = EnumClassDevices(&GUID_DEVCLASS_SCSIADAPTER, FindDeviceCallback, (PVOID)MpioBusHardwareId, &found);
    if (result != ERROR_SUCCESS || found == 0)
        return result;
    result = RunMultipathFeatureCommand(FALSE, rebootFlag);
    if (result != ERROR_SUCCESS)
        return result;
    if (*rebootFlag != 0) {
        wprintf(TEXT("Success %ls\n"), FEATURE_REBOOT_TEXT);
        return ERROR_SUCCESS;
    }

    /* Fresh answer: the outcome is read from FoundDevInst. */
    found = 0;
    FoundDevInst = 0;
    result = EnumClassDevices(&GUID_DEVCLASS_SCSIADAPTER, FindDeviceCallback, (PVOID)MpioBusHardwareId, &found);
    if (result != ERROR_SUCCESS)
        return ReportFeatureFailure(result);
    if (FoundDevInst == 0) {
        wprintf(TEXT("Success %ls\n"), NO_REBOOT_TEXT);
        return ERROR_SUCCESS;
    }
    if (CM_Get_DevNode_Status(&status, &problem, FoundDevInst, 0) == CR_SUCCESS &&
        (status & DN_WILL_BE_REMOVED) != 0) {
        *rebootFlag = 1;
        wprintf(TEXT("Success %ls\n"), FEATURE_REBOOT_TEXT);
        return ERROR_SUCCESS;
    }
    return ReportFeatureFailure(ERROR_GEN_FAILURE);
}

/* Removes the base as far as the list allows; 'list' may be NULL. */
static DWORD UninstallBase(const WCHAR *sourcePath, const MULTISZ_VIEW *list, INT *rebootFlag)
{
    WCHAR infPath[PATH_BUFFER_UNITS] = {};
    BOOL listEmpty = MultiSzViewIsEmpty(list);
    INT walkFlag = 0;
    DWORD result;

    if (OsVersion.dwMajorVersion <= 5) {
        ComposeInfPath(infPath, sourcePath, MPDEV_INF_NAME);
        LogMessage(LOG_UNINSTALLING_DISK_DRIVER);
        result = UninstallDiskDriver(infPath, list, rebootFlag);
        if (result != ERROR_SUCCESS || !listEmpty)
            return result;
        ComposeInfPath(infPath, sourcePath, MPIO_INF_NAME);
        LogMessage(LOG_UNINSTALLING_BUS);
        return UninstallComponent(infPath, MpioBusHardwareId, MULTISZ_UPPER_FILTERS, rebootFlag);
    }

    LogMessage(LOG_REBUILDING_STACK);
    result = EnumDiskDrives(ReleaseDiskCallback, list, &walkFlag);
    if (result != ERROR_SUCCESS)
        return result;
    if (*rebootFlag == 0)
        *rebootFlag = walkFlag;
    LogMessage(TEXT("Success %s\n"), *rebootFlag != 0 ? REBOOT_TEXT : NO_REBOOT_TEXT);
    if (!listEmpty)
        return ERROR_SUCCESS;
    return SwitchOffMultipathFeature(rebootFlag);
}

DWORD UninstallPackage(const WCHAR *sourcePath, const WCHAR *dsmInf, const WCHAR *dsmHwid, INT *rebootFlag)
{
    WCHAR infPath[PATH_BUFFER_UNITS] = {};
    WCHAR *block = NULL;
    MULTISZ_VIEW list;
    DWORD result;

    *rebootFlag = 0;
    result = ValidateSourcePath(sourcePath);
    if (result != ERROR_SUCCESS)
        goto report;

    ComposeInfPath(infPath, sourcePath, dsmInf);
    LogMessage(LOG_UNINSTALLING_DSM);
    result = UninstallComponent(infPath, dsmHwid, MULTISZ_SUPPORTED_DEVICES, rebootFlag);
    if (result != ERROR_SUCCESS)
        goto report;

    result = ReadSupportedDeviceList(&block, &list);
    /* No list at all counts as an empty one. */
    if (result == ERROR_FILE_NOT_FOUND)
        result = UninstallBase(sourcePath, NULL, rebootFlag);
    else if (result == ERROR_SUCCESS)
        result = UninstallBase(sourcePath, &list, rebootFlag);

    if (block != NULL)
        LocalFree(block);
report:
    if (result != ERROR_SUCCESS)
        return LogFailure(LOG_FAILURE, result);
    return ERROR_SUCCESS;
}
