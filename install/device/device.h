/* Device setup layer: the class walk, the device callbacks, INF section
 * installation and root device creation. */
#pragma once

#include "common/common.h"

DWORD EnumClassDevices(const GUID *classGuid, DeviceCallback callback, PVOID context, INT *flag);

DWORD RemoveDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID hardwareId, INT *outFlag);
DWORD FindDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID hardwareId, INT *outFlag);
DWORD RestartDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID context, INT *outFlag);
DWORD RestartScsiAdapters(INT *rebootFlag);

/* Reads the device's hardware-ID list into 'buffer' (HARDWARE_ID_UNITS
 * units, cleared here) and gives the view of it. */
DWORD ReadHardwareIds(HDEVINFO set, PSP_DEVINFO_DATA device, WCHAR *buffer, MULTISZ_VIEW *ids);
/* TRUE when some hardware ID equals 'hardwareId', ignoring ASCII case. */
BOOL HasHardwareId(const MULTISZ_VIEW *ids, const WCHAR *hardwareId);

void NormalizeSupportedDeviceList(const MULTISZ_VIEW *list);
/* Walks the disk drive class with the claim or the release callback, whose
 * context is the match keys of the list (NULL when there is none), built
 * once for the walk.  ERROR_NOT_ENOUGH_MEMORY when the keys cannot be
 * allocated: no disk is visited. */
DWORD EnumDiskDrives(DeviceCallback callback, const MULTISZ_VIEW *list, INT *flag);
DWORD ClaimDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID matchKeys, INT *outFlag);
DWORD ReleaseDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID matchKeys, INT *outFlag);

/* Class-installer requests shared by the visitors; each returns
 * ERROR_SUCCESS or the failing call's code.  ReportRestartNeed sets the out
 * flag when the device asks for a restart or the machine for a reboot after
 * a change. */
DWORD RequestDeviceRemoval(HDEVINFO set, PSP_DEVINFO_DATA device);
DWORD RequestDeviceRestart(HDEVINFO set, PSP_DEVINFO_DATA device);
DWORD MarkDeviceForReinstall(HDEVINFO set, PSP_DEVINFO_DATA device);
void ReportRestartNeed(HDEVINFO set, PSP_DEVINFO_DATA device, INT *outFlag);

DWORD InstallInfSection(const WCHAR *infPath, const WCHAR *sectionName);
DWORD InstallRootDevice(const WCHAR *infPath, const WCHAR *hardwareId, INT force, INT *rebootFlag);
