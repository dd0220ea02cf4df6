/* Installation health check: finds the MPIO bus device and the DSM device
 * by their descriptions and judges whether each one has settled or still
 * waits for a restart or its removal. */
#include "common/common.h"
#include "device/device.h"
#include "frontend/log.h"
#include "package/package.h"
#include "vendor.h"

const WCHAR *MpioDeviceDescription = MPIO_BUS_DESCRIPTION;
/* The vendor build setting; the bundled example package's DSM by default. */
const WCHAR *DsmDeviceDescription = INSTALL_DSM_DESCRIPTION_TEXT;

#define DESCRIPTION_BUFFER_BYTES 65536
#define DESCRIPTION_BUFFER_UNITS (DESCRIPTION_BUFFER_BYTES / sizeof(WCHAR))

/* A device waits for a restart or for its removal. */
#define UNSETTLED_STATUS (DN_WILL_BE_REMOVED | DN_NEED_RESTART)

/* The description of the device being checked, for the whole run. */
static WCHAR DeviceDescription[DESCRIPTION_BUFFER_UNITS];

/* What the check logs and records for one kind of device it looks for. */
typedef struct _CHECKED_DEVICE {
    const WCHAR *checkedText;
    const WCHAR *goodText;
    const WCHAR *badText;
    INT foundBit;
    INT goodBit;
} CHECKED_DEVICE;

static const CHECKED_DEVICE MpioChecked = {
    LOG_MPIO_CHECKED, LOG_MPIO_GOOD, LOG_MPIO_BAD, CHECK_MPIO_FOUND, CHECK_MPIO_GOOD};
static const CHECKED_DEVICE DsmChecked = {
    LOG_DSM_CHECKED, LOG_DSM_GOOD, LOG_DSM_BAD, CHECK_DSM_FOUND, CHECK_DSM_GOOD};

DWORD GetDeviceHealth(PSP_DEVINFO_DATA device, INT *health)
{
    ULONG status = 0;
    ULONG problem = 0;
    CONFIGRET result;

    result = CM_Get_DevNode_Status(&status, &problem, device->DevInst, 0);
    if (result != CR_SUCCESS) {
        LogMessage(LOG_DEVNODE_STATUS_FAILED, (INT)result);
        return result;
    }
    LogMessage(LOG_DRIVER_STATUS, (UINT)status, (UINT)problem);
    /* Only a pending restart or removal counts; a problem code alone does not. */
    *health = (status & UNSETTLED_STATUS) != 0 ? 0 : 1;
    return ERROR_SUCCESS;
}

/* Records a device that carries one of the descriptions and judges it. */
static DWORD CheckFoundDevice(PSP_DEVINFO_DATA device, const CHECKED_DEVICE *checked, INT *checkFlags)
{
    INT health = 1;
    DWORD result;

    LogMessage(checked->checkedText);
    *checkFlags |= checked->foundBit;
    result = GetDeviceHealth(device, &health);
    if (result != ERROR_SUCCESS)
        return result;
    if (health != 0) {
        *checkFlags |= checked->goodBit;
        LogMessage(checked->goodText);
    } else {
        LogMessage(checked->badText);
    }
    return ERROR_SUCCESS;
}

DWORD CheckDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID context, INT *outFlag)
{
    INT *checkFlags = (INT *)context;
    DWORD result;

    (void)outFlag;
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_DEVICEDESC, NULL, (PBYTE)DeviceDescription,
                                           DESCRIPTION_BUFFER_BYTES, NULL)) {
        result = GetLastError();
        LogMessage(LOG_PROPERTY_FAILED, (INT)result);
        /* 259 skips the device; anything else ends the check. */
        return result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result;
    }
    /* A description that fills the buffer brings no terminator of its own. */
    DeviceDescription[DESCRIPTION_BUFFER_UNITS - 1] = 0;
    LogMessage(LOG_DEVICE_DESCRIPTION, DeviceDescription);

    if (TextCompareNoCase(DeviceDescription, MpioDeviceDescription) == 0)
        return CheckFoundDevice(device, &MpioChecked, checkFlags);
    if (TextCompareNoCase(DeviceDescription, DsmDeviceDescription) == 0)
        return CheckFoundDevice(device, &DsmChecked, checkFlags);
    return ERROR_SUCCESS;
}

DWORD CheckInstallMPIO(INT *condition, INT *rebootFlag)
{
    INT installCondition = 1;
    INT checkFlags = 0;
    DWORD result = ERROR_SUCCESS;

    /* From generation 6 on the operating system owns the multipath base. */
    if (OsVersion.dwMajorVersion >= 6)
        goto report;

    LogMessage(LOG_CHECK_MPIO);
    result = EnumClassDevices(&GUID_DEVCLASS_SCSIADAPTER, CheckDeviceCallback, &checkFlags, rebootFlag);
    if (result != ERROR_SUCCESS)
        goto failure;
    if ((checkFlags & CHECK_MPIO_FOUND) != 0 && (checkFlags & CHECK_MPIO_GOOD) == 0) {
        installCondition = 0;
        goto report;
    }

    LogMessage(LOG_CHECK_DSM);
    result = EnumClassDevices(&GUID_DEVCLASS_SYSTEM, CheckDeviceCallback, &checkFlags, rebootFlag);
    if (result != ERROR_SUCCESS)
        goto failure;
    if ((checkFlags & CHECK_DSM_FOUND) != 0 && (checkFlags & CHECK_DSM_GOOD) == 0)
        installCondition = 0;

report:
    LogMessage(TEXT("CheckInstallMPIO: install condition %d\n"), installCondition);
    *condition = installCondition;
    return ERROR_SUCCESS;

failure:
    LogMessage(LOG_CHECK_FAILED, (INT)result);
    return result;
}
