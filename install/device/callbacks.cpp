/* Device visitors that act on a device by its hardware IDs: removal, lookup
 * and restart, and the restart of every SCSI adapter. */
#include "common/common.h"
#include "device/device.h"
#include "frontend/log.h"

/* Reads the device's hardware-ID list into a cleared buffer of
 * HARDWARE_ID_UNITS units. */
static DWORD ReadHardwareIds(HDEVINFO set, PSP_DEVINFO_DATA device, WCHAR *hardwareIds)
{
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, NULL, (PBYTE)hardwareIds,
                                           HARDWARE_ID_UNITS * sizeof(WCHAR), NULL))
        return GetLastError();
    return ERROR_SUCCESS;
}

/* Length of the entry at 'offset' of a hardware-ID list buffer, or 0 at the
 * list's end.  A list that fills the buffer to its last unit carries no
 * terminator of its own: an entry not closed inside the buffer is not
 * taken, so that nothing is read past the buffer. */
static size_t HardwareIdLength(const WCHAR *hardwareIds, size_t offset)
{
    size_t length = 0;

    while (offset + length < HARDWARE_ID_UNITS) {
        if (hardwareIds[offset + length] == 0)
            return length;
        length++;
    }
    return 0;
}

/* 1 when some entry of the list equals the ID, ignoring ASCII case. */
static INT HasHardwareId(const WCHAR *hardwareIds, const WCHAR *hardwareId)
{
    size_t offset = 0;
    size_t length;

    while ((length = HardwareIdLength(hardwareIds, offset)) != 0) {
        if (TextCompareNoCase(hardwareIds + offset, hardwareId) == 0)
            return 1;
        offset += length + 1;
    }
    return 0;
}

DWORD RemoveDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID hardwareId, INT *outFlag)
{
    WCHAR hardwareIds[HARDWARE_ID_UNITS] = {};
    DWORD result;

    result = ReadHardwareIds(set, device, hardwareIds);
    if (result != ERROR_SUCCESS)
        return result;
    if (!HasHardwareId(hardwareIds, (const WCHAR *)hardwareId))
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
    WCHAR hardwareIds[HARDWARE_ID_UNITS] = {};
    INT found = 0;
    DWORD result;

    result = ReadHardwareIds(set, device, hardwareIds);
    if (result == ERROR_SUCCESS && HasHardwareId(hardwareIds, (const WCHAR *)hardwareId)) {
        FoundDevInst = device->DevInst;
        found = 1;
    }
    if (outFlag != NULL)
        *outFlag = found;
    return result;
}

DWORD RestartDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID context, INT *outFlag)
{
    WCHAR hardwareIds[HARDWARE_ID_UNITS] = {};
    size_t offset = 0;
    size_t length;
    DWORD result;

    (void)context;
    result = ReadHardwareIds(set, device, hardwareIds);
    if (result != ERROR_SUCCESS)
        return result;

    /* The MPIO bus device is left running. */
    while ((length = HardwareIdLength(hardwareIds, offset)) != 0) {
        LogMessage(TEXT("HWID:%s\n"), hardwareIds + offset);
        if (TextCompareNoCase(hardwareIds + offset, MpioBusHardwareId) == 0) {
            LogMessage(TEXT("Skipped\n"));
            return ERROR_SUCCESS;
        }
        offset += length + 1;
    }

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
