// The stand-in's device installation library, configuration manager and
// new-device library: device information sets, registry properties, class
// installer requests, devnode status, the driver store and driver updates.
#include <gtest/gtest.h>

#include <cstring>

#include "setupapi_internal.h"
#include "support/machine_test.h"

namespace {

using harness::U;

const std::string kAdapter = "PCI\\VEN_1000&DEV_0054\\4&2A&0&00A8";
const std::string kPhantom = "PCI\\VEN_1000&DEV_0055\\4&2A&0&00B0";
const std::string kDsm = "ROOT\\SYSTEM\\0001";

std::vector<uint8_t> MultiSz(const std::vector<std::u16string> &strings)
{
    std::vector<uint8_t> bytes;
    for (const auto &s : strings) {
        for (char16_t unit : s) {
            bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
            bytes.push_back(static_cast<uint8_t>(unit >> 8));
        }
        bytes.insert(bytes.end(), {0, 0});
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

class SetupApiTest : public harness::MachineTest {
protected:
    // Devices 1..4: a started adapter, a disk, an adapter that is not
    // plugged in, the MPIO bus device; then a DSM system device.
    void SetUp() override
    {
        machine_ = harness::Gen5();
        machine_.devices.push_back(harness::ScsiAdapter(kAdapter, {"PCI\\VEN_1000&DEV_0054"}, "Tessella SAS Adapter"));
        machine_.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));
        machine_.devices.push_back(harness::ScsiAdapter(kPhantom, {"PCI\\VEN_1000&DEV_0055"}, "Spare Adapter"));
        machine_.devices.back().present = false;
        machine_.devices.push_back(harness::MpioBus("Detected\\MPIO"));
        machine_.devices.push_back(harness::SystemDevice(kDsm, {"Other\\ID", "root\\qvxdsm"}, "Old DSM"));
        Enter();
    }

    void TearDown() override
    {
        for (HDEVINFO set : sets_)
            SetupDiDestroyDeviceInfoList(set);
        EXPECT_EQ(winsim::OpenDeviceInfoSets(), 0u);
    }

    HDEVINFO ClassSet(const GUID &guid, DWORD flags = 0)
    {
        HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags);
        if (set != INVALID_HANDLE_VALUE)
            sets_.push_back(set);
        return set;
    }

    std::vector<std::string> InstanceIds(const GUID &guid, DWORD flags = 0)
    {
        HDEVINFO set = ClassSet(guid, flags);
        std::vector<std::string> ids;
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); i++)
            ids.push_back(winsim::Narrow(winsim::Current().devices[data.DevInst - 1].instanceId));
        return ids;
    }

    // The element of a fresh class set whose device has the instance ID.
    SP_DEVINFO_DATA Element(const GUID &guid, const std::string &instanceId, HDEVINFO &set)
    {
        set = ClassSet(guid);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); i++)
            if (winsim::Narrow(winsim::Current().devices[data.DevInst - 1].instanceId) == instanceId)
                return data;
        ADD_FAILURE() << "no element " << instanceId;
        return data;
    }

    winsim::Device &DeviceNo(DEVINST devInst) { return winsim::Current().devices[devInst - 1]; }

    std::vector<HDEVINFO> sets_;
};

// ---------------------------------------------------------------------------
// Sets and enumeration
// ---------------------------------------------------------------------------

TEST_F(SetupApiTest, ClassSetsListRecordedDevicesInMachineOrder)
{
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_EQ(InstanceIds(GUID_DEVCLASS_SCSIADAPTER), (std::vector<std::string>{kAdapter, kPhantom, "ROOT\\MPIO\\0000"}));
    EXPECT_EQ(InstanceIds(GUID_DEVCLASS_SCSIADAPTER, DIGCF_PRESENT),
              (std::vector<std::string>{kAdapter, "ROOT\\MPIO\\0000"}));
    winsim::Current().devices[0].removed = true;
    winsim::Current().devices[2].registered = false;
    EXPECT_EQ(InstanceIds(GUID_DEVCLASS_SCSIADAPTER), (std::vector<std::string>{"ROOT\\MPIO\\0000"}));
    EXPECT_TRUE(winsim::TraceHas("SetupDiGetClassDevsW", "flags=0x2"));
}

TEST_F(SetupApiTest, EnumerationChecksTheRecordAndEndsWithNoMoreItems)
{
    HDEVINFO set = ClassSet(GUID_DEVCLASS_SCSIADAPTER);
    SP_DEVINFO_DATA data{};
    data.cbSize = 28;   // the 32-bit size is wrong here
    EXPECT_FAILS_WITH(SetupDiEnumDeviceInfo(set, 0, &data), ERROR_INVALID_USER_BUFFER);
    data.cbSize = sizeof data;
    EXPECT_FAILS_WITH(SetupDiEnumDeviceInfo(INVALID_HANDLE_VALUE, 0, &data), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(SetupDiEnumDeviceInfo(set, 3, &data), ERROR_NO_MORE_ITEMS);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 2, &data));
    EXPECT_EQ(data.DevInst, 4u);
    EXPECT_TRUE(data.ClassGuid == GUID_DEVCLASS_SCSIADAPTER);
    EXPECT_FAILS_WITH(SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE), ERROR_INVALID_HANDLE);
}

