// The stand-in's service control manager over the registry's services, and
// the group membership of the program's token.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "support/machine_test.h"
#include "winsim/machine.h"
#include "winsim/windows.h"

namespace {

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";

class ServiceManager : public harness::MachineTest {
protected:
    ServiceManager()
    {
        machine_ = harness::Gen6();
        harness::AddService(machine_, "mpio", 0);
        harness::SetString(machine_, kServices + "mpio", "DisplayName", "Microsoft Multi-Path Bus Driver");
        harness::SetRaw(machine_, kServices + "mpio", "ImagePath", REG_EXPAND_SZ,
                        winsim::StringBytes(u"System32\\drivers\\mpio.sys"));
        harness::SetMultiSz(machine_, kServices + "mpio", "DependOnService", {"disk"});
        harness::AddService(machine_, "Disk", 0);
        harness::AddService(machine_, "qvxdsm", 3, true);
        harness::SetDword(machine_, kServices + "halfmade", "Type", 1);   // no Start: not a service it lists
        harness::AddService(machine_, "adapter", 3);
        harness::SetDword(machine_, kServices + "adapter", "Type", SERVICE_ADAPTER);   // a type not asked for
        machine_.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));   // runs "disk"
    }

    // "name=display name" of each service one listing gives, in calls of at
    // most 'bufferSize' bytes, each going on where the last stopped.
    std::vector<std::u16string> List(SC_HANDLE manager, DWORD state, DWORD bufferSize, int *calls)
    {
        std::vector<std::u16string> names;
        std::vector<BYTE> buffer(bufferSize);
        DWORD needed = 0, returned = 0, resume = 0;
        for (*calls = 1;; ++*calls) {
            BOOL done = EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_DRIVER | SERVICE_WIN32, state,
                                              buffer.data(), bufferSize, &needed, &returned, &resume, nullptr);
            const auto *entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW *>(buffer.data());
            for (DWORD i = 0; i < returned; i++)
                names.push_back(std::u16string(entries[i].lpServiceName) + u"=" + entries[i].lpDisplayName);
            if (done || GetLastError() != ERROR_MORE_DATA || returned == 0)
                return names;
        }
    }
};

TEST_F(ServiceManager, RefusesWhatWindowsRefuses)
{
    machine_.administrator = false;
    Enter();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    SC_HANDLE service = OpenServiceW(manager, u"MPIO", SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    DWORD needed = 0, returned = 0;
    auto enumerate = [&](SC_HANDLE handle, int level, DWORD state) {
        return !EnumServicesStatusExW(handle, static_cast<SC_ENUM_TYPE>(level), SERVICE_DRIVER, state, nullptr, 0,
                                      &needed, &returned, nullptr, nullptr);
    };
    const struct {
        const char *what;
        std::function<bool()> fails;
        DWORD error;
    } rows[] = {
        {"another machine", [] { return !OpenSCManagerW(u"\\\\server2", nullptr, SC_MANAGER_CONNECT); },
         ERROR_CALL_NOT_IMPLEMENTED},
        {"another database", [] { return !OpenSCManagerW(nullptr, u"ServicesFailed", SC_MANAGER_CONNECT); },
         ERROR_DATABASE_DOES_NOT_EXIST},
        {"creating unelevated", [] { return !OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE); },
         ERROR_ACCESS_DENIED},
        {"an unknown service", [&] { return !OpenServiceW(manager, u"absent", SERVICE_QUERY_CONFIG); },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"a key without Start", [&] { return !OpenServiceW(manager, u"halfmade", SERVICE_QUERY_CONFIG); },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"a backslash", [&] { return !OpenServiceW(manager, u"mpio\\x", SERVICE_QUERY_CONFIG); }, ERROR_INVALID_NAME},
        {"changing unelevated", [&] { return !OpenServiceW(manager, u"mpio", SERVICE_CHANGE_CONFIG); },
         ERROR_ACCESS_DENIED},
        {"a service as the manager", [&] { return !OpenServiceW(service, u"mpio", 0); }, ERROR_INVALID_HANDLE},
        {"a query without the right", [&] { return !QueryServiceConfigW(service, nullptr, 0, &needed); },
         ERROR_ACCESS_DENIED},
        {"a listing of a service", [&] { return enumerate(service, 0, SERVICE_STATE_ALL); }, ERROR_INVALID_HANDLE},
        {"another level", [&] { return enumerate(manager, 1, SERVICE_STATE_ALL); }, ERROR_INVALID_LEVEL},
        {"an unknown state", [&] { return enumerate(manager, 0, 4); }, ERROR_INVALID_PARAMETER},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_TRUE(row.fails());
        EXPECT_EQ(GetLastError(), row.error);
    }
    EXPECT_EQ(CloseServiceHandle(service), TRUE);
    EXPECT_EQ(CloseServiceHandle(manager), TRUE);
    EXPECT_FAILS_WITH(CloseServiceHandle(manager), ERROR_INVALID_HANDLE);
    EXPECT_EQ(winsim::OpenHandles(), 0u);
}

