// The program's multi-string functions as the fuzz target drives them, in
// the order the install and uninstall sequences call them.  Only this pair
// of files knows their signatures.
#pragma once

#include <string>

#include "winsim/windows.h"

namespace fuzz {

// Stores 'bytes' (any count, odd or without NULs) as the supported-device
// list on the current machine.
void StoreSupportedDeviceList(const std::string &bytes);

// Reads the stored list as the sequences do, normalises it, claims the
// listed disks of the machine and releases those the list does not name.
void ClaimAndReleaseDisks();

// Takes the strings of the DelReg section named by the INF's
// [DefaultUninstall] out of a list of exactly 'bytes', for each of the two
// multi-string values, and stores what is left.
void RemoveDelRegStrings(const WCHAR *infName, const std::string &bytes);

}  // namespace fuzz