TEST_F(SetupApiTest, GeneratedIdsTakeTheFirstFreeNumberAndLeaveWithTheirSet)
{
    winsim::Device taken = harness::ScsiAdapter("ROOT\\MPIO\\0002", {"X"}, "x");
    winsim::Current().devices.push_back(taken);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SCSIADAPTER, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = 28;
    EXPECT_FAILS_WITH(SetupDiCreateDeviceInfoW(set, u"mpio", &GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr,
                                               DICD_GENERATE_ID, &data),
                      ERROR_INVALID_USER_BUFFER);
    data.cbSize = sizeof data;
    EXPECT_FAILS_WITH(SetupDiCreateDeviceInfoW(set, u"mpio", &GUID_DEVCLASS_SYSTEM, nullptr, nullptr,
                                               DICD_GENERATE_ID, &data),
                      ERROR_CLASS_MISMATCH);
    EXPECT_FAILS_WITH(SetupDiCreateDeviceInfoW(set, u"ROOT\\MPIO", &GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr,
                                               DICD_GENERATE_ID, &data),
                      ERROR_INVALID_DEVINST_NAME);
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, u"mpio", &GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr,
                                         DICD_GENERATE_ID, &data));
    EXPECT_EQ(DeviceNo(data.DevInst).instanceId, u"ROOT\\MPIO\\0001");
    // Not registered: no class set shows it.
    EXPECT_EQ(InstanceIds(GUID_DEVCLASS_SCSIADAPTER).size(), 4u);
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_TRUE(DeviceNo(data.DevInst).removed);
}

TEST_F(SetupApiTest, RegisteredRootDeviceStaysPresentWithoutADriver)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, u"MPIO", &GUID_DEVCLASS_SYSTEM, nullptr, nullptr, DICD_GENERATE_ID,
                                         &data));
    auto ids = MultiSz({u"Root\\QVXDSM"});
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, ids.data(),
                                                  static_cast<DWORD>(ids.size())));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
    const DEVINST devInst = data.DevInst;
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));

    const winsim::Device &device = DeviceNo(devInst);
    EXPECT_FALSE(device.removed);
    EXPECT_TRUE(device.present);
    EXPECT_EQ(device.enumerator, std::optional<std::u16string>(u"ROOT"));
    EXPECT_TRUE(device.driverInf.empty());
    ULONG status = 0, problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, devInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_TRUE(status & DN_ROOT_ENUMERATED);
    EXPECT_FALSE(status & DN_STARTED);
    EXPECT_EQ(InstanceIds(GUID_DEVCLASS_SYSTEM, DIGCF_PRESENT),
              (std::vector<std::string>{kDsm, "ROOT\\MPIO\\0001"}));
}

// ---------------------------------------------------------------------------
// Registry properties
// ---------------------------------------------------------------------------

TEST_F(SetupApiTest, PropertyReadsReportSizesAndAbsentProperties)
{
    HDEVINFO set;
    SP_DEVINFO_DATA data = Element(GUID_DEVCLASS_SYSTEM, kDsm, set);
    BYTE buffer[2052];
    DWORD required = 0, type = 0;
    EXPECT_FAILS_WITH(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MFG, &type, buffer, 2052, &required),
                      ERROR_INVALID_REG_PROPERTY);
    EXPECT_FAILS_WITH(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, &type, buffer, 2052, &required),
                      ERROR_INVALID_DATA);   // no driver, no service
    DeviceNo(data.DevInst).service = u"qvxdsm";
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, &type, buffer, 2052, &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buffer)), u"qvxdsm");
    SP_DEVINFO_DATA wrong = data;
    wrong.cbSize = 28;
    EXPECT_FAILS_WITH(SetupDiGetDeviceRegistryPropertyW(set, &wrong, SPDRP_HARDWAREID, &type, buffer, 2052, nullptr),
                      ERROR_INVALID_PARAMETER);
    // "Other\ID", "root\qvxdsm": (8 + 1 + 11 + 1 + 1) units.
    EXPECT_FAILS_WITH(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, buffer, 10, &required),
                      ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 44u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, buffer, 44, &required));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 44), MultiSz({u"Other\\ID", u"root\\qvxdsm"}));

    DeviceNo(data.DevInst).description.reset();
    EXPECT_FAILS_WITH(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_DEVICEDESC, nullptr, buffer, 2052, nullptr),
                      ERROR_INVALID_DATA);
    EXPECT_FAILS_WITH(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_COMPATIBLEIDS, &type, buffer, 2052, &required),
                      ERROR_INVALID_DATA);
    DeviceNo(data.DevInst).compatibleIds = std::vector<std::u16string>{u"SCSI\\Disk", u"GenDisk"};
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_COMPATIBLEIDS, &type, buffer, 2052, &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + required), MultiSz({u"SCSI\\Disk", u"GenDisk"}));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_ENUMERATOR_NAME, &type, buffer, 2052, &required));
    EXPECT_EQ(required, 10u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buffer)), u"ROOT");
}

