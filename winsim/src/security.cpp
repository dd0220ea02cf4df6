// Process tokens and privileges: only what enabling the shutdown privilege
// needs.  Whether the machine grants it is machine.shutdownPrivilege.
#include <string>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

struct Token {
    DWORD access = 0;
};

winsim::HandleTable<Token> &Tokens()
{
    static winsim::HandleTable<Token> tokens;
    return tokens;
}

struct Privilege {
    const char16_t *name;
    DWORD luid;
};
const Privilege kPrivileges[] = {
    {u"SeSecurityPrivilege", 8},  {u"SeTakeOwnershipPrivilege", 9}, {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemtimePrivilege", 12}, {u"SeBackupPrivilege", 17},     {u"SeRestorePrivilege", 18},
    {u"SeShutdownPrivilege", 19}, {u"SeDebugPrivilege", 20},        {u"SeRemoteShutdownPrivilege", 24},
};
constexpr DWORD kShutdownLuid = 19;

}  // namespace

namespace winsim {
bool CloseTokenHandle(HANDLE handle)
{
    return Tokens().Remove(handle);
}
}  // namespace winsim

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    winsim::Trace("OpenProcessToken", "access=" + winsim::Hex(access));
    if (auto fault = winsim::CheckFault("OpenProcessToken"))
        return winsim::FailBool(*fault);
    if (!token)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    if (process != GetCurrentProcess())
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    *token = Tokens().Add(std::make_unique<Token>(Token{access}));
    return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid)
{
    const winsim::Text text = winsim::TextOf(name);
    winsim::Trace("LookupPrivilegeValueW", "name=" + winsim::Narrow(text));
    if (auto fault = winsim::CheckFault("LookupPrivilegeValueW", text))
        return winsim::FailBool(*fault);
    if (!name || !luid)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    // Remote systems are not modelled.
    if (systemName && systemName[0])
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    for (const auto &privilege : kPrivileges) {
        if (winsim::EqualNoCase(privilege.name, text)) {
            luid->LowPart = privilege.luid;
            luid->HighPart = 0;
            return TRUE;
        }
    }
    return winsim::FailBool(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL AdjustTokenPrivileges(HANDLE tokenHandle, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                           PTOKEN_PRIVILEGES previousState, PDWORD returnLength)
{
    winsim::Trace("AdjustTokenPrivileges",
                  "disable_all=" + std::to_string(disableAll) +
                      " count=" + std::to_string(newState ? newState->PrivilegeCount : 0));
    if (auto fault = winsim::CheckFault("AdjustTokenPrivileges"))
        return winsim::FailBool(*fault);
    const Token *token = Tokens().Find(tokenHandle);
    if (!token)
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    if (!(token->access & TOKEN_ADJUST_PRIVILEGES) || (previousState && !(token->access & TOKEN_QUERY)))
        return winsim::FailBool(ERROR_ACCESS_DENIED);
    if (!disableAll && !newState)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    if (previousState) {
        // The stand-in keeps no previous state to report: it reports none.
        if (bufferLength < sizeof(DWORD) || !returnLength)
            return winsim::FailBool(ERROR_INSUFFICIENT_BUFFER);
        previousState->PrivilegeCount = 0;
        *returnLength = sizeof(DWORD);
    }
    winsim::ProcessState &process = winsim::Process();
    if (disableAll) {
        process.shutdownPrivilegeEnabled = false;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < newState->PrivilegeCount; i++) {
        const LUID_AND_ATTRIBUTES &entry = newState->Privileges[i];
        const bool enable = entry.Attributes & SE_PRIVILEGE_ENABLED;
        if (entry.Luid.LowPart == kShutdownLuid && entry.Luid.HighPart == 0 &&
            winsim::Current().shutdownPrivilege) {
            process.shutdownPrivilegeEnabled = enable;
        } else {
            // The token does not hold this privilege.
            allAssigned = false;
        }
    }
    // Windows reports a partial grant as success with this last error.
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}
