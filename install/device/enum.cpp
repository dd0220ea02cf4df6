/* The class walk: every device of one setup class, present or not, visited
 * in the order the setup library lists them. */
#include "common/common.h"
#include "device/device.h"
#include "frontend/log.h"

DWORD EnumClassDevices(const GUID *classGuid, DeviceCallback callback, PVOID context, INT *flag)
{
    HDEVINFO set;
    SP_DEVINFO_DATA device = {};
    DWORD index = 0;
    DWORD result = ERROR_SUCCESS;
    INT outFlag;

    /* Flags 0: devices that are recorded but not present are walked too. */
    set = SetupDiGetClassDevsW(classGuid, NULL, NULL, 0);
    if (set == INVALID_HANDLE_VALUE)
        return GetLastError();

    device.cbSize = sizeof(device);
    while (result == ERROR_SUCCESS) {
        if (!SetupDiEnumDeviceInfo(set, index, &device)) {
            /* The end of the list ends the walk; any other failure would
             * leave the remaining devices unvisited, so it is the result. */
            result = GetLastError();
            if (result == ERROR_NO_MORE_ITEMS)
                result = ERROR_SUCCESS;
            goto cleanupSet;
        }
        outFlag = 0;
        LogMessage(LOG_TRY_ENTRY, (INT)index);
        result = callback(set, &device, context, &outFlag);
        /* The first restart or reboot request sticks; a failed visit's flag
         * does not count. */
        if (result == ERROR_SUCCESS && *flag == 0)
            *flag = outFlag;
        index++;
    }

cleanupSet:
    SetupDiDestroyDeviceInfoList(set);
    return result;
}
