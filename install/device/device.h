/* Device setup layer: the class walk, the device callbacks, INF section
 * installation and root device creation. */
#pragma once

#include "common/common.h"

DWORD EnumClassDevices(const GUID *classGuid, DeviceCallback callback, PVOID context, INT *flag);

DWORD RemoveDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID hardwareId, INT *outFlag);
DWORD FindDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID hardwareId, INT *outFlag);
DWORD RestartDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID context, INT *outFlag);
DWORD RestartScsiAdapters(INT *rebootFlag);

void NormalizeSupportedDeviceList(WCHAR *list);
DWORD ClaimDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID list, INT *outFlag);
DWORD ReleaseDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID list, INT *outFlag);

DWORD InstallInfSection(const WCHAR *infPath, const WCHAR *sectionName);
DWORD InstallRootDevice(const WCHAR *infPath, const WCHAR *hardwareId, INT force, INT *rebootFlag);
