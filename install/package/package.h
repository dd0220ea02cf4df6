/* Package operations: install, uninstall, health check, feature command. */
#pragma once

#include "common/common.h"

#define CHECK_MPIO_FOUND 0x1
#define CHECK_MPIO_GOOD 0x2
#define CHECK_DSM_FOUND 0x4
#define CHECK_DSM_GOOD 0x8

extern const WCHAR *MpioDeviceDescription;
extern const WCHAR *DsmDeviceDescription;

DWORD InstallPackage(const WCHAR *sourcePath, const WCHAR *dsmInf, const WCHAR *dsmHwid, INT *rebootFlag);
DWORD InstallDiskDriver(const WCHAR *infPath, INT *rebootFlag);

DWORD UninstallPackage(const WCHAR *sourcePath, const WCHAR *dsmInf, const WCHAR *dsmHwid, INT *rebootFlag);
DWORD UninstallComponent(const WCHAR *infPath, const WCHAR *hardwareId, INT kind, INT *rebootFlag);
DWORD UninstallDiskDriver(const WCHAR *infPath, const MULTISZ_VIEW *list, INT *rebootFlag);

DWORD CheckInstallMPIO(INT *condition, INT *rebootFlag);
DWORD CheckDeviceCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID context, INT *outFlag);
DWORD GetDeviceHealth(PSP_DEVINFO_DATA device, INT *health);

DWORD RunMultipathFeatureCommand(BOOL enable, INT *rebootFlag);
/* A failure of the feature command or of its check: "Failure." on the
 * console only, the error text of 'code' in the log too.  Returns 'code'. */
DWORD ReportFeatureFailure(DWORD code);

/* Steps shared by the sequences. */
void ComposeInfPath(WCHAR *path, const WCHAR *sourcePath, const WCHAR *fileName);
DWORD ValidateSourcePath(const WCHAR *sourcePath);
/* Reads the supported-device list into a block the caller frees (also on
 * a failure after the allocation) and normalises it in place. */
DWORD ReadSupportedDeviceList(WCHAR **block, MULTISZ_VIEW *list);