TEST_F(SetupApiTest, InstanceIdInTwoCalls)
{
    HDEVINFO set;
    SP_DEVINFO_DATA data = Element(GUID_DEVCLASS_SYSTEM, kDsm, set);
    WCHAR id[32];
    DWORD required = 0;
    EXPECT_FAILS_WITH(SetupDiGetDeviceInstanceIdW(nullptr, &data, id, 32, &required), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(SetupDiGetDeviceInstanceIdW(set, nullptr, id, 32, &required), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(SetupDiGetDeviceInstanceIdW(set, &data, nullptr, 32, &required), ERROR_INVALID_USER_BUFFER);
    EXPECT_FAILS_WITH(SetupDiGetDeviceInstanceIdW(set, &data, nullptr, 0, &required), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 17u);
    EXPECT_FAILS_WITH(SetupDiGetDeviceInstanceIdW(set, &data, id, 16, nullptr), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(set, &data, id, 17, nullptr));
    EXPECT_EQ(std::u16string(id), U(kDsm));
}

TEST_F(SetupApiTest, HardwareIdListsOfAnyLengthAreKeptUpToTheirEnd)
{
    HDEVINFO set;
    SP_DEVINFO_DATA data = Element(GUID_DEVCLASS_DISKDRIVE, winsim::Narrow(winsim::Current().devices[1].instanceId), set);
    std::vector<std::u16string> many;
    for (int i = 0; i < 120; i++)
        many.push_back(u"SCSI\\DiskVENDOR__PRODUCT_" + U(std::to_string(i)));
    auto bytes = MultiSz(many);
    ASSERT_GT(bytes.size(), 2052u);
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, bytes.data(),
                                                  static_cast<DWORD>(bytes.size())));
    std::vector<BYTE> buffer(4096);
    DWORD required = 0;
    EXPECT_FAILS_WITH(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr, buffer.data(), 2052,
                                                        &required),
                      ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, bytes.size());

    // Bytes that are no closed list: the strings up to the first empty one,
    // a last string without its NUL, no odd last byte.
    const uint8_t unclosed[] = {'A', 0, 0, 0, 'B', 0, 'C', 0, 'D'};
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, unclosed, sizeof unclosed));
    EXPECT_EQ(*DeviceNo(data.DevInst).hardwareIds, (std::vector<std::u16string>{u"A", u"BC"}));
    const uint8_t gap[] = {'A', 0, 0, 0, 0, 0, 'B', 0, 0, 0, 0, 0};
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, gap, sizeof gap));
    EXPECT_EQ(*DeviceNo(data.DevInst).hardwareIds, (std::vector<std::u16string>{u"A"}));
}

// A bus goes on reporting a device's own hardware IDs: the first list a
// program replaces is kept for the next boot.  A root device has no bus but
// what is stored.
TEST_F(SetupApiTest, ReplacedHardwareIdsKeepWhatTheBusReports)
{
    HDEVINFO set;
    const winsim::Device &disk = winsim::Current().devices[1];
    const std::vector<std::u16string> reported = *disk.hardwareIds;
    SP_DEVINFO_DATA data = Element(GUID_DEVCLASS_DISKDRIVE, winsim::Narrow(disk.instanceId), set);
    for (const char16_t *id : {u"MPIODisk", u"Other"}) {
        auto ids = MultiSz({id});
        ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, ids.data(),
                                                      static_cast<DWORD>(ids.size())));
    }
    EXPECT_EQ(DeviceNo(data.DevInst).busHardwareIds, reported);

    SP_DEVINFO_DATA root = Element(GUID_DEVCLASS_SYSTEM, kDsm, set);
    auto ids = MultiSz({u"Root\\Other"});
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &root, SPDRP_HARDWAREID, ids.data(),
                                                  static_cast<DWORD>(ids.size())));
    EXPECT_FALSE(DeviceNo(root.DevInst).busHardwareIds.has_value());
}

TEST_F(SetupApiTest, ConfigFlagsAreFourBytesAndTheEnumeratorIsReadOnly)
{
    HDEVINFO set;
    SP_DEVINFO_DATA data = Element(GUID_DEVCLASS_SCSIADAPTER, kAdapter, set);
    DWORD flags = CONFIGFLAG_REINSTALL;
    EXPECT_FAILS_WITH(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_CONFIGFLAGS, reinterpret_cast<BYTE *>(&flags), 2),
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_ENUMERATOR_NAME,
                                                        reinterpret_cast<const BYTE *>(u"MPIO"), 10),
                      ERROR_INVALID_REG_PROPERTY);
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_CONFIGFLAGS, reinterpret_cast<BYTE *>(&flags), 4));
    DWORD read = 0, required = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_CONFIGFLAGS, nullptr,
                                                  reinterpret_cast<BYTE *>(&read), 4, &required));
    EXPECT_EQ(read, static_cast<DWORD>(CONFIGFLAG_REINSTALL));
    EXPECT_EQ(required, 4u);
}

