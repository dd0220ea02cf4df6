#include "sequence_doubles.h"

#include "package/package.h"
#include "winsim/machine.h"

namespace doubles {

Sequence check;
Sequence install;
Sequence uninstall;

void Reset()
{
    check = Sequence();
    install = Sequence();
    uninstall = Sequence();
}

int TotalCalls()
{
    return check.calls + install.calls + uninstall.calls;
}

namespace {

DWORD Enter(Sequence &sequence, INT *rebootFlag)
{
    sequence.calls++;
    sequence.flagOnEntry = *rebootFlag;
    sequence.busHardwareId = MpioBusHardwareId;
    sequence.majorVersion = OsVersion.dwMajorVersion;
    sequence.traceLength = winsim::Current().trace.size();
    *rebootFlag = sequence.rebootFlag;
    return sequence.result;
}

DWORD EnterWithPackage(Sequence &sequence, const WCHAR *sourcePath, const WCHAR *dsmInf, const WCHAR *dsmHwid,
                       INT *rebootFlag)
{
    sequence.args = {sourcePath, dsmInf, dsmHwid};
    return Enter(sequence, rebootFlag);
}

}  // namespace

}  // namespace doubles

DWORD CheckInstallMPIO(INT *condition, INT *rebootFlag)
{
    *condition = doubles::check.condition;
    return doubles::Enter(doubles::check, rebootFlag);
}

DWORD InstallPackage(const WCHAR *sourcePath, const WCHAR *dsmInf, const WCHAR *dsmHwid, INT *rebootFlag)
{
    return doubles::EnterWithPackage(doubles::install, sourcePath, dsmInf, dsmHwid, rebootFlag);
}

DWORD UninstallPackage(const WCHAR *sourcePath, const WCHAR *dsmInf, const WCHAR *dsmHwid, INT *rebootFlag)
{
    return doubles::EnterWithPackage(doubles::uninstall, sourcePath, dsmInf, dsmHwid, rebootFlag);
}
