#include "support/machine_test.h"

#include "common/common.h"

namespace harness {

void MachineTest::Enter()
{
    machine_.trace.clear();
    MakeCurrent(machine_);
    OsVersion.dwMajorVersion = machine_.os.major;
    OsVersion.dwMinorVersion = machine_.os.minor;
    MpioBusHardwareId = machine_.os.major >= 6 ? MPIO_BUS_HARDWARE_ID_NEW : MPIO_BUS_HARDWARE_ID_OLD;
}

void ExpectFailsWith(BOOL ok, DWORD expected, const char *text, int line)
{
    DWORD error = GetLastError();
    EXPECT_FALSE(ok) << text << " at line " << line;
    EXPECT_EQ(error, expected) << text << " at line " << line;
}

}  // namespace harness
