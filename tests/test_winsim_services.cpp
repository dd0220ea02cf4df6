// The stand-in's service control manager over the registry's services, and
// the group membership of the program's token.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "support/machine_test.h"
#include "winsim/machine.h"
#include "winsim/windows.h"

namespace {

using harness::U;

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
        harness::SetString(machine_, kServices + "mpio", "Group", "System Bus Extender");
        harness::SetMultiSz(machine_, kServices + "mpio", "DependOnService", {"disk"});
        harness::AddService(machine_, "Disk", 0);
        harness::AddService(machine_, "qvxdsm", 3, true);
        harness::SetDword(machine_, kServices + "halfmade", "Type", 1);   // no Start: not a service it lists
        harness::SetDword(machine_, kServices + "adapter", "Type", SERVICE_ADAPTER);
        harness::SetDword(machine_, kServices + "adapter", "Start", 3);
        harness::SetDword(machine_, kServices + "adapter", "ErrorControl", 1);
        machine_.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));   // runs "disk"
    }

    // The names one listing gives, in the manager's order, in calls of at
    // most 'bufferSize' bytes.
    std::vector<std::u16string> List(SC_HANDLE manager, DWORD state, DWORD bufferSize, int *calls = nullptr)
    {
        std::vector<std::u16string> names;
        std::vector<BYTE> buffer(bufferSize);
        DWORD needed = 0, returned = 0, resume = 0;
        for (int call = 1;; call++) {
            BOOL done = EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_DRIVER | SERVICE_WIN32, state,
                                              buffer.data(), bufferSize, &needed, &returned, &resume, nullptr);
            const auto *entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW *>(buffer.data());
            for (DWORD i = 0; i < returned; i++)
                names.push_back(std::u16string(entries[i].lpServiceName) + u"=" + entries[i].lpDisplayName);
            if (calls)
                *calls = call;
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
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = OpenServiceW(manager, u"MPIO", SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    const struct {
        const char *what;
        std::function<SC_HANDLE()> open;
        DWORD error;
    } opens[] = {
        {"another machine", [] { return OpenSCManagerW(u"\\\\server2", nullptr, SC_MANAGER_CONNECT); },
         ERROR_CALL_NOT_IMPLEMENTED},
        {"another database", [] { return OpenSCManagerW(nullptr, u"ServicesFailed", SC_MANAGER_CONNECT); },
         ERROR_DATABASE_DOES_NOT_EXIST},
        {"creating without elevation", [] { return OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE); },
         ERROR_ACCESS_DENIED},
        {"an unknown service", [&] { return OpenServiceW(manager, u"absent", SERVICE_QUERY_CONFIG); },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"a name with a backslash", [&] { return OpenServiceW(manager, u"mpio\\x", SERVICE_QUERY_CONFIG); },
         ERROR_INVALID_NAME},
        {"a key without Start", [&] { return OpenServiceW(manager, u"halfmade", SERVICE_QUERY_CONFIG); },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"changing without elevation", [&] { return OpenServiceW(manager, u"mpio", SERVICE_CHANGE_CONFIG); },
         ERROR_ACCESS_DENIED},
        {"a service handle as the manager", [&] { return OpenServiceW(service, u"mpio", 0); }, ERROR_INVALID_HANDLE},
    };
    for (const auto &row : opens) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.open(), nullptr);
        EXPECT_EQ(GetLastError(), row.error);
    }
    DWORD needed = 0, returned = 0;
    EXPECT_FAILS_WITH(QueryServiceConfigW(service, nullptr, 0, &needed), ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(EnumServicesStatusExW(service, SC_ENUM_PROCESS_INFO, SERVICE_DRIVER, SERVICE_STATE_ALL,
                                            nullptr, 0, &needed, &returned, nullptr, nullptr),
                      ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(EnumServicesStatusExW(manager, static_cast<SC_ENUM_TYPE>(1), SERVICE_DRIVER,
                                            SERVICE_STATE_ALL, nullptr, 0, &needed, &returned, nullptr, nullptr),
                      ERROR_INVALID_LEVEL);
    EXPECT_FAILS_WITH(EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_DRIVER, 4, nullptr, 0, &needed,
                                            &returned, nullptr, nullptr),
                      ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CloseServiceHandle(service), TRUE);
    EXPECT_EQ(CloseServiceHandle(manager), TRUE);
    EXPECT_FAILS_WITH(CloseServiceHandle(manager), ERROR_INVALID_HANDLE);
    EXPECT_EQ(winsim::OpenHandles(), 0u);
}

