// The platforms whose models sections the INF checks look at, each as the
// oldest Windows of its kind, from the simulated machine's table of Windows
// versions: Windows 2000 (5.0), which reads only the undecorated models
// section; 32-bit Windows XP (5.1); x64 Server 2003 (5.2).
#pragma once

#include "winsim/machine.h"

namespace pkgcheck {

enum class Platform { Windows2000, X86, Amd64 };
inline constexpr Platform kPlatforms[] = {Platform::Windows2000, Platform::X86, Platform::Amd64};

const char *PlatformName(Platform platform);
const winsim::OsInfo &OldestWindows(Platform platform);

}  // namespace pkgcheck