// Every service the manager knows, a marked one too, by name (ASCII case
// aside); one without a display name shown by its name.
TEST_F(ServiceManager, ListsTheServicesInCallsThatGoOn)
{
    Enter();
    SC_HANDLE manager = OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ENUMERATE_SERVICE);
    const std::vector<std::u16string> all{u"Disk=Disk", u"mpio=Microsoft Multi-Path Bus Driver", u"qvxdsm=qvxdsm"};
    int calls = 0;
    EXPECT_EQ(List(manager, SERVICE_STATE_ALL, 4096, &calls), all);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(List(manager, SERVICE_STATE_ALL, 150, &calls), all);   // one entry a call
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(List(manager, SERVICE_ACTIVE, 4096, &calls), std::vector<std::u16string>{u"Disk=Disk"});
    DWORD needed = 0, returned = 7;
    EXPECT_FAILS_WITH(EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_DRIVER, SERVICE_STATE_ALL,
                                            nullptr, 0, &needed, &returned, nullptr, nullptr),
                      ERROR_MORE_DATA);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(needed, 3 * sizeof(ENUM_SERVICE_STATUS_PROCESSW) + 2 * (5 + 5 + 5 + 32 + 7 + 7));
    CloseServiceHandle(manager);
}

TEST_F(ServiceManager, ConfigurationInTwoCalls)
{
    Enter();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    for (const char16_t *name : {u"mpio", u"qvxdsm"}) {
        SCOPED_TRACE(winsim::Narrow(name));
        SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG);
        DWORD needed = 0;
        EXPECT_FAILS_WITH(QueryServiceConfigW(service, nullptr, 0, &needed), ERROR_INSUFFICIENT_BUFFER);
        std::vector<BYTE> buffer(needed);
        auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
        ASSERT_EQ(QueryServiceConfigW(service, config, needed, &needed), TRUE);
        const bool mpio = name == std::u16string(u"mpio");
        EXPECT_EQ(config->dwStartType, mpio ? 0u : 3u);
        EXPECT_EQ(config->dwErrorControl, 1u);
        // Without DisplayName or ImagePath values: its name, an empty path.
        EXPECT_EQ(std::u16string(config->lpDisplayName), mpio ? u"Microsoft Multi-Path Bus Driver" : name);
        EXPECT_EQ(std::u16string(config->lpBinaryPathName), mpio ? u"System32\\drivers\\mpio.sys" : u"");
        const size_t dependencyUnits = mpio ? 6 : 1;   // "disk", its NUL and the list's; or the list's
        EXPECT_EQ(std::u16string(config->lpDependencies, dependencyUnits),
                  std::u16string(u"disk\0\0", 6).substr(mpio ? 0 : 5));
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

// The token holds Administrators as the machine says, Users always, no other
// group; only the thread's own token (NULL) is an impersonation token.
TEST_F(ServiceManager, TokenHoldsAdministratorsAsTheMachineSays)
{
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    const struct {
        DWORD group;
        bool administrator, member;
    } rows[] = {{DOMAIN_ALIAS_RID_ADMINS, true, true}, {DOMAIN_ALIAS_RID_ADMINS, false, false},
                {DOMAIN_ALIAS_RID_USERS, false, true}, {0x222, true, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.group);
        machine_.administrator = row.administrator;
        Enter();
        PSID sid = nullptr;
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, row.group, 0, 0, 0, 0, 0, 0, &sid);
        BOOL member = 2;
        EXPECT_EQ(CheckTokenMembership(nullptr, sid, &member), TRUE);
        EXPECT_EQ(member, row.member ? TRUE : FALSE);
        EXPECT_EQ(FreeSid(sid), nullptr);
    }
    HANDLE token = nullptr;
    PSID sid = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    EXPECT_FAILS_WITH(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid), ERROR_INVALID_PARAMETER);
    BYTE notASid[8] = {2, 1};
    BOOL member = FALSE;
    EXPECT_FAILS_WITH(CheckTokenMembership(nullptr, notASid, &member), ERROR_INVALID_SID);
    EXPECT_FAILS_WITH(CheckTokenMembership(token, notASid, &member), ERROR_NO_IMPERSONATION_TOKEN);
    EXPECT_EQ(FreeSid(notASid), static_cast<PVOID>(notASid));
    CloseHandle(token);
    EXPECT_EQ(winsim::OpenHandles(), 0u);
}

}  // namespace
