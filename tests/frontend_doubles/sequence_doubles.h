// Scripted stand-ins for the check, install and uninstall sequences, so the
// entry can be tested on its own: each returns its scripted code, stores its
// scripted condition and reboot flag, and records how it was called.
#pragma once

#include <string>
#include <vector>

#include "common/common.h"

namespace doubles {

struct Sequence {
    // Script.
    DWORD result = ERROR_SUCCESS;
    INT condition = 0;          // the check's install condition
    INT rebootFlag = 0;         // stored into the caller's flag
    // Record.
    int calls = 0;
    std::vector<std::u16string> args;   // source path, DSM INF, DSM hardware ID
    INT flagOnEntry = -99;               // the caller's flag when called
    std::u16string busHardwareId;        // MpioBusHardwareId when called
    DWORD majorVersion = 0;              // OsVersion when called
    size_t traceLength = 0;              // platform calls made before it
};

extern Sequence check;
extern Sequence install;
extern Sequence uninstall;

// Back to the defaults: success, condition 0, no reboot, no calls.
void Reset();
int TotalCalls();

}  // namespace doubles
