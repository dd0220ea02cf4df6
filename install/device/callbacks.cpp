/* Device visitors that act on a device by its hardware IDs: removal, lookup
 * and restart, and the restart of every SCSI adapter. */
#include "common/common.h"
#include "device/device.h"
#include "frontend/log.h"

DWORD ReadHardwareIds(HDEVINFO set, PSP_DEVINFO_DATA device, WCHAR *buffer, MULTISZ_VIEW *ids)
{
    size_t i;

    for (i = 0; i < HARDWARE_ID_UNITS; i++)
        buffer[i] = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, NULL, (PBYTE)buffer,
                                           HARDWARE_ID_UNITS * sizeof(WCHAR), NULL))
        return GetLastError();
    /* The whole buffer: units the read did not fill are still clear. */
    MultiSzViewInit(ids, buffer, HARDWARE_ID_UNITS * sizeof(WCHAR));
    return ERROR_SUCCESS;
}

BOOL HasHardwareId(const MULTISZ_VIEW *ids, const WCHAR *hardwareId)
{
    MULTISZ_ENTRY id;

    return MultiSzViewFindNoCase(ids, hardwareId, &id);
}

DWORD RemoveDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID hardwareId, INT *outFlag)
{
    WCHAR buffer[HARDWARE_ID_UNITS];
    MULTISZ_VIEW ids;
    DWORD result;

    result = ReadHardwareIds(set, device, buffer, &ids);
    if (result != ERROR_SUCCESS)
        return result;
    if (!HasHardwareId(&ids, (const WCHAR *)hardwareId))
        return ERROR_SUCCESS;

    result = RequestDeviceRemoval(set, device);
    if (result == ERROR_SUCCESS) {
        ReportRestartNeed(set, device, outFlag);
        return ERROR_SUCCESS;
    }
    /* A device that cannot be removed now goes at the next reboot. */
    if (result == ERROR_NOT_DISABLEABLE) {
        *outFlag = 1;
        return ERROR_SUCCESS;
    }
    return result;
}

DWORD FindDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID hardwareId, INT *outFlag)
{
    WCHAR buffer[HARDWARE_ID_UNITS];
    MULTISZ_VIEW ids;
    INT found = 0;
    DWORD result;

    result = ReadHardwareIds(set, device, buffer, &ids);
    if (result == ERROR_SUCCESS && HasHardwareId(&ids, (const WCHAR *)hardwareId)) {
        FoundDevInst = device->DevInst;
        found = 1;
    }
    if (outFlag != NULL)
        *outFlag = found;
    return result;
}

/* Logs the device's hardware IDs up to the MPIO bus device's own; TRUE when
 * it is among them. */
static BOOL LogIdsUpToBusDevice(const MULTISZ_VIEW *ids)
{
    /* One ID with a terminator: the last entry may have none. */
    WCHAR loggedId[HARDWARE_ID_UNITS + 1];
    MULTISZ_ENTRY bus;
    MULTISZ_ENTRY id;
    BOOL isBus = MultiSzViewFindNoCase(ids, MpioBusHardwareId, &bus);
    BOOL more;

    for (more = MultiSzViewFirst(ids, &id); more && (!isBus || id.offset <= bus.offset);
         more = MultiSzViewNext(ids, &id)) {
        TextCopyN(loggedId, HARDWARE_ID_UNITS + 1, id.text, id.length);
        LogMessage(LOG_HARDWARE_ID, loggedId);
    }
    if (isBus)
        LogMessage(LOG_SKIPPED);
    return isBus;
}

DWORD RestartDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID context, INT *outFlag)
{
    WCHAR buffer[HARDWARE_ID_UNITS];
    MULTISZ_VIEW ids;
    DWORD result;

    (void)context;
    result = ReadHardwareIds(set, device, buffer, &ids);
    /* An unreadable list ends the walk; the MPIO bus device is left running. */
    if (result != ERROR_SUCCESS || LogIdsUpToBusDevice(&ids))
        return result;

    result = RequestDeviceRestart(set, device);
    if (result != ERROR_SUCCESS)
        return result;
    ReportRestartNeed(set, device, outFlag);
    return ERROR_SUCCESS;
}

DWORD RestartScsiAdapters(INT *rebootFlag)
{
    INT restartFlag = 0;
    DWORD result;

    result = EnumClassDevices(&GUID_DEVCLASS_SCSIADAPTER, RestartDeviceCallback, NULL, &restartFlag);
    return LogStepOutcome(result, restartFlag, rebootFlag);
}
