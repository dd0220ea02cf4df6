/* The texts of the progress log that a reader of the log recognises: the
 * package check finds the steps, the failures, the device walk, -c's
 * findings and the error codes of a run by them.  The installer writes them
 * from here, so that the two cannot drift apart. */
#pragma once

#include "common/platform.h"

/* A step begins. */
#define LOG_INSTALLING_BUS TEXT("\nInstalling the Multi-Path Adapter Filter and Multi-Path Bus Driver...\n")
#define LOG_INSTALLING_DSM TEXT("\nInstalling the Device Specific Module...\n")
#define LOG_INSTALLING_DISK_DRIVER TEXT("\nInstalling the Multi-Path Device Driver...\n")
#define LOG_RESTARTING_ADAPTERS TEXT("\nRestarting all SCSI adapters...\n")
#define LOG_UNINSTALLING_DISK_DRIVER TEXT("\nUninstalling the Multi-Path Device Driver.This may take a few minutes..\n")
#define LOG_UNINSTALLING_BUS TEXT("\nUninstalling the Multi-Path Bus Driver...\n")
#define LOG_REBUILDING_STACK TEXT("\nRebuilding the storage stack...\n")
#define LOG_UNINSTALLING_DSM TEXT("\nUninstalling the Device Specific Module...\n")
#define LOG_INSTALLING_FEATURE TEXT("\nInstalling the MPIO OC. This may take some time, please be patient...\n")
#define LOG_UNINSTALLING_FEATURE TEXT("\nUninstalling the MPIO OC. This may take some time, please be patient...\n")
#define LOG_CHECK_MPIO TEXT("Check MPIO, please wait ...\n")
#define LOG_CHECK_DSM TEXT("Check DSM, please wait ...\n")

/* A step fails: its tag, a failed query, then the code of the failure. */
#define LOG_FAILURE TEXT("Failure.")
#define LOG_BAD_SOURCE_PATH TEXT("Unable to validate the source path.")
#define LOG_DEVNODE_STATUS_FAILED TEXT("CM_Get_DevNode_Status() failed with error code %d\n")
#define LOG_PROPERTY_FAILED TEXT("SetupDiGetDeviceRegistryProperty() failed with error %d\n")
#define LOG_CHECK_FAILED TEXT("CheckInstallMPIO failed with error %d\n")
#define LOG_ERROR_CODE TEXT(" Error code (0x%08x)\n")

/* The walk over a class's devices. */
#define LOG_TRY_ENTRY TEXT("!!TRY ENTRY %d.\n")
#define LOG_HARDWARE_ID TEXT("HWID:%s\n")
#define LOG_SKIPPED TEXT("Skipped\n")
#define LOG_DEVICE_DESCRIPTION TEXT("Device Desc: %s\n")
#define LOG_DRIVER_STATUS TEXT("Driver Status: ulStatus = 0x%08X, ulProblem = 0x%08X\n")

/* What -c finds of the MPIO bus device and of the DSM. */
#define LOG_MPIO_CHECKED TEXT("MPIO Checked\n")
#define LOG_MPIO_GOOD TEXT("MPIO Good\n")
#define LOG_MPIO_BAD TEXT("MPIO Bad\n")
#define LOG_DSM_CHECKED TEXT("DSM Checked\n")
#define LOG_DSM_GOOD TEXT("DSM Good\n")
#define LOG_DSM_BAD TEXT("DSM Bad\n")
