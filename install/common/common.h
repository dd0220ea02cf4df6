/* Types, globals and fixed names shared by every subsystem. */
#pragma once

#include "common/platform.h"
#include "common/product.h"
#include "common/text.h"
#include "common/multisz_view.h"

/* Buffer sizes in UTF-16 units. */
#define PATH_BUFFER_UNITS 260
#define REGISTRY_NAME_UNITS 512
#define HARDWARE_ID_UNITS 1026

/* Filled once at start-up; only dwMajorVersion and dwMinorVersion are read. */
extern OSVERSIONINFOW OsVersion;
/* "ROOT\MPIO" from major version 6 on, else "Detected\MPIO". */
extern const WCHAR *MpioBusHardwareId;
/* Device instance of the last device FindDeviceCallback matched. */
extern DEVINST FoundDevInst;

/* What a step's "Success %s\n" line says about a reboot. */
#define REBOOT_TEXT TEXT("(Please reboot the system)")
#define FEATURE_REBOOT_TEXT TEXT("(but need a reboot)")
#define NO_REBOOT_TEXT TEXT("")

/* Per-device visitor of EnumClassDevices; returns a Win32 error code. */
typedef DWORD (*DeviceCallback)(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                PVOID context, INT *outFlag);