// ---------------------------------------------------------------------------
// Class installer requests
// ---------------------------------------------------------------------------

SP_REMOVEDEVICE_PARAMS RemoveParams()
{
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    return params;
}

SP_PROPCHANGE_PARAMS PropChangeParams()
{
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    return params;
}

DWORD InstallFlags(HDEVINFO set, SP_DEVINFO_DATA &data)
{
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    EXPECT_TRUE(SetupDiGetDeviceInstallParamsW(set, &data, &params));
    return params.Flags;
}

TEST_F(SetupApiTest, ClassInstallParamsAreCheckedPerRequest)
{
    HDEVINFO set;
    SP_DEVINFO_DATA data = Element(GUID_DEVCLASS_SCSIADAPTER, kAdapter, set);
    SP_REMOVEDEVICE_PARAMS remove = RemoveParams();
    remove.ClassInstallHeader.cbSize = 0;
    EXPECT_FAILS_WITH(SetupDiSetClassInstallParamsW(set, &data, &remove.ClassInstallHeader, sizeof remove),
                      ERROR_INVALID_USER_BUFFER);
    remove = RemoveParams();
    EXPECT_FAILS_WITH(SetupDiSetClassInstallParamsW(set, &data, &remove.ClassInstallHeader, 20),
                      ERROR_INVALID_PARAMETER);
    SP_PROPCHANGE_PARAMS change = PropChangeParams();
    change.StateChange = 9;
    EXPECT_FAILS_WITH(SetupDiSetClassInstallParamsW(set, &data, &change.ClassInstallHeader, sizeof change),
                      ERROR_INVALID_FLAGS);
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &remove.ClassInstallHeader, sizeof remove));
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetClassInstallParamsW", "size=16 dif=0x5 scope=1 profile=0"));

    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = 556;   // the 32-bit size is wrong here
    EXPECT_FAILS_WITH(SetupDiGetDeviceInstallParamsW(set, &data, &params), ERROR_INVALID_USER_BUFFER);
}

TEST_F(SetupApiTest, RemovalTakesTheDeviceOffTheMachine)
{
    HDEVINFO set;
    SP_DEVINFO_DATA data = Element(GUID_DEVCLASS_SCSIADAPTER, kAdapter, set);
    const DEVINST devInst = data.DevInst;
    SP_REMOVEDEVICE_PARAMS remove = RemoveParams();
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &remove.ClassInstallHeader, sizeof remove));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
    EXPECT_TRUE(winsim::TraceHas("SetupDiCallClassInstaller", "dif=0x5 device=" + kAdapter));
    EXPECT_EQ(InstallFlags(set, data), 0u);
    EXPECT_TRUE(DeviceNo(devInst).removed);
    ULONG status, problem;
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, devInst, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(InstanceIds(GUID_DEVCLASS_SCSIADAPTER), (std::vector<std::string>{kPhantom, "ROOT\\MPIO\\0000"}));
}

TEST_F(SetupApiTest, RemovalThatIsRefusedOrNeedsARebootKeepsTheDevice)
{
    winsim::Current().devices[0].refuseRemoval = true;
    winsim::Current().devices[3].installFlagsAfterChange = DI_NEEDREBOOT;
    HDEVINFO set;
    SP_DEVINFO_DATA adapter = Element(GUID_DEVCLASS_SCSIADAPTER, kAdapter, set);
    EXPECT_FAILS_WITH(SetupDiCallClassInstaller(DIF_REMOVE, set, &adapter), ERROR_NOT_DISABLEABLE);
    EXPECT_FALSE(DeviceNo(1).removed);

    SP_DEVINFO_DATA bus = Element(GUID_DEVCLASS_SCSIADAPTER, "ROOT\\MPIO\\0000", set);
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &bus));
    EXPECT_EQ(InstallFlags(set, bus), static_cast<DWORD>(DI_NEEDREBOOT));
    EXPECT_TRUE(DeviceNo(4).status & DN_WILL_BE_REMOVED);
    EXPECT_TRUE(winsim::Current().rebootPending);
    winsim::Reboot(winsim::Current());
    EXPECT_TRUE(DeviceNo(4).removed);
}

TEST_F(SetupApiTest, PropertyChangeRestartsAndReportsWhatTheDeviceAsks)
{
    winsim::Current().devices[0].installFlagsAfterChange = DI_NEEDRESTART;
    HDEVINFO set;
    SP_DEVINFO_DATA data = Element(GUID_DEVCLASS_SCSIADAPTER, kAdapter, set);
    EXPECT_FAILS_WITH(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data), ERROR_NO_CLASSINSTALL_PARAMS);
    SP_PROPCHANGE_PARAMS change = PropChangeParams();
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &change.ClassInstallHeader, sizeof change));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
    EXPECT_EQ(DeviceNo(1).restarts, 1u);
    EXPECT_EQ(InstallFlags(set, data), static_cast<DWORD>(DI_NEEDRESTART));
    EXPECT_TRUE(DeviceNo(1).status & DN_NEED_RESTART);
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetClassInstallParamsW", "size=20 dif=0x12 state=3 scope=2 profile=0"));
}

