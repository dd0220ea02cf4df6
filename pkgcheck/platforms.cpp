#include "platforms.h"

namespace pkgcheck {

const char *PlatformName(Platform platform)
{
    static const char *const names[] = {"Windows 2000", "x86", "x64"};
    return names[static_cast<int>(platform)];
}

const winsim::OsInfo &OldestWindows(Platform platform)
{
    // Their architecture is the machine's default: x86 for 5.0 and 5.1, x64 for 5.2.
    static const winsim::OsInfo windows[] = {
        winsim::KnownWindowsVersion(5, 0).value(),
        winsim::KnownWindowsVersion(5, 1).value(),
        winsim::KnownWindowsVersion(5, 2).value(),
    };
    return windows[static_cast<int>(platform)];
}

}  // namespace pkgcheck
