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

/* Length of "SCSI\Disk" + 24 vendor and product units, and its terminator. */
#define MATCH_KEY_UNITS 34

/* The key a disk's hardware ID must begin with to match a supported-device
 * entry: "SCSI\Disk" followed by the entry's first 24 units. */
typedef struct _MATCH_KEY {
    WCHAR text[MATCH_KEY_UNITS];
    size_t length;
} MATCH_KEY;

/* The context of the claim and release walks: the key of every entry of
 * the supported-device list, built once per walk by EnumDiskDrives. */
typedef struct _DISK_MATCH_KEYS {
    MATCH_KEY *keys;   /* LocalAlloc block, NULL when the list has no entries */
    size_t count;
} DISK_MATCH_KEYS;

void NormalizeSupportedDeviceList(const MULTISZ_VIEW *list);
/* Walks the disk drive class with the claim or the release callback; the
 * list (NULL when there is none) is handed to it as its match keys.
 * ERROR_NOT_ENOUGH_MEMORY when the keys cannot be allocated: no disk is
 * visited. */
DWORD EnumDiskDrives(DeviceCallback callback, const MULTISZ_VIEW *list, INT *flag);
DWORD ClaimDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID matchKeys, INT *outFlag);
DWORD ReleaseDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID matchKeys, INT *outFlag);

/* Class-installer requests shared by the visitors; each returns ERROR_SUCCESS or the
 * failing call's code.  ReportRestartNeed sets the out flag when the device
 * asks for a restart or the machine for a reboot after a change. */
DWORD RequestDeviceRemoval(HDEVINFO set, PSP_DEVINFO_DATA device);
DWORD RequestDeviceRestart(HDEVINFO set, PSP_DEVINFO_DATA device);
DWORD MarkDeviceForReinstall(HDEVINFO set, PSP_DEVINFO_DATA device);
void ReportRestartNeed(HDEVINFO set, PSP_DEVINFO_DATA device, INT *outFlag);

DWORD InstallInfSection(const WCHAR *infPath, const WCHAR *sectionName);
DWORD InstallRootDevice(const WCHAR *infPath, const WCHAR *hardwareId, INT force, INT *rebootFlag);