TEST_F(SetupApiTest, RemovingAnUnregisteredElementJustDropsIt)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
    sets_.push_back(set);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, u"MPIO", &GUID_DEVCLASS_SYSTEM, nullptr, nullptr, DICD_GENERATE_ID,
                                         &data));
    const DEVINST devInst = data.DevInst;
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
    EXPECT_TRUE(DeviceNo(devInst).removed);
    EXPECT_FALSE(winsim::Current().rebootPending);
}

TEST_F(SetupApiTest, DeviceCallsAskTheFaultPlanByInstanceId)
{
    winsim::Current().faults.push_back(harness::FaultOn("SetupDiCallClassInstaller", ERROR_NOT_DISABLEABLE, kPhantom));
    HDEVINFO set;
    SP_DEVINFO_DATA adapter = Element(GUID_DEVCLASS_SCSIADAPTER, kAdapter, set);
    SP_DEVINFO_DATA phantom = Element(GUID_DEVCLASS_SCSIADAPTER, kPhantom, set);
    EXPECT_FAILS_WITH(SetupDiCallClassInstaller(DIF_REMOVE, set, &phantom), ERROR_NOT_DISABLEABLE);
    EXPECT_FALSE(DeviceNo(phantom.DevInst).removed);
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &adapter));
}

// ---------------------------------------------------------------------------
// CM_Get_DevNode_Status
// ---------------------------------------------------------------------------

TEST_F(SetupApiTest, DevNodeStatusOfDevicesInTheTree)
{
    ULONG status = 0, problem = 0;
    EXPECT_EQ(CM_Get_DevNode_Status(nullptr, &problem, 1, 0), static_cast<CONFIGRET>(CR_INVALID_POINTER));
    EXPECT_EQ(CM_Get_DevNode_Status(&status, nullptr, 1, 0), static_cast<CONFIGRET>(CR_INVALID_POINTER));
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, 1, 1), static_cast<CONFIGRET>(CR_INVALID_FLAG));
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, 3, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, 99, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    winsim::Current().devices[3].status |= DN_WILL_BE_REMOVED;
    winsim::Current().devices[3].problem = 21;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, 4, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(status, static_cast<ULONG>(DN_ROOT_ENUMERATED | DN_DRIVER_LOADED | DN_STARTED | DN_WILL_BE_REMOVED));
    EXPECT_EQ(problem, 21u);
}

// ---------------------------------------------------------------------------
// INF classes, the driver store and driver updates
// ---------------------------------------------------------------------------

const std::string kDsmInf = R"([Version]
Signature   = "$WINDOWS NT$"
Class       = System
ClassGuid   = {4D36E97D-E325-11CE-BFC1-08002BE10318}
[DestinationDirs]
DefaultDestDir = 12
[Manufacturer]
%Provider% = Models, NTamd64
[Models]
%Wrong% = DsmInstall, Root\QVXDSM
[Models.NTamd64]
%Desc% = DsmInstall, Root\QVXDSM
[DsmInstall.NT]
CopyFiles = DsmFiles
AddReg    = DsmReg
[DsmInstall.NT.Services]
AddService = qvxdsm, 0x00000002, DsmService
[DsmFiles]
qvxdsm.sys
[DsmReg]
HKLM, SYSTEM\CurrentControlSet\Control\MPDEV, MPIOSupportedDeviceList, 0x00010008, "QUORVEX LUMENSTRIDE     "
HKR, , DriverValue, 0x00010001, 1
[DsmService]
ServiceType   = 1
StartType     = 0
ErrorControl  = 1
ServiceBinary = %12%\qvxdsm.sys
[Strings]
Provider = "Quorvex Storage"
Desc     = "Quorvex Lumenstride Device Specific Module"
Wrong    = "Undecorated model"
)";

class DriverTest : public SetupApiTest {
protected:
    void SetUp() override
    {
        SetupApiTest::SetUp();
        winsim::Current().os.arch = "amd64";   // an XP x64-class machine: NTamd64 sections apply
        scratch_.WriteFile("pkg/qvxdsm.inf", kDsmInf);
        scratch_.WriteFile("pkg/qvxdsm.sys", "driver");
        inf_ = U(scratch_.Path("pkg") + "\\qvxdsm.inf");
    }

    BOOL Update(const char16_t *hardwareId, DWORD flags, BOOL *reboot)
    {
        return UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, inf_.c_str(), flags, reboot);
    }

    std::u16string inf_;
};

