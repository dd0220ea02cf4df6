/* The package's own facts: its INF files and sections, the hardware IDs
 * and device descriptions it installs for and looks for, and the registry
 * values it shares with the system.  The package check reads them here too,
 * so that it judges a package by the facts the installer acts on. */
#pragma once

#include "common/platform.h"

/* INF files in the source directory, and what the uninstall runs of them. */
#define MPIO_INF_NAME TEXT("mpio.inf")
#define MPDEV_INF_NAME TEXT("mpdev.inf")
#define UNINSTALL_SECTION TEXT("DefaultUninstall")
#define SERVICES_SUFFIX TEXT(".Services")
/* The line of [DefaultUninstall] naming the DelReg section, and the root
 * key its delete-string lines name. */
#define DELREG_KEY TEXT("DelReg")
#define DELREG_ROOT TEXT("HKLM")

/* The MPIO bus device: "ROOT\MPIO" from major version 6 on, else
 * "Detected\MPIO"; -c recognises it by its description. */
#define MPIO_BUS_HARDWARE_ID_NEW TEXT("ROOT\\MPIO")
#define MPIO_BUS_HARDWARE_ID_OLD TEXT("Detected\\MPIO")
#define MPIO_BUS_DESCRIPTION TEXT("Multi-Path Support")

/* A claimed disk carries MPIO_DISK_HARDWARE_ID in place of the generic disk
 * ID.  A supported-device entry claims the disks whose hardware ID begins
 * with MATCH_KEY_PREFIX and the entry's first 24 units: 8 of vendor and 16
 * of product, as the SCSI inquiry data gives them. */
#define MPIO_DISK_HARDWARE_ID TEXT("MPIODisk")
#define GENERIC_DISK_ID TEXT("GenDisk")
#define MATCH_KEY_PREFIX TEXT("SCSI\\Disk")
#define SUPPORTED_DEVICE_UNITS 24

/* The two multi-string values the package shares with the system: the
 * supported-device list and the SCSI adapter class's upper filters. */
#define SUPPORTED_DEVICES_KEY TEXT("SYSTEM\\CurrentControlSet\\Control\\MPDEV")
#define SUPPORTED_DEVICES_VALUE TEXT("MPIOSupportedDeviceList")
#define UPPER_FILTERS_KEY \
    TEXT("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}")
#define UPPER_FILTERS_VALUE TEXT("UpperFilters")
