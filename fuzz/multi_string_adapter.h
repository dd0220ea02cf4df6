// The program's multi-string functions as the fuzz target drives them, in
// the order the install and uninstall sequences call them.  Only this pair
// of files knows their signatures.
#pragma once

#include <string>

#include "winsim/windows.h"

namespace fuzz {

// The supported-device list as 'bytes' (any count, odd or without NULs) in a
// block of exactly that size: normalised, then the claim walk and the
// release walk over the disks of the current machine.
void ClaimAndReleaseDisks(const std::string &bytes);

// Takes the strings of the DelReg section named by the INF's
// [DefaultUninstall] out of a list of exactly 'bytes', for each of the two
// multi-string values, and stores what is left.
void RemoveDelRegStrings(const WCHAR *infName, const std::string &bytes);

}  // namespace fuzz