TEST_F(DriverTest, InfClassComesFromTheVersionSection)
{
    GUID guid{};
    WCHAR name[32];
    DWORD required = 0;
    EXPECT_FAILS_WITH(SetupDiGetINFClassW(U(scratch_.Path("none.inf")).c_str(), &guid, name, 32, nullptr),
                      ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(SetupDiGetINFClassW(inf_.c_str(), &guid, name, 6, &required), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 7u);
    ASSERT_TRUE(SetupDiGetINFClassW(inf_.c_str(), &guid, name, 32, nullptr));
    EXPECT_TRUE(guid == GUID_DEVCLASS_SYSTEM);
    EXPECT_EQ(std::u16string(name), u"System");
}

TEST_F(DriverTest, CopiedInfsArePublishedUnderTheFirstFreeOemName)
{
    EXPECT_FAILS_WITH(SetupCopyOEMInfW(U(scratch_.Path("none.inf")).c_str(), nullptr, SPOST_PATH, 0, nullptr, 0,
                                       nullptr, nullptr),
                      ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(SetupCopyOEMInfW(inf_.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    ASSERT_TRUE(SetupCopyOEMInfW(inf_.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    scratch_.WriteFile("pkg/other.inf", kDsmInf + "; another revision\n");
    WCHAR path[MAX_PATH];
    PWSTR component = nullptr;
    DWORD required = 0;
    const std::u16string other = U(scratch_.Path("pkg/other.inf"));
    EXPECT_FAILS_WITH(SetupCopyOEMInfW(other.c_str(), nullptr, SPOST_PATH, 0, path, 10, &required, &component),
                      ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 24u);
    ASSERT_TRUE(SetupCopyOEMInfW(other.c_str(), nullptr, SPOST_PATH, 0, path, MAX_PATH, &required, &component));
    EXPECT_EQ(std::u16string(path), u"C:\\Windows\\INF\\oem1.inf");
    EXPECT_EQ(std::u16string(component), u"oem1.inf");
    const auto &store = winsim::Current().driverStore;
    ASSERT_EQ(store.size(), 2u);
    EXPECT_EQ(store[0].publishedName, u"oem0.inf");
    EXPECT_EQ(store[0].originalPath, inf_);
}

TEST_F(DriverTest, UpdateFailsWithoutAPresentDeviceOrInf)
{
    BOOL reboot = 7;
    EXPECT_FAILS_WITH(Update(u"Root\\QVXDSM", 0x8, &reboot), ERROR_INVALID_FLAGS);
    EXPECT_FAILS_WITH(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"Root\\QVXDSM",
                                                         U(scratch_.Path("none.inf")).c_str(), 0, &reboot),
                      ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(Update(u"ROOT\\MPIO", 0, &reboot), ERROR_NO_SUCH_DEVINST);
    winsim::Current().devices[4].present = false;
    EXPECT_FAILS_WITH(Update(u"Root\\QVXDSM", 0, &reboot), ERROR_NO_SUCH_DEVINST);
    EXPECT_EQ(reboot, 7);
    EXPECT_TRUE(winsim::Current().driverStore.empty());
}

// x64 Windows ignores an undecorated models section, 32-bit Windows falls
// back to it, and Windows 2000 reads nothing else.
TEST_F(DriverTest, ModelsSectionFollowsTheMachinesPlatform)
{
    const std::string head = R"([Version]
Signature = "$WINDOWS NT$"
Class     = System
ClassGuid = {4D36E97D-E325-11CE-BFC1-08002BE10318}
[Manufacturer]
Quorvex = Models, NTamd64
[Models]
"Plain model" = Plain, Root\QVXDSM
)";
    const std::string x64Models = "[Models.NTamd64]\n\"X64 model\" = Plain, Root\\QVXDSM\n";
    const std::string install = R"([Plain]
[Plain.Services]
AddService = qvxdsm, 0x00000002, PlainService
[PlainService]
ServiceType   = 1
StartType     = 3
ErrorControl  = 1
ServiceBinary = %12%\qvxdsm.sys
)";
    scratch_.WriteFile("pkg/plain.inf", head + install);
    scratch_.WriteFile("pkg/both.inf", head + x64Models + install);
    const std::u16string plain = U(scratch_.Path("pkg") + "\\plain.inf");
    const std::u16string both = U(scratch_.Path("pkg") + "\\both.inf");
    BOOL reboot = FALSE;

    EXPECT_FAILS_WITH(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"Root\\QVXDSM", plain.c_str(), 0, &reboot),
                      ERROR_NO_COMPAT_DRIVERS);
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"Root\\QVXDSM", both.c_str(), INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(DeviceNo(5).description, std::optional<std::u16string>(u"X64 model"));

    winsim::Current().os.arch = "x86";
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"Root\\QVXDSM", plain.c_str(), INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(DeviceNo(5).description, std::optional<std::u16string>(u"Plain model"));

    winsim::Current().os = winsim::OsInfo{5, 0, 2195, u"", ""};
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"Root\\QVXDSM", both.c_str(), INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(DeviceNo(5).description, std::optional<std::u16string>(u"Plain model"));
}

TEST_F(DriverTest, UpdateInstallsTheSelectedDriverOnEveryMatchingDevice)
{
    winsim::Device second = harness::SystemDevice("ROOT\\SYSTEM\\0002", {"ROOT\\QVXDSM"}, "");
    second.configFlags = CONFIGFLAG_REINSTALL;
    winsim::Current().devices.push_back(second);
    BOOL reboot = 7;
    ASSERT_TRUE(Update(u"Root\\QVXDSM", 0, &reboot));
    EXPECT_EQ(reboot, FALSE);
    for (DEVINST devInst : {5u, 6u}) {
        const winsim::Device &device = DeviceNo(devInst);
        EXPECT_EQ(device.driverInf, u"oem0.inf");
        EXPECT_EQ(device.service, u"qvxdsm");
        EXPECT_EQ(device.description, std::optional<std::u16string>(u"Quorvex Lumenstride Device Specific Module"));
        EXPECT_EQ(device.status & (DN_STARTED | DN_HAS_PROBLEM), static_cast<uint32_t>(DN_STARTED));
    }
    EXPECT_EQ(DeviceNo(6).configFlags, std::optional<uint32_t>(CONFIGFLAG_REINSTALL));
    EXPECT_TRUE(winsim::FindService(winsim::Current(), u"qvxdsm"));
    ASSERT_EQ(winsim::Current().files.size(), 1u);
    EXPECT_EQ(winsim::Current().files[0].destination, u"12\\qvxdsm.sys");
    EXPECT_EQ(harness::GetMultiSz(winsim::Current(), "SYSTEM\\CurrentControlSet\\Control\\MPDEV",
                                  "MPIOSupportedDeviceList"),
              (std::vector<std::string>{"QUORVEX LUMENSTRIDE     "}));
    EXPECT_EQ(harness::GetDword(winsim::Current(),
                                "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0004",
                                "DriverValue"),
              1u);

    // The same driver again is no better; forced, it is installed again.
    EXPECT_FAILS_WITH(Update(u"Root\\QVXDSM", 0, &reboot), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(Update(u"Root\\QVXDSM", INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(winsim::Current().driverStore.size(), 1u);
}

// The driver's version: its install section's DriverVer before [Version]'s.
TEST_F(DriverTest, UpdateGivesTheDeviceTheVersionOfItsDriver)
{
    const struct {
        const char *version;   // [Version] DriverVer, "" for none
        const char *install;   // [DsmInstall.NT] DriverVer, "" for none
        const char16_t *driverVersion;
    } cases[] = {
        {"12/08/2026,2.4.1.0", "", u"2.4.1.0"},
        {"12/08/2026,2.4.1.0", "01/02/2027,2.5", u"2.5.0.0"},
        {"12/08/2026,2.4.1.0", "2027-01-02,2.5", u""},
        {"", "", u""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.version) + " / " + c.install);
        std::string inf = kDsmInf;
        if (*c.version)
            inf.insert(inf.find("[DestinationDirs]"), std::string("DriverVer = ") + c.version + "\n");
        if (*c.install)
            inf.insert(inf.find("CopyFiles = DsmFiles"), std::string("DriverVer = ") + c.install + "\n");
        scratch_.WriteFile("pkg/qvxdsm.inf", inf);
        ASSERT_TRUE(Update(u"Root\\QVXDSM", INSTALLFLAG_FORCE, nullptr));
        EXPECT_EQ(DeviceNo(5).driverVersion, c.driverVersion);
    }
}

TEST_F(DriverTest, UpdateReportsTheRebootADeviceAsksFor)
{
    winsim::Current().devices[4].installFlagsAfterChange = DI_NEEDREBOOT;
    BOOL reboot = FALSE;
    ASSERT_TRUE(Update(u"root\\QVXDSM", 0, &reboot));
    EXPECT_EQ(reboot, TRUE);
    EXPECT_TRUE(DeviceNo(5).status & DN_NEED_RESTART);
}

TEST_F(DriverTest, UpdateFailsWhileItsServiceIsMarkedForDeletion)
{
    harness::AddService(winsim::Current(), "qvxdsm", 3, true);
    BOOL reboot = FALSE;
    EXPECT_FAILS_WITH(Update(u"Root\\QVXDSM", INSTALLFLAG_FORCE, &reboot), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_TRUE(DeviceNo(5).driverInf.empty());
}

TEST_F(DriverTest, CreatedRootDeviceTakesTheDriver)
{
    winsim::Current().devices.erase(winsim::Current().devices.begin() + 4);
    BOOL reboot = FALSE;
    EXPECT_FAILS_WITH(Update(u"Root\\QVXDSM", INSTALLFLAG_FORCE, &reboot), ERROR_NO_SUCH_DEVINST);

    GUID guid;
    WCHAR className[32];
    ASSERT_TRUE(SetupDiGetINFClassW(inf_.c_str(), &guid, className, 32, nullptr));
    HDEVINFO set = SetupDiCreateDeviceInfoList(&guid, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, u"MPIO", &guid, nullptr, nullptr, DICD_GENERATE_ID, &data));
    auto ids = MultiSz({u"Root\\QVXDSM"});
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, ids.data(),
                                                  static_cast<DWORD>(ids.size())));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));
    ASSERT_TRUE(Update(u"Root\\QVXDSM", 0, &reboot));
    const winsim::Device &device = DeviceNo(data.DevInst);
    EXPECT_EQ(device.instanceId, u"ROOT\\MPIO\\0001");
    EXPECT_EQ(device.driverInf, u"oem0.inf");
    EXPECT_EQ(device.status & (DN_ROOT_ENUMERATED | DN_STARTED), static_cast<uint32_t>(DN_ROOT_ENUMERATED | DN_STARTED));
    EXPECT_TRUE(winsim::TraceHas("UpdateDriverForPlugAndPlayDevicesW", "hwid=Root\\QVXDSM"));
}

}  // namespace

