/* Putting an INF's contents onto the machine: one install section with its
 * services section, and a driver for a hardware ID, creating the root device
 * "MPIO" when no device carries the ID yet. */
#include "common/common.h"
#include "device/device.h"
#include "frontend/log.h"

#define ROOT_DEVICE_NAME TEXT("MPIO")

DWORD InstallInfSection(const WCHAR *infPath, const WCHAR *sectionName)
{
    HINF inf;
    PVOID queueContext;
    WCHAR servicesSection[PATH_BUFFER_UNITS] = {};
    DWORD result = ERROR_SUCCESS;

    inf = SetupOpenInfFileW(infPath, NULL, INF_STYLE_WIN4, NULL);
    if (inf == INVALID_HANDLE_VALUE) {
        result = GetLastError();
        goto report;
    }

    /* No owner and no progress display: the run is unattended. */
    queueContext = SetupInitDefaultQueueCallbackEx(NULL, (HWND)INVALID_HANDLE_VALUE, 0, 0, NULL);
    if (queueContext == NULL) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        goto cleanupInf;
    }

    /* Files and registry entries only; an older file on the machine is
     * replaced, a newer one kept. */
    if (!SetupInstallFromInfSectionW(NULL, inf, sectionName, SPINST_FILES | SPINST_REGISTRY, NULL, NULL,
                                     SP_COPY_FORCE_NEWER, SetupDefaultQueueCallbackW, queueContext, NULL,
                                     NULL)) {
        result = GetLastError();
        goto cleanupQueue;
    }

    TextCopy(servicesSection, PATH_BUFFER_UNITS, sectionName);
    TextAppend(servicesSection, PATH_BUFFER_UNITS, SERVICES_SUFFIX);
    if (!SetupInstallServicesFromInfSectionW(inf, servicesSection, 0))
        result = GetLastError();

cleanupQueue:
    SetupTermDefaultQueueCallback(queueContext);
cleanupInf:
    SetupCloseInfFile(inf);
report:
    if (result != ERROR_SUCCESS)
        return LogFailure(LOG_FAILURE, result);
    LogMessage(TEXT("Success\n"));
    return ERROR_SUCCESS;
}

/* Creates and registers a root-enumerated device of the INF's setup class
 * carrying the hardware ID.  A device element that was created but not
 * registered is taken away again. */
static DWORD CreateRootDevice(const WCHAR *infPath, const WCHAR *hardwareId)
{
    GUID classGuid = {};
    WCHAR className[MAX_CLASS_NAME_LEN] = {};
    HDEVINFO set;
    SP_DEVINFO_DATA device = {};
    WCHAR hardwareIds[HARDWARE_ID_UNITS] = {};
    DWORD propertyBytes;
    DWORD result = ERROR_SUCCESS;

    if (!SetupDiGetINFClassW(infPath, &classGuid, className, MAX_CLASS_NAME_LEN, NULL))
        return GetLastError();

    set = SetupDiCreateDeviceInfoList(&classGuid, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return LogFailure(TEXT("F SDiCDIL."), GetLastError());

    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoW(set, ROOT_DEVICE_NAME, &classGuid, NULL, NULL, DICD_GENERATE_ID, &device)) {
        result = LogFailure(TEXT("F SDiCDI."), GetLastError());
        goto cleanupSet;
    }

    /* A one-entry list: at most HARDWARE_ID_UNITS - 2 units of the ID, so
     * that its terminator and the list's both fit. */
    TextCopy(hardwareIds, HARDWARE_ID_UNITS - 1, hardwareId);
    propertyBytes = (DWORD)((TextLength(hardwareIds) + 2) * sizeof(WCHAR));
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE *)hardwareIds,
                                           propertyBytes)) {
        result = LogFailure(TEXT("F SDiSDRP."), GetLastError());
        goto cleanupDevice;
    }

    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        result = LogFailure(TEXT("F SDiCCI."), GetLastError());
        goto cleanupDevice;
    }
    goto cleanupSet;

cleanupDevice:
    /* Best effort: the failure being reported is the one above. */
    SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
cleanupSet:
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

DWORD InstallRootDevice(const WCHAR *infPath, const WCHAR *hardwareId, INT force, INT *rebootFlag)
{
    BOOL rebootNeeded = FALSE;
    DWORD result = ERROR_SUCCESS;

    if (UpdateDriverForPlugAndPlayDevicesW(NULL, hardwareId, infPath, force != 0 ? INSTALLFLAG_FORCE : 0,
                                           &rebootNeeded))
        goto success;
    result = LogFailure(TEXT("F UDPNPD."), GetLastError());
    /* The code decides: no device with the ID means create one; no code at
     * all means the platform reported nothing wrong. */
    if (result != ERROR_NO_SUCH_DEVINST) {
        if (result != ERROR_SUCCESS)
            goto failure;
        goto success;
    }

    result = CreateRootDevice(infPath, hardwareId);
    if (result != ERROR_SUCCESS)
        goto failure;

    /* Never forced: the device was made for this driver. */
    if (!UpdateDriverForPlugAndPlayDevicesW(NULL, hardwareId, infPath, 0, &rebootNeeded)) {
        result = LogFailure(TEXT("F UDPNPD2."), GetLastError());
        if (result != ERROR_SUCCESS)
            goto failure;
    }

success:
    if (*rebootFlag == 0)
        *rebootFlag = rebootNeeded != FALSE ? 1 : 0;
    LogMessage(TEXT("\nSuccess %s\n"), rebootNeeded != FALSE ? REBOOT_TEXT : NO_REBOOT_TEXT);
    return ERROR_SUCCESS;

failure:
    return LogFailure(TEXT("\n") LOG_FAILURE, result);
}
