// Process tokens, privileges, security identifiers and group membership:
// what enabling the shutdown privilege and asking for the Administrators
// group need.  Whether the machine grants the privilege is
// machine.shutdownPrivilege; whether the program runs as an administrator is
// machine.administrator.
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

// A primary token of OpenProcessToken.
struct Token : winsim::KernelObject {
    explicit Token(DWORD access) : access(access) {}
    DWORD access = 0;
};

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

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    winsim::Trace("OpenProcessToken", "access=" + winsim::Hex(access));
    if (auto fault = winsim::CheckFault("OpenProcessToken"))
        return winsim::FailBool(*fault);
    if (!token)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    if (process != GetCurrentProcess())
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    *token = winsim::KernelObjects().Add(std::make_unique<Token>(access));
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
    const Token *token = winsim::KernelObjectOf<Token>(tokenHandle);
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

// ---------------------------------------------------------------------------
// Security identifiers and group membership
// ---------------------------------------------------------------------------
namespace {

constexpr BYTE kSidRevision = 1;
constexpr BYTE kMostSubAuthorities = 8;   // of AllocateAndInitializeSid
constexpr BYTE kLongestSid = 15;          // subauthorities a SID may have

// SIDs of AllocateAndInitializeSid in their binary layout (revision, count,
// authority, subauthorities), by address, until FreeSid.
std::map<const void *, std::unique_ptr<std::vector<uint8_t>>> &Sids()
{
    static std::map<const void *, std::unique_ptr<std::vector<uint8_t>>> sids;
    return sids;
}

std::vector<uint8_t> SidBytes(const SID_IDENTIFIER_AUTHORITY &authority, std::vector<DWORD> subAuthorities)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(8 + 4 * subAuthorities.size());
    bytes.push_back(kSidRevision);
    bytes.push_back(static_cast<uint8_t>(subAuthorities.size()));
    for (BYTE part : authority.Value)
        bytes.push_back(part);
    for (DWORD sub : subAuthorities)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<uint8_t>(sub >> shift));
    return bytes;
}

// The groups of the process token that a program may ask about: Everyone and
// Users always, Administrators when the machine says the program runs as one
// (under UAC a token that is not elevated holds it for denying only).
bool TokenHolds(const std::vector<uint8_t> &sid)
{
    const SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
    const SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    if (sid == SidBytes(world, {SECURITY_WORLD_RID}))
        return true;
    if (sid == SidBytes(nt, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}))
        return true;
    return sid == SidBytes(nt, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}) &&
           winsim::Current().administrator;
}

}  // namespace

size_t winsim::LiveSids()
{
    return Sids().size();
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount, DWORD subAuthority0,
                              DWORD subAuthority1, DWORD subAuthority2, DWORD subAuthority3, DWORD subAuthority4,
                              DWORD subAuthority5, DWORD subAuthority6, DWORD subAuthority7, PSID *sid)
{
    winsim::Trace("AllocateAndInitializeSid", "count=" + std::to_string(subAuthorityCount));
    if (auto fault = winsim::CheckFault("AllocateAndInitializeSid"))
        return winsim::FailBool(*fault);
    if (!authority || !sid || subAuthorityCount == 0 || subAuthorityCount > kMostSubAuthorities)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    const DWORD all[] = {subAuthority0, subAuthority1, subAuthority2, subAuthority3,
                         subAuthority4, subAuthority5, subAuthority6, subAuthority7};
    auto bytes = std::make_unique<std::vector<uint8_t>>(
        SidBytes(*authority, std::vector<DWORD>(all, all + subAuthorityCount)));
    *sid = bytes->data();
    Sids()[bytes->data()] = std::move(bytes);
    return TRUE;
}

PVOID FreeSid(PSID sid)
{
    winsim::Trace("FreeSid", "");
    // NULL when freed; the SID itself when it is none of AllocateAndInitializeSid's.
    return Sids().erase(sid) > 0 ? nullptr : sid;
}

BOOL CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember)
{
    winsim::Trace("CheckTokenMembership", std::string("token=") + (token ? "given" : "null"));
    if (auto fault = winsim::CheckFault("CheckTokenMembership"))
        return winsim::FailBool(*fault);
    // The stand-in's tokens are primary tokens of OpenProcessToken; only the
    // calling thread's own (NULL) is turned into an impersonation token.
    if (token != nullptr)
        return winsim::FailBool(winsim::KernelObjectOf<Token>(token) ? ERROR_NO_IMPERSONATION_TOKEN
                                                                      : ERROR_INVALID_HANDLE);
    if (!sid || !isMember)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    // Any SID in its binary layout, wherever the caller keeps it.
    const auto *bytes = static_cast<const uint8_t *>(sid);
    if (bytes[0] != kSidRevision || bytes[1] > kLongestSid)
        return winsim::FailBool(ERROR_INVALID_SID);
    *isMember = TokenHolds(std::vector<uint8_t>(bytes, bytes + 8 + 4 * bytes[1])) ? TRUE : FALSE;
    return TRUE;
}