// The driver key holds what the driver's installation wrote (its HKR values)
// and the INF and version it was installed from; it opens for reading only.
TEST_F(DriverTest, DriverKeyHoldsTheInstalledDriver)
{
    HDEVINFO set;
    SP_DEVINFO_DATA dsm = Element(GUID_DEVCLASS_SYSTEM, kDsm, set);
    const HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    const struct {
        DWORD scope, type;
        REGSAM access;
        DWORD error;
    } refusals[] = {
        {DICS_FLAG_GLOBAL, DIREG_DRV, KEY_READ, ERROR_KEY_DOES_NOT_EXIST},   // no driver yet
        {0, DIREG_DRV, KEY_READ, ERROR_INVALID_FLAGS},
        {DICS_FLAG_GLOBAL, DIREG_DEV, KEY_READ, ERROR_CALL_NOT_IMPLEMENTED},
    };
    for (const auto &row : refusals) {
        SCOPED_TRACE(row.error);
        EXPECT_EQ(SetupDiOpenDevRegKey(set, &dsm, row.scope, 0, row.type, row.access), invalid);
        EXPECT_EQ(GetLastError(), row.error);
    }
    scratch_.WriteFile("pkg/qvxdsm.inf", "[Version]\nDriverVer = 12/08/2026,2.4.1.0\n" + kDsmInf.substr(10));
    ASSERT_TRUE(Update(u"Root\\QVXDSM", INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &dsm, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS), invalid);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HKEY key = SetupDiOpenDevRegKey(set, &dsm, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    ASSERT_NE(key, invalid);
    for (const char16_t *name : {u"InfPath", u"DriverVersion"}) {
        WCHAR text[16] = {};
        DWORD size = sizeof text;
        EXPECT_EQ(RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size), 0);
        EXPECT_EQ(std::u16string(text), name[0] == u'I' ? u"oem0.inf" : u"2.4.1.0");
    }
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"DriverValue", nullptr, nullptr, nullptr, &size), 0);   // the install's HKR
    EXPECT_EQ(RegSetValueExW(key, u"InfPath", 0, REG_SZ, nullptr, 0), static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    winsim::FindKey(winsim::setup::SoftwareKey(DeviceNo(dsm.DevInst), dsm.DevInst))->denyAccess = true;
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &dsm, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ), invalid);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// A published INF names the INF it was published from; any other INF names
// itself.
TEST_F(DriverTest, InfInformationNamesTheOriginalInf)
{
    ASSERT_TRUE(SetupCopyOEMInfW(inf_.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    scratch_.WriteFile("pkg/renamed.inf", kDsmInf);
    DWORD required = 0;
    EXPECT_FAILS_WITH(SetupGetInfInformationW(u"C:\\Windows\\INF\\oem7.inf", INFINFO_INF_NAME_IS_ABSOLUTE,
                                              nullptr, 0, &required),
                      ERROR_FILE_NOT_FOUND);
    const struct {
        std::u16string inf;
        DWORD search;
        const char16_t *original;
    } rows[] = {
        {u"C:\\Windows\\INF\\OEM0.INF", INFINFO_INF_NAME_IS_ABSOLUTE, u"qvxdsm.inf"},
        {u"oem0.inf", INFINFO_DEFAULT_SEARCH, u"qvxdsm.inf"},
        {U(scratch_.Path("pkg/renamed.inf")), INFINFO_INF_NAME_IS_ABSOLUTE, u"renamed.inf"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(winsim::Narrow(row.inf));
        ASSERT_TRUE(SetupGetInfInformationW(row.inf.c_str(), row.search, nullptr, 0, &required));   // its size
        std::vector<BYTE> buffer(required);
        auto *info = reinterpret_cast<SP_INF_INFORMATION *>(buffer.data());
        ASSERT_TRUE(SetupGetInfInformationW(row.inf.c_str(), row.search, info, required, nullptr));
        SP_ORIGINAL_FILE_INFO_W original{};
        original.cbSize = sizeof original - 2;
        EXPECT_FAILS_WITH(SetupQueryInfOriginalFileInformationW(info, 0, nullptr, &original),
                          ERROR_INVALID_USER_BUFFER);
        original.cbSize = sizeof original;
        ASSERT_TRUE(SetupQueryInfOriginalFileInformationW(info, 0, nullptr, &original));
        EXPECT_EQ(std::u16string(original.OriginalInfName), row.original);
    }
}