// Every service the manager knows, a marked one too, by name (ASCII case
// aside); one without a display name shown by its name; in as many calls as
// the buffer takes, each going on where the last stopped.
TEST_F(ServiceManager, ListsTheServicesInCallsThatGoOn)
{
    Enter();
    SC_HANDLE manager = OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ENUMERATE_SERVICE);
    const std::vector<std::u16string> all{u"Disk=Disk", u"mpio=Microsoft Multi-Path Bus Driver",
                                          u"qvxdsm=qvxdsm"};
    int calls = 0;
    EXPECT_EQ(List(manager, SERVICE_STATE_ALL, 4096, &calls), all);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(List(manager, SERVICE_STATE_ALL, 150, &calls), all);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(List(manager, SERVICE_ACTIVE, 4096), std::vector<std::u16string>{u"Disk=Disk"});

    DWORD needed = 0, returned = 7, resume = 0;
    EXPECT_FAILS_WITH(EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_DRIVER, SERVICE_STATE_ALL,
                                            nullptr, 0, &needed, &returned, &resume, nullptr),
                      ERROR_MORE_DATA);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(needed, 3 * sizeof(ENUM_SERVICE_STATUS_PROCESSW) + 2 * (5 + 5 + 5 + 32 + 7 + 7));
    CloseServiceHandle(manager);
}

TEST_F(ServiceManager, ConfigurationInTwoCalls)
{
    Enter();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    SC_HANDLE service = OpenServiceW(manager, u"mpio", SERVICE_QUERY_CONFIG);
    DWORD needed = 0;
    EXPECT_FAILS_WITH(QueryServiceConfigW(service, nullptr, 0, &needed), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(needed);
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    EXPECT_FAILS_WITH(QueryServiceConfigW(service, config, needed - 1, &needed), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(QueryServiceConfigW(service, config, needed, &needed), TRUE);
    EXPECT_EQ(config->dwServiceType, 1u);
    EXPECT_EQ(config->dwStartType, 0u);
    EXPECT_EQ(config->dwErrorControl, 1u);
    EXPECT_EQ(std::u16string(config->lpBinaryPathName), u"System32\\drivers\\mpio.sys");
    EXPECT_EQ(std::u16string(config->lpLoadOrderGroup), u"System Bus Extender");
    EXPECT_EQ(std::u16string(config->lpDependencies, 6), std::u16string(u"disk\0\0", 6));
    EXPECT_EQ(std::u16string(config->lpDisplayName), u"Microsoft Multi-Path Bus Driver");
    CloseServiceHandle(service);

    // Without DisplayName or ImagePath values: its name, an empty path.
    service = OpenServiceW(manager, u"qvxdsm", SERVICE_QUERY_CONFIG);
    QueryServiceConfigW(service, nullptr, 0, &needed);
    buffer.assign(needed, 0);
    config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    ASSERT_EQ(QueryServiceConfigW(service, config, needed, &needed), TRUE);
    EXPECT_EQ(std::u16string(config->lpDisplayName), u"qvxdsm");
    EXPECT_EQ(std::u16string(config->lpBinaryPathName), u"");
    EXPECT_EQ(config->dwStartType, 3u);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// ---------------------------------------------------------------------------
// Group membership
// ---------------------------------------------------------------------------
TEST_F(ServiceManager, TokenHoldsAdministratorsAsTheMachineSays)
{
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    for (bool administrator : {true, false}) {
        SCOPED_TRACE(administrator ? "administrator" : "not elevated");
        machine_.administrator = administrator;
        Enter();
        PSID admins = nullptr, users = nullptr, other = nullptr;
        ASSERT_EQ(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                           0, 0, &admins),
                  TRUE);
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0, &users);
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, 0x222, 0, 0, 0, 0, 0, 0, &other);
        BOOL member = 2;
        EXPECT_EQ(CheckTokenMembership(nullptr, admins, &member), TRUE);
        EXPECT_EQ(member, administrator ? TRUE : FALSE);
        CheckTokenMembership(nullptr, users, &member);
        EXPECT_EQ(member, TRUE);
        CheckTokenMembership(nullptr, other, &member);
        EXPECT_EQ(member, FALSE);
        for (PSID sid : {admins, users, other})
            EXPECT_EQ(FreeSid(sid), nullptr);
        EXPECT_EQ(winsim::OpenHandles(), 0u);
    }

    PSID sid = nullptr;
    EXPECT_FAILS_WITH(AllocateAndInitializeSid(&nt, 0, 0, 0, 0, 0, 0, 0, 0, 0, &sid), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid), ERROR_INVALID_PARAMETER);
    BYTE notASid[8] = {2, 1};
    BOOL member = FALSE;
    EXPECT_FAILS_WITH(CheckTokenMembership(nullptr, notASid, &member), ERROR_INVALID_SID);
    EXPECT_EQ(FreeSid(notASid), static_cast<PVOID>(notASid));
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    AllocateAndInitializeSid(&nt, 1, SECURITY_BUILTIN_DOMAIN_RID, 0, 0, 0, 0, 0, 0, 0, &sid);
    EXPECT_FAILS_WITH(CheckTokenMembership(token, sid, &member), ERROR_NO_IMPERSONATION_TOKEN);
    FreeSid(sid);
    CloseHandle(token);
}

}  // namespace
