// The stand-in's core: the machine description, the saved file, and the
// kernel, registry, security, message-box and command-interpreter functions
// the program reaches the machine through.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "support/machine_test.h"
#include "winsim/machine.h"
#include "winsim/windows.h"

namespace {

using harness::U;
using winsim::Machine;

std::string ParseError(const std::string &json)
{
    try {
        winsim::ParseMachine(json);
    } catch (const std::runtime_error &error) {
        return error.what();
    }
    return "(parsed)";
}

// The stand-in's functions on a generation 6 machine, made current by Enter().
class StandInTest : public harness::MachineTest {
protected:
    StandInTest() { machine_ = harness::Gen6(); }
};
class MachineFile : public StandInTest {};
class LocalHeap : public StandInTest {};
class LocalTime : public StandInTest {};
class FindFirstFile : public StandInTest {};
class Version : public StandInTest {};
class Console : public StandInTest {};
class Shutdown : public StandInTest {};
class MessageBox : public StandInTest {};
class FeatureCommand : public StandInTest {};
class Faults : public StandInTest {};

// ---------------------------------------------------------------------------
// Machine description
// ---------------------------------------------------------------------------
TEST(MachineDescription, MalformedDescriptionsNameMemberAndFault)
{
    const struct {
        const char *json;
        const char *message;
    } cases[] = {
        {R"({"devices": [{"instance_id": "A\\1", "class": "system"},
                         {"instance_id": "A\\2", "class": "system"},
                         {"instance_id": "A\\3", "class": "foo"}]})",
         "devices[2].class: unknown class \"foo\""},
        {R"({"devices": [{"class": "system"}]})", "devices[0].instance_id: missing"},
        {R"({"devices": [{"instance_id": "X\\1", "class": "system"}, {"instance_id": "x\\1", "class": "system"}]})",
         "devices[1].instance_id: same as devices[0]"},
        {R"({"devices": [{"instance_id": "X\\1", "class": "system", "hardwareids": []}]})",
         "devices[0].hardwareids: unknown member"},
        {R"({"devices": [{"instance_id": "X\\1", "class": "system", "status": "0xZZ"}]})",
         "devices[0].status: bad hex number \"0xZZ\""},
        {R"({"devices": [{"instance_id": "X\\1", "class": "system", "status": "10"}]})",
         "devices[0].status: must be a number or a \"0x...\" hex string"},
        {R"({"devices": [{"instance_id": "X\\1", "class": "system", "present": 1}]})",
         "devices[0].present: must be true or false"},
        {R"({"os": {"major": -1}})", "os.major: out of range"},
        {R"({"os": {"build": 4294967296}})", "os.build: out of range"},
        {R"({"registry": {"SYSTEM\\X": {"values": {"V": {"type": "REG_WORD", "data": 1}}}}})",
         "registry[\"SYSTEM\\X\"].values[\"V\"].type: unknown type \"REG_WORD\""},
        {R"({"registry": {"SYSTEM\\X": {"values": {"V": {"type": "REG_MULTI_SZ", "data": "a"}}}}})",
         "registry[\"SYSTEM\\X\"].values[\"V\"].data: must be an array"},
        {R"({"registry": {"SYSTEM\\X": {"values": {"V": {"type": "REG_MULTI_SZ", "data": ["a", ""]}}}}})",
         "registry[\"SYSTEM\\X\"].values[\"V\"].data[1]: empty string inside a multi-string"},
        {R"({"registry": {"SYSTEM\\X": {"values": {"V": {"type": "REG_BINARY", "hex": "0a0"}}}}})",
         "registry[\"SYSTEM\\X\"].values[\"V\"].hex: odd number of hex digits"},
        {R"({"registry": {"SYSTEM\\X": {"values": {"V": {"type": "REG_DWORD"}}}}})",
         "registry[\"SYSTEM\\X\"].values[\"V\"]: missing \"data\" or \"hex\""},
        {R"({"registry": {"SYSTEM\\X": {"values": {"V": {"type": 4, "data": 1}, "v": {"type": 4, "data": 2}}}}})",
         "registry[\"SYSTEM\\X\"].values[\"v\"]: duplicate value name"},
        {R"({"registry": {"SYSTEM\\\\X": {}}})", "registry[\"SYSTEM\\\\X\"]: bad key path"},
        {R"({"services": {"a\\b": {}}})", "services[\"a\\b\"]: a service name holds no '\\'"},
        {R"({"services": {"Disk": {}, "disk": {}}})", "services[\"disk\"]: duplicate service name"},
        {R"({"registry": {"SYSTEM\\CurrentControlSet\\Services\\x": {"values": {"Type": {"type": "REG_SZ", "data": "1"}}}},
            "services": {"x": {}}})",
         "services[\"x\"]: the registry's Type value is not a REG_DWORD of four bytes"},
        {R"({"features": {"MultipathIo": "On"}})", "features[\"MultipathIo\"]: unknown state \"On\""},
        {R"({"dism": {"on_disable": "delete"}})", "dism.on_disable: unknown mode \"delete\""},
        {R"({"faults": [{"function": "RegOpenKeyExW", "error": 5, "call": 0}]})",
         "faults[0].call: calls count from 1"},
        {R"({"faults": [{"error": 5}]})", "faults[0].function: missing"},
        {R"({"message_box_answers": ["OK", "MAYBE"]})", "message_box_answers[1]: unknown answer \"MAYBE\""},
        {R"({"clock": {"time": "2026-02-30 10:00:00.000"}})", "clock.time: must be a local time"},
        {R"({"shutdown_privileges": true})", "shutdown_privileges: unknown member"},
        {R"({"capture": {"tool": "x"}})", "capture.tool: unknown member"},
        {R"({"capture": {"unread": [{"what": "SYSTEM"}]}})", "capture.unread[0].error: missing"},
        {R"([1, 2])", "the description must be a JSON object"},
        {R"({"os": {"major": 10,}})", "not valid JSON: parse error at line 1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        std::string message = ParseError(c.json);
        EXPECT_EQ(message.rfind(c.message, 0), 0u) << "message: " << message;
    }
}

TEST(MachineDescription, ReadsNamesHexNumbersAndComments)
{
    Machine m = winsim::ParseMachine(R"({
        // Comments are allowed in hand-written machines.
        "os": {"major": "0x5", "minor": 2, "csd": "Service Pack 2"},
        "clock": {"time": "2024-02-29 23:59:59.999", "step_ms": 1},
        "devices": [{"instance_id": "ROOT\\MPIO\\0000", "class": "ScsiAdapter",
                     "hardware_ids": ["Detected\\MPIO"], "status": "0x0104000A"},
                    {"instance_id": "PCI\\1", "class": "{4d36e967-e325-11ce-bfc1-08002be10318}"}],
        "dism": {"exit_status": "0xFFFFFFFF"},
        "message_box_answers": ["CANCEL", 1],
        "faults": [{"function": "SetupDiCallClassInstaller", "error": "0xE0000231", "call": 2}]
    })");
    EXPECT_EQ(m.os.major, 5u);
    EXPECT_EQ(m.os.csd, u"Service Pack 2");
    EXPECT_EQ(m.clock.wDayOfWeek, 4);  // 2024-02-29 was a Thursday
    ASSERT_EQ(m.devices.size(), 2u);
    EXPECT_EQ(m.devices[0].classGuid, GUID_DEVCLASS_SCSIADAPTER);
    EXPECT_EQ(m.devices[0].status, 0x0104000Au);
    EXPECT_FALSE(m.devices[0].description.has_value());
    EXPECT_FALSE(m.devices[1].hardwareIds.has_value());
    EXPECT_EQ(m.devices[1].classGuid, GUID_DEVCLASS_DISKDRIVE);
    EXPECT_EQ(m.dism.exitStatus, -1);
    EXPECT_EQ(m.messageBoxAnswers, (std::vector<int>{IDCANCEL, IDOK}));
    ASSERT_EQ(m.faults.size(), 1u);
    EXPECT_EQ(m.faults[0].error, 0xE0000231u);
    EXPECT_EQ(m.faults[0].onCall, 2u);
    EXPECT_TRUE(m.interactive);  // absent: may ask when there is a terminal
}

TEST(MachineDescription, RoundTripKeepsStateAndValueFormats)
{
    Machine m = winsim::DefaultMachine();
    harness::SetMultiSz(m, "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "MPIOSupportedDeviceList",
                        {"QUORVEX LUMENSTRIDE     ", "TESSELLAORBIT-2         "});
    harness::SetDword(m, "SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters", "PDORemovePeriod", 120);
    // A multi-string without its final terminator must come back byte for byte.
    winsim::RegKey *key = winsim::FindKey(m, u"SYSTEM\\CurrentControlSet\\Control\\MPDEV");
    key->values[winsim::Fold(u"Broken")] = {u"Broken", winsim::RegValue{REG_MULTI_SZ, {'A', 0, 0, 0}}};
    key->denyAccess = true;
    winsim::FindKey(m, u"SOFTWARE\\Empty\\Leaf", true);
    m.devices[0].configFlags = 0x20;
    m.devices[1].hardwareIds.reset();
    m.devices[2].removed = true;
    m.devices[3].busHardwareIds = std::vector<std::u16string>{u"SCSI\\DiskQUORVEX_", u"GenDisk"};
    m.devices[3].compatibleIds = std::vector<std::u16string>{u"SCSI\\Disk", u"GenDisk"};
    m.devices[3].driverVersion = u"2.4.1.0";
    m.features["MultipathIo"] = "EnablePending";
    m.messageBoxes.push_back({u"Driver reinstall success \n Reboot required!", u"REINSTALL", MB_OKCANCEL, IDOK});
    m.reboots.push_back({EWX_REBOOT | EWX_FORCE, 0x80020003});
    m.driverStore.push_back({u"oem0.inf", u"C:\\pkg\\qvxdsm.inf", std::string("\xff\xfe[\0V\0", 6)});
    m.files.push_back({u"12\\mpio.sys", u"C:\\pkg\\mpio.sys", true});
    m.faults.push_back(harness::FaultFrom("RegOpenKeyExW", 5, 0, "SYSTEM\\X"));
    m.messageBoxAnswers = {IDCANCEL};
    m.rebootPending = true;

    const std::string text = winsim::SerializeMachine(m);
    Machine back = winsim::ParseMachine(text);
    EXPECT_EQ(winsim::SerializeMachine(back), text);

    EXPECT_EQ(back.devices.size(), m.devices.size() - 1);  // the removed disk is gone
    EXPECT_EQ(back.devices[0].configFlags, std::optional<uint32_t>(0x20));
    EXPECT_FALSE(back.devices[1].hardwareIds.has_value());
    EXPECT_EQ(back.devices[2].busHardwareIds, m.devices[3].busHardwareIds);
    EXPECT_EQ(back.devices[2].compatibleIds, m.devices[3].compatibleIds);
    EXPECT_FALSE(back.devices[1].compatibleIds.has_value());
    EXPECT_EQ(back.devices[2].driverVersion, u"2.4.1.0");
    EXPECT_EQ(harness::GetMultiSz(back, "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "MPIOSupportedDeviceList"),
              (std::vector<std::string>{"QUORVEX LUMENSTRIDE     ", "TESSELLAORBIT-2         "}));
    EXPECT_EQ(harness::GetDword(back, "SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters", "PDORemovePeriod"),
              std::optional<uint32_t>(120));
    const winsim::RegKey *mpdev = winsim::FindKey(back, u"system\\currentcontrolset\\control\\mpdev");
    ASSERT_NE(mpdev, nullptr);
    EXPECT_TRUE(mpdev->denyAccess);
    EXPECT_EQ(mpdev->values.at(u"BROKEN").second.data, (std::vector<uint8_t>{'A', 0, 0, 0}));
    EXPECT_NE(winsim::FindKey(back, u"SOFTWARE\\Empty\\Leaf"), nullptr);
    EXPECT_EQ(back.driverStore[0].content, std::string("\xff\xfe[\0V\0", 6));
    EXPECT_EQ(back.messageBoxes[0].text, u"Driver reinstall success \n Reboot required!");
    EXPECT_EQ(back.reboots[0].reason, 0x80020003u);
    EXPECT_TRUE(back.files[0].deleted);
    EXPECT_TRUE(back.faults[0].everyCall);
    EXPECT_TRUE(back.rebootPending);

    // Readable where the bytes allow it, exact bytes where they do not.
    EXPECT_NE(text.find("\"data\": [\n"), std::string::npos);
    EXPECT_NE(text.find("\"hex\": \"41000000\""), std::string::npos);
    EXPECT_NE(text.find("\"content_hex\": \"fffe5b005600\""), std::string::npos);
}

// A capture's notes and the administrator flag come back as given; absent,
// the program runs as an administrator and no notes are written.
TEST(MachineDescription, CaptureNotesAndTheAdministratorFlagAreKept)
{
    const std::string capture = R"({"program": "capture.exe", "version": "1.0", "time": "2026-12-08 10:20:30",
        "unread": [{"what": "SYSTEM\\Setup", "error": 5}, {"what": "devices", "error": "0xE000020B"}]})";
    const std::string text =
        winsim::SerializeMachine(winsim::ParseMachine(R"({"administrator": false, "capture": )" + capture + "}"));
    const nlohmann::json saved = nlohmann::json::parse(text);
    EXPECT_EQ(saved["administrator"], false);
    EXPECT_EQ(saved["capture"], nlohmann::json::parse(capture));
    EXPECT_EQ(winsim::SerializeMachine(winsim::ParseMachine(text)), text);
    const Machine plain = winsim::ParseMachine("{}");
    EXPECT_TRUE(plain.administrator);
    EXPECT_FALSE(plain.capture.has_value());
}

TEST(MachineDescription, DefaultMachineIsAServerWithoutMultipath)
{
    Machine m = winsim::DefaultMachine();
    EXPECT_GE(m.os.major, 6u);
    EXPECT_EQ(m.features.at("MultipathIo"), "Disabled");
    EXPECT_EQ(winsim::FindKey(m, u"SYSTEM\\CurrentControlSet\\Control\\MPDEV"), nullptr);
    const winsim::RegKey *cls =
        winsim::FindKey(m, u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}");
    ASSERT_NE(cls, nullptr);
    EXPECT_TRUE(cls->values.count(u"CLASS"));
    int quorvex = 0, tessella = 0, adapters = 0;
    for (const auto &d : m.devices) {
        if (d.classGuid == GUID_DEVCLASS_SCSIADAPTER)
            adapters++;
        if (d.description == std::optional<winsim::Text>(u"QUORVEX LUMENSTRIDE SCSI Disk Device"))
            quorvex++;
        if (d.description == std::optional<winsim::Text>(u"TESSELLA ORBIT-2 SCSI Disk Device"))
            tessella++;
    }
    EXPECT_EQ(adapters, 2);
    EXPECT_EQ(quorvex, 2);
    EXPECT_EQ(tessella, 1);
    EXPECT_EQ(harness::FindByHardwareId(m, "SCSI\\DiskQUORVEX_LUMENSTRIDE_____0100")->enumerator,
              std::optional<winsim::Text>(u"SCSI"));
    // The default must survive its own round trip.
    EXPECT_EQ(winsim::SerializeMachine(winsim::ParseMachine(winsim::SerializeMachine(m))),
              winsim::SerializeMachine(m));
}

// ---------------------------------------------------------------------------
// The machine file
// ---------------------------------------------------------------------------
TEST_F(MachineFile, SaveReplacesWholeFileAndLoadReadsIt)
{
    const std::string path = scratch_.Path("machine.json");
    scratch_.WriteFile("machine.json", "old contents that are longer than nothing");
    machine_ = harness::Gen5(2);
    winsim::SaveMachineFile(machine_, path);
    Machine loaded = winsim::LoadMachineFile(path);
    EXPECT_EQ(loaded.os.minor, 2u);
    EXPECT_EQ(loaded.path, path);
    EXPECT_EQ(harness::FileBytes(path), winsim::SerializeMachine(machine_) + "\n");
    // No temporary file stays behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch_.Dir()), {}), 1);
}

TEST_F(MachineFile, FailedSaveLeavesNoTemporaryAndThrows)
{
    // A directory in the file's place makes the final rename fail.
    std::filesystem::create_directory(scratch_.Path("machine.json"));
    EXPECT_THROW(winsim::SaveMachineFile(harness::Gen6(), scratch_.Path("machine.json")), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_directory(scratch_.Path("machine.json")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch_.Dir()), {}), 1);
}

TEST_F(MachineFile, LoadOfMalformedFileNamesTheFault)
{
    scratch_.WriteFile("m.json", R"({"devices": [{"instance_id": "A\\1", "class": "foo"}]})");
    try {
        winsim::LoadMachineFile(scratch_.Path("m.json"));
        FAIL() << "parsed";
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ(error.what(), "devices[0].class: unknown class \"foo\"");
    }
    EXPECT_THROW(winsim::LoadMachineFile(scratch_.Path("absent.json")), std::runtime_error);
}

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------
class RegistryTest : public StandInTest {
protected:
    void SetUp() override
    {
        harness::SetMultiSz(machine_, "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "MPIOSupportedDeviceList",
                            {"QUORVEX LUMENSTRIDE     "});
        Enter();
    }
    HKEY Open(const char16_t *path, REGSAM access)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &key), ERROR_SUCCESS);
        return key;
    }
};

TEST_F(RegistryTest, OpenFailsForMissingKeysAndBadArguments)
{
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Nowhere", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x1234), u"SYSTEM", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, EnumerationGivesValuesByNameThenNoMoreItems)
{
    harness::SetDword(winsim::Current(), "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "Count", 7);
    HKEY key = Open(u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", KEY_READ);
    WCHAR name[32];
    BYTE data[4];
    DWORD units = 5, size = sizeof data;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(units, 5u);   // the size a name needs is not told
    units = 32;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &units, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(std::u16string(name) + u" " + winsim::Widen(std::to_string(size)), u"MPIOSupportedDeviceList 52");
    units = 32;
    ASSERT_EQ(RegEnumValueW(key, 0, name, &units, nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name) + u" " + winsim::Widen(std::to_string(units)), u"Count 5");
    EXPECT_EQ(RegEnumValueW(key, 2, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
    key = Open(u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", KEY_SET_VALUE);
    EXPECT_EQ(RegEnumValueW(key, 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
}

TEST_F(RegistryTest, QueryReportsSizeThenMoreDataThenValue)
{
    HKEY key = Open(u"system\\currentcontrolset\\control\\mpdev", KEY_READ);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"MPIOSupportedDeviceList", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(size, (24u + 1 + 1) * 2);

    std::vector<BYTE> data(size);
    DWORD small = size - 2;
    EXPECT_EQ(RegQueryValueExW(key, u"MPIOSupportedDeviceList", nullptr, &type, data.data(), &small),
              ERROR_MORE_DATA);
    EXPECT_EQ(small, size);
    EXPECT_EQ(RegQueryValueExW(key, u"mpiosupporteddevicelist", nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::memcmp(data.data(), u"QUORVEX LUMENSTRIDE     \0", 50), 0);

    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, u"MPIOSupportedDeviceList", nullptr, &type, data.data(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, u"MPIOSupportedDeviceList", nullptr, &type, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, HandlesKeepTheAccessTheyWereOpenedWith)
{
    const DWORD one = 1;
    HKEY reader = Open(u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", KEY_QUERY_VALUE);
    EXPECT_EQ(RegSetValueExW(reader, u"Count", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4),
              ERROR_ACCESS_DENIED);
    HKEY writer = Open(u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", KEY_SET_VALUE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(writer, u"MPIOSupportedDeviceList", nullptr, nullptr, nullptr, &size),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExW(writer, u"Count", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4),
              ERROR_SUCCESS);
    RegCloseKey(reader);
    RegCloseKey(writer);
    EXPECT_EQ(harness::GetDword(winsim::Current(), "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "count"),
              std::optional<uint32_t>(1));
}

TEST_F(RegistryTest, SetStoresExactBytesAndType)
{
    HKEY key = Open(u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", KEY_ALL_ACCESS);
    const BYTE odd[3] = {1, 2, 3};
    EXPECT_EQ(RegSetValueExW(key, u"MPIOSupportedDeviceList", 0, REG_MULTI_SZ, odd, 3), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"X", 1, REG_BINARY, odd, 3), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
    const auto &value =
        winsim::FindKey(u"SYSTEM\\CurrentControlSet\\Control\\MPDEV")->values.at(u"MPIOSUPPORTEDDEVICELIST");
    EXPECT_EQ(value.first, u"MPIOSupportedDeviceList");
    EXPECT_EQ(value.second.type, static_cast<uint32_t>(REG_MULTI_SZ));
    EXPECT_EQ(value.second.data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(RegistryTest, CreateMakesMissingKeysAndTellsWhich)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters", 0,
                              nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    EXPECT_NE(winsim::FindKey(u"SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters"), nullptr);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"system\\currentcontrolset\\services\\MPIO\\parameters", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    // A key opened through another handle sees the same key.
    HKEY below = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &below, nullptr), ERROR_SUCCESS);
    RegCloseKey(below);
    RegCloseKey(key);
    EXPECT_NE(winsim::FindKey(u"SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters\\Sub"), nullptr);
}

TEST_F(RegistryTest, DeniedKeyRefusesOpenCreateAndKeysBelow)
{
    winsim::FindKey(u"SYSTEM\\CurrentControlSet\\Control\\MPDEV")->denyAccess = true;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", 0, KEY_READ, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\MPDEV\\New", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(winsim::FindKey(u"SYSTEM\\CurrentControlSet\\Control\\MPDEV\\New"), nullptr);
}

// ---------------------------------------------------------------------------
// Kernel
// ---------------------------------------------------------------------------
TEST_F(LocalHeap, CountsLiveBlocksAndRejectsUnknownPointers)
{
    Enter();
    const size_t before = winsim::LiveLocalBlocks();
    auto *zeroed = static_cast<uint8_t *>(LocalAlloc(LPTR, 64));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(std::count(zeroed, zeroed + 64, 0), 64);
    HLOCAL other = LocalAlloc(LMEM_FIXED, 0);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(winsim::LiveLocalBlocks(), before + 2);

    EXPECT_EQ(LocalFree(zeroed), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    int notFromTheHeap = 0;
    SetLastError(0);
    EXPECT_EQ(LocalFree(&notFromTheHeap), &notFromTheHeap);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LocalFree(other), nullptr);
    EXPECT_EQ(LocalFree(other), other);  // a second free is caught too
    EXPECT_EQ(winsim::LiveLocalBlocks(), before);
}

TEST_F(LocalHeap, InjectedFailureReturnsNull)
{
    machine_.faults.push_back(harness::FaultOn("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, "", 2));
    Enter();
    HLOCAL first = LocalAlloc(LMEM_FIXED, 8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, 8), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    LocalFree(first);
}

class FormatMessageTest : public StandInTest {
protected:
    void SetUp() override { Enter(); }
    // The allocated text for an identifier, or nothing (with the last error).
    std::optional<std::u16string> Text(DWORD id, DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                                                FORMAT_MESSAGE_FROM_SYSTEM)
    {
        WCHAR *text = nullptr;
        const size_t before = winsim::LiveLocalBlocks();
        DWORD n = FormatMessageW(flags, nullptr, id, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                 reinterpret_cast<LPWSTR>(&text), 0, nullptr);
        if (!n) {
            EXPECT_EQ(text, nullptr);
            EXPECT_EQ(winsim::LiveLocalBlocks(), before);
            return std::nullopt;
        }
        EXPECT_EQ(winsim::LiveLocalBlocks(), before + 1);
        std::u16string result(text, n);
        EXPECT_EQ(LocalFree(text), nullptr);
        return result;
    }
};

TEST_F(FormatMessageTest, IdentifiersWithoutSystemTextFail)
{
    // Low halves of setup-library codes that the system's table lacks.
    for (DWORD id : {0x0100u, 0x0101u, 0x0200u, 0x020Bu, 0x020Eu, 0x0232u, 0xFFFFu}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(Text(id).has_value());
        EXPECT_EQ(GetLastError(), 317u);
    }
}

TEST_F(FormatMessageTest, SystemTextsEndInCrLf)
{
    EXPECT_EQ(Text(2), u"The system cannot find the file specified.\r\n");
    EXPECT_EQ(Text(5), u"Access is denied.\r\n");
    EXPECT_EQ(Text(1072), u"The specified service has been marked for deletion.\r\n");
    EXPECT_EQ(Text(3010), u"The requested operation is successful. Changes will not be effective until the "
                          u"system is rebooted.\r\n");
    // Setup-library codes are looked up by their low half and meet
    // unrelated system texts, as on Windows.
    EXPECT_EQ(Text(0xE0000102 & 0xFFFF), u"The wait operation timed out.\r\n");
    EXPECT_EQ(Text(0xE0000217 & 0xFFFF), u"There is a process on other end of the pipe.\r\n");
    EXPECT_EQ(Text(0xE0000231 & 0xFFFF), u"Indicates that an attempt was made to grow an LDT by setting its size, "
                                          u"or that the size was not an even number of selectors.\r\n");
}

TEST_F(FormatMessageTest, ChecksFlagsLanguageAndInserts)
{
    WCHAR *text = nullptr;
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x0407,
                             reinterpret_cast<LPWSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), 1815u);
    // Text 317 has inserts, which need arguments unless they are ignored.
    EXPECT_FALSE(Text(317).has_value());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    auto ignored = Text(317, FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS);
    ASSERT_TRUE(ignored.has_value());
    EXPECT_NE(ignored->find(u"0x%1"), std::u16string::npos);
    // Into a caller's buffer: too small is refused.
    WCHAR buffer[8];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(LocalTime, ReadsTheMachineClockAndStepsIt)
{
    machine_ = winsim::ParseMachine(R"({"clock": {"time": "2026-12-31 23:59:59.999", "step_ms": 1}})");
    Enter();
    SYSTEMTIME first{}, second{};
    GetLocalTime(&first);
    GetLocalTime(&second);
    EXPECT_EQ(first.wYear, 2026);
    EXPECT_EQ(first.wMilliseconds, 999);
    EXPECT_EQ(first.wDayOfWeek, 4);  // a Thursday
    EXPECT_EQ(second.wYear, 2027);
    EXPECT_EQ(second.wMonth, 1);
    EXPECT_EQ(second.wDay, 1);
    EXPECT_EQ(second.wHour, 0);
    EXPECT_EQ(second.wMilliseconds, 0);
    EXPECT_EQ(second.wDayOfWeek, 5);
}

TEST_F(FindFirstFile, FindsFilesWithWindowsSeparatorsAndPatterns)
{
    Enter();
    scratch_.WriteFile("pkg/mpio.inf", "x");
    scratch_.WriteFile("pkg/qvxdsm.inf", "xyz");
    WIN32_FIND_DATAW data;

    HANDLE found = FindFirstFileW(U(scratch_.Dir() + "\\pkg\\QVXDSM.INF").c_str(), &data);
    ASSERT_NE(found, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"qvxdsm.inf");  // the name as stored
    EXPECT_EQ(data.nFileSizeLow, 3u);
    EXPECT_EQ(FindClose(found), TRUE);
    EXPECT_EQ(FindClose(found), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    found = FindFirstFileW(u"pkg\\m?io.*", &data);
    ASSERT_NE(found, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"mpio.inf");
    FindClose(found);

    found = FindFirstFileW(u"pkg", &data);  // a directory finds itself
    ASSERT_NE(found, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    FindClose(found);
}

TEST_F(FindFirstFile, TellsMissingFileFromMissingDirectory)
{
    Enter();
    scratch_.WriteFile("pkg/mpio.inf", "x");
    WIN32_FIND_DATAW data;
    EXPECT_EQ(FindFirstFileW(u"pkg\\absent.inf", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileW(u"nodir\\mpio.inf", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(FindFirstFileW(u"absent", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileW(u"pkg\\*.sys", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Names are found as NTFS finds them, in every part of a path, and keep the
// case they were written in.
TEST_F(FindFirstFile, FindsEveryPartOfAPathWithoutRegardToCase)
{
    Enter();
    scratch_.WriteFile("Pkg/Drivers/HDSM.SYS", "x");
    scratch_.WriteFile("Pkg/Drivers/hdsm.cat", "x");
    struct {
        const char *path;
        const char *found;   // relative to the scratch directory; nullptr: none
    } const rows[] = {
        {"pkg\\drivers\\hdsm.sys", "Pkg/Drivers/HDSM.SYS"},
        {"PKG/DRIVERS/HDSM.CAT", "Pkg/Drivers/hdsm.cat"},
        {"Pkg\\.\\drivers\\", "Pkg/Drivers"},
        {"pkg\\other\\hdsm.sys", nullptr},
        {"pkg\\drivers\\hdsm.sys\\x", nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        auto found = winsim::FindHostPath(U(scratch_.Dir() + "/" + row.path));
        EXPECT_EQ(found, row.found ? std::optional<std::string>(scratch_.Path(row.found)) : std::nullopt);
    }

    WIN32_FIND_DATAW data;
    HANDLE handle = FindFirstFileW(u"PKG\\drivers\\*.sys", &data);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"HDSM.SYS");
    FindClose(handle);
}

// Of two names that differ only in case, the one spelt exactly wins, else
// the first in byte order.
TEST_F(FindFirstFile, PrefersTheExactNameOfTwo)
{
    Enter();
    scratch_.WriteFile("a.inf", "lower");
    scratch_.WriteFile("A.INF", "upper");
    EXPECT_EQ(winsim::FindHostPath(U(scratch_.Path("a.inf"))), scratch_.Path("a.inf"));
    EXPECT_EQ(winsim::FindHostPath(U(scratch_.Path("A.inf"))), scratch_.Path("A.INF"));
}

TEST_F(Version, ChecksRecordSizeAndReportsTheMachine)
{
    machine_ = harness::Gen5(2);
    Enter();
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info) - 4;
    EXPECT_EQ(GetVersionExW(&info), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(GetVersionExW(&info), TRUE);
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 2u);
    EXPECT_EQ(info.dwBuildNumber, 3790u);
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(std::u16string(info.szCSDVersion), u"Service Pack 2");

    uint8_t ex[284] = {};
    reinterpret_cast<OSVERSIONINFOW *>(ex)->dwOSVersionInfoSize = 284;
    ASSERT_EQ(GetVersionExW(reinterpret_cast<OSVERSIONINFOW *>(ex)), TRUE);
    EXPECT_EQ(ex[282], 3);  // wProductType: a server
}

TEST_F(Console, WriteFileAndWprintfAppendConvertedBytes)
{
    machine_.echoConsole = false;
    Enter();
    DWORD written = 0;
    EXPECT_EQ(WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "raw\r\n", 5, &written, nullptr), TRUE);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "x", 1, nullptr, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_EQ(wprintf(u"%s|%ls|%d|%u|%08x|%X|%5d|%-3d|%%\n", u"caf\u00e9\u4e2d", u"b", -536870389, 7u, 0xbc2u,
                      0xe000020bu, 42, 1),
              51);  // UTF-16 units formatted, the dropped one included
    EXPECT_EQ(winsim::Current().console,
              "raw\r\ncaf\xe9|b|-536870389|7|00000bc2|E000020B|   42|1  |%\r\n");
}

// ---------------------------------------------------------------------------
// Privilege, shutdown and message boxes
// ---------------------------------------------------------------------------
bool EnableShutdownPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    DWORD error = GetLastError();
    CloseHandle(token);
    return adjusted && error == ERROR_SUCCESS;
}

TEST_F(Shutdown, RefusedWithoutTheEnabledPrivilege)
{
    Enter();
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0x80020003), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
    EXPECT_TRUE(winsim::Current().reboots.empty());
}

TEST_F(Shutdown, NotGrantedPrivilegeIsAPartialSuccess)
{
    machine_.shutdownPrivilege = false;
    Enter();
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, u"seshutdownprivilege", &privileges.Privileges[0].Luid));
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    EXPECT_EQ(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr), TRUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_EQ(CloseHandle(token), TRUE);
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0x80020003), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
}

TEST_F(Shutdown, AcceptedRequestIsRecordedOnceAndCompletesAtReboot)
{
    machine_.devices.push_back(harness::MpioBus());
    machine_.devices.back().status |= DN_WILL_BE_REMOVED;
    machine_.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));
    machine_.devices.back().status |= DN_NEED_RESTART;
    harness::AddService(machine_, "qvxdsm", 3, true);
    Enter();
    ASSERT_TRUE(EnableShutdownPrivilege());
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0x80020003), TRUE);
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0x80020003), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHUTDOWN_IN_PROGRESS));

    Machine &after = winsim::Current();
    ASSERT_EQ(after.reboots.size(), 1u);
    EXPECT_EQ(after.reboots[0].flags, static_cast<uint32_t>(EWX_REBOOT | EWX_FORCE));
    EXPECT_EQ(after.reboots[0].reason, 0x80020003u);
    EXPECT_TRUE(winsim::CompleteRequestedReboot(after, 0));
    EXPECT_TRUE(after.devices[0].removed);
    EXPECT_EQ(after.devices[1].status & DN_NEED_RESTART, 0u);
    EXPECT_TRUE(winsim::Services(after).empty());
    // Nothing asked for since the last record: nothing to complete.
    EXPECT_FALSE(winsim::CompleteRequestedReboot(after, 1));
}

// The next boot enumerates a disk marked for reinstallation afresh: unless
// the supported-device list still names it, it reports its bus's hardware
// IDs again and runs the disk driver.
TEST(NextBoot, GivesAReleasedDiskBackToItsBusUnlessTheListNamesIt)
{
    const struct {
        const char *name;
        std::vector<std::string> list;
        uint32_t configFlags;
        const char *lastId;     // after the boot
        const char *service;
        uint32_t flagsAfter;
    } rows[] = {
        {"released, the list gone", {}, CONFIGFLAG_REINSTALL, "GenDisk", "disk", 0},
        {"released, another vendor listed", {"TESSELLAORBIT-2         "}, CONFIGFLAG_REINSTALL, "GenDisk", "disk", 0},
        {"still listed", {"QUORVEX LUMENSTRIDE     "}, CONFIGFLAG_REINSTALL, "MPIODisk", "mpdev",
         CONFIGFLAG_REINSTALL},
        {"still listed by vendor alone, in lower case", {"quorvex "}, CONFIGFLAG_REINSTALL, "MPIODisk", "mpdev",
         CONFIGFLAG_REINSTALL},
        {"not marked for reinstallation", {}, 0, "MPIODisk", "mpdev", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Machine m = harness::Gen5(2);
        winsim::Device disk = harness::Disk("QUORVEX ", "LUMENSTRIDE     ");
        disk.busHardwareIds = disk.hardwareIds;
        disk.hardwareIds->back() = u"MPIODisk";
        disk.configFlags = row.configFlags;
        disk.service = u"mpdev";
        disk.driverVersion = u"2.4.1.0";
        m.devices.push_back(disk);
        if (!row.list.empty())
            harness::SetMultiSz(m, "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "MPIOSupportedDeviceList", row.list);

        winsim::Reboot(m);
        const winsim::Device &after = m.devices[0];
        EXPECT_EQ(harness::HardwareIds(after).back(), row.lastId);
        EXPECT_EQ(winsim::Narrow(after.service), row.service);
        EXPECT_EQ(after.configFlags, std::optional<uint32_t>(row.flagsAfter));
        // The disk driver given back has no version of its own.
        EXPECT_EQ(after.driverVersion.empty(), std::string(row.service) == "disk");
    }
}

TEST_F(MessageBox, ScriptedAnswersAreUsedInOrderAndRecorded)
{
    machine_.messageBoxAnswers = {IDCANCEL, IDCANCEL, IDOK};
    Enter();
    // Escape on an OK-only box answers OK.
    EXPECT_EQ(MessageBoxW(nullptr, u"Driver reinstall Failed \n Manual uninstall required", u"REINSTALL", MB_OK),
              IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, u"Driver reinstall success \n Reboot required!", u"REINSTALL", MB_OKCANCEL),
              IDCANCEL);
    EXPECT_EQ(MessageBoxW(nullptr, u"again", u"REINSTALL", MB_OKCANCEL), IDOK);
    const auto &boxes = winsim::Current().messageBoxes;
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, u"Driver reinstall Failed \n Manual uninstall required");
    EXPECT_EQ(boxes[0].answer, IDOK);
    EXPECT_EQ(boxes[1].caption, u"REINSTALL");
    EXPECT_EQ(boxes[1].type, static_cast<uint32_t>(MB_OKCANCEL));
    EXPECT_EQ(boxes[1].answer, IDCANCEL);
    EXPECT_TRUE(winsim::Current().messageBoxAnswers.empty());
}

TEST_F(MessageBox, UnansweredBoxFailsAndIsStillRecorded)
{
    machine_.echoConsole = false;
    Enter();
    SetLastError(0);
    EXPECT_EQ(MessageBoxW(nullptr, u"text", u"REINSTALL", MB_OKCANCEL), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(winsim::Current().messageBoxes.size(), 1u);
    EXPECT_EQ(winsim::Current().messageBoxes[0].answer, 0);
    EXPECT_EQ(MessageBoxW(reinterpret_cast<HWND>(0x10), u"text", u"REINSTALL", MB_OK), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

// ---------------------------------------------------------------------------
// Command interpreter and the multipath feature
// ---------------------------------------------------------------------------
const char16_t kEnable[] = u"DISM.exe /online /norestart /enable-feature:MultipathIo";
const char16_t kDisable[] = u"DISM.exe /online /norestart /disable-feature:MultipathIo";

TEST_F(FeatureCommand, UnknownCommandsFailAsTheInterpreterDoes)
{
    Enter();
    EXPECT_EQ(_wsystem(u"dsim.exe /online"), 1);
    // Not the exact line: the tool rejects the option and nothing changes.
    EXPECT_EQ(_wsystem(u"DISM.exe  /online /norestart /enable-feature:MultipathIo"), 87);
    EXPECT_EQ(_wsystem(u"DISM.exe /online /norestart /enable-feature:multipathio"), 87);
    EXPECT_EQ(winsim::Current().features.at("MultipathIo"), "Disabled");
    EXPECT_EQ(harness::FindByHardwareId(winsim::Current(), "ROOT\\MPIO"), nullptr);
    EXPECT_TRUE(winsim::TraceHas("_wsystem", "command=dsim.exe /online"));
}

// The tool ships from Windows 7 / Server 2008 R2 on: older systems answer as for any unknown program.
TEST_F(FeatureCommand, ToolExistsFromSixOneOn)
{
    const struct {
        uint32_t major, minor;
        int status;
        const char *feature;
    } cases[] = {{6, 0, 1, "Disabled"}, {5, 2, 1, "Disabled"}, {6, 1, 0, "Enabled"}, {10, 0, 0, "Enabled"}};
    for (const auto &c : cases) {
        machine_.os.major = c.major;
        machine_.os.minor = c.minor;
        Enter();
        EXPECT_EQ(_wsystem(kEnable), c.status) << c.major << "." << c.minor;
        EXPECT_EQ(winsim::Current().features.at("MultipathIo"), c.feature) << c.major << "." << c.minor;
        EXPECT_EQ(harness::FindByHardwareId(winsim::Current(), "ROOT\\MPIO") != nullptr, c.status == 0);
    }
}

TEST_F(FeatureCommand, EnableBringsTheBusDevice)
{
    Enter();
    EXPECT_EQ(_wsystem(u"dism.EXE /online /norestart /enable-feature:MultipathIo"), 0);
    Machine &after = winsim::Current();
    EXPECT_EQ(after.features.at("MultipathIo"), "Enabled");
    const winsim::Device *bus = harness::FindByHardwareId(after, "ROOT\\MPIO");
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->instanceId, u"ROOT\\MPIO\\0000");
    EXPECT_EQ(bus->classGuid, GUID_DEVCLASS_SCSIADAPTER);
    EXPECT_EQ(bus->description, std::optional<winsim::Text>(u"Multi-Path Support"));
    EXPECT_EQ(bus->service, u"mpio");
    EXPECT_TRUE(bus->present);
    EXPECT_TRUE(bus->status & DN_STARTED);
    // Enabling again adds no second device.
    EXPECT_EQ(_wsystem(kEnable), 0);
    EXPECT_EQ(after.devices.size(), 1u);
}

TEST_F(FeatureCommand, BusDeviceTakesTheFirstFreeInstanceNumber)
{
    machine_.devices.push_back(harness::ScsiAdapter("ROOT\\MPIO\\0000", {"Other"}, "Something else"));
    Enter();
    EXPECT_EQ(_wsystem(kEnable), 0);
    EXPECT_EQ(harness::FindByHardwareId(winsim::Current(), "ROOT\\MPIO")->instanceId, u"ROOT\\MPIO\\0001");
}

TEST_F(FeatureCommand, EnableNeedingRebootCompletesAtReboot)
{
    machine_.dism.exitStatus = 3010;
    Enter();
    EXPECT_EQ(_wsystem(kEnable), 3010);
    Machine after = winsim::Current();
    EXPECT_EQ(after.features.at("MultipathIo"), "EnablePending");
    EXPECT_TRUE(after.rebootPending);
    EXPECT_EQ(harness::FindByHardwareId(after, "ROOT\\MPIO"), nullptr);
    winsim::Reboot(after);
    EXPECT_EQ(after.features.at("MultipathIo"), "Enabled");
    EXPECT_FALSE(after.rebootPending);
    EXPECT_NE(harness::FindByHardwareId(after, "ROOT\\MPIO"), nullptr);
}

TEST_F(FeatureCommand, DisableMarksRemovesOrKeepsTheBusDevice)
{
    for (const std::string mode : {"mark", "remove", "keep"}) {
        SCOPED_TRACE(mode);
        machine_ = harness::Gen6();
        machine_.features["MultipathIo"] = "Enabled";
        machine_.devices.push_back(harness::MpioBus());
        machine_.dism.onDisable = mode;
        Enter();
        EXPECT_EQ(_wsystem(kDisable), 0);
        Machine after = winsim::Current();
        EXPECT_EQ(after.features.at("MultipathIo"), "Disabled");
        EXPECT_EQ(after.devices[0].removed, mode == "remove");
        EXPECT_EQ((after.devices[0].status & DN_WILL_BE_REMOVED) != 0, mode == "mark");
        winsim::Reboot(after);
        EXPECT_EQ(after.devices[0].removed, mode != "keep");
    }
}

TEST_F(FeatureCommand, DisableNeedingRebootMarksTheDevice)
{
    machine_.features["MultipathIo"] = "Enabled";
    machine_.devices.push_back(harness::MpioBus());
    machine_.dism.exitStatus = 3010;
    Enter();
    EXPECT_EQ(_wsystem(kDisable), 3010);
    Machine after = winsim::Current();
    EXPECT_EQ(after.features.at("MultipathIo"), "DisablePending");
    EXPECT_TRUE(after.devices[0].status & DN_WILL_BE_REMOVED);
    EXPECT_FALSE(after.devices[0].removed);
    winsim::Reboot(after);
    EXPECT_EQ(after.features.at("MultipathIo"), "Disabled");
    EXPECT_TRUE(after.devices[0].removed);
    // A rebooted machine no longer lists the device when saved.
    EXPECT_EQ(winsim::ParseMachine(winsim::SerializeMachine(after)).devices.size(), 0u);
}

TEST_F(FeatureCommand, FailureStatusesChangeNothing)
{
    for (int status : {1, 87, -1}) {
        SCOPED_TRACE(status);
        machine_ = harness::Gen6();
        machine_.dism.exitStatus = status;
        Enter();
        EXPECT_EQ(_wsystem(kEnable), status);
        EXPECT_EQ(winsim::Current().features.at("MultipathIo"), "Disabled");
        EXPECT_TRUE(winsim::Current().devices.empty());
        EXPECT_FALSE(winsim::Current().rebootPending);
    }
}

// The tool's answer to a query, read as a command's output: its layout with
// the state as the tool names it, and from _pclose its exit status.  On 6.0
// the interpreter finds no such program.
const char16_t kQuery[] = u"DISM.exe /English /Online /Get-FeatureInfo /FeatureName:MultipathIo";

TEST_F(FeatureCommand, QueryAnswersThroughAStream)
{
    const struct {
        uint32_t minor;          // of 6, or 10.0 when 2
        const char *state;       // nullptr: a feature the image does not know
        const char16_t *mode;
        const char *found;       // in the answer; "": no answer at all
        int status;
    } rows[] = {
        {2, "EnablePending", u"rt", "\nState : Enable Pending\n", 0},
        {1, "Disabled", u"r", "\nState : Disabled\n", 0},   // dism's 3010 is the switches' status, not the query's
        {0, "Disabled", u"rt", "", 1},                        // no DISM.exe on 6.0
        {2, nullptr, u"rb", "\r\nFeature name MultipathIo is unknown.\r\n", static_cast<int>(0x800F080C)},
        {2, "Enabled", u"rt", "", 5},                          // the fault: the command fails so
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.found);
        machine_ = harness::Gen6();
        machine_.os.major = row.minor == 2 ? 10 : 6;
        machine_.os.minor = row.minor == 2 ? 0 : row.minor;
        machine_.dism.exitStatus = 3010;
        machine_.features.clear();
        if (row.state)
            machine_.features["MultipathIo"] = row.state;
        if (row.status == 5)
            machine_.faults.push_back(harness::FaultOn("_wpopen", 5));
        Enter();
        FILE *answer = _wpopen(kQuery, row.mode);
        ASSERT_NE(answer, nullptr);
        std::string text;
        for (char line[256]; std::fgets(line, sizeof line, answer);)
            text += line;
        EXPECT_TRUE(*row.found ? text.find(row.found) != std::string::npos : text.empty()) << text;
        EXPECT_EQ(_pclose(answer), row.status);
        EXPECT_EQ(_pclose(answer), -1);
        EXPECT_EQ(winsim::OpenHandles(), 0u);
    }
    EXPECT_EQ(winsim::Current().features.at("MultipathIo"), "Enabled");   // a query changes nothing
    EXPECT_EQ(_wpopen(kQuery, u"w"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    winsim::Current().faults.clear();
    winsim::Current().dism.exitStatus = -1;   // no interpreter
    EXPECT_EQ(_wpopen(kQuery, u"rt"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

// ---------------------------------------------------------------------------
// The simulated process's environment and processor
// ---------------------------------------------------------------------------
TEST_F(Version, EnvironmentAndProcessorOfTheMachine)
{
    for (const char *arch : {"amd64", "x86"}) {
        SCOPED_TRACE(arch);
        machine_.os.arch = arch;
        Enter();
        SYSTEM_INFO system{};
        GetSystemInfo(&system);
        const bool amd64 = std::string(arch) == "amd64";
        EXPECT_EQ(system.wProcessorArchitecture, amd64 ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL);
        WCHAR value[8];
        EXPECT_EQ(GetEnvironmentVariableW(u"PROCESSOR_ARCHITEW6432", value, 8), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
        EXPECT_EQ(GetEnvironmentVariableW(u"processor_architecture", value, 2), amd64 ? 6u : 4u);
        EXPECT_EQ(GetEnvironmentVariableW(u"processor_architecture", value, 8), amd64 ? 5u : 3u);
        EXPECT_EQ(std::u16string(value), amd64 ? u"AMD64" : u"x86");
    }
    EXPECT_EQ(GetEnvironmentVariableW(u"HOME", nullptr, 0), 0u);   // not the host's
}

// ---------------------------------------------------------------------------
// Fault injection
// ---------------------------------------------------------------------------
TEST_F(Faults, ByCallCountFromCountOnAndBySubject)
{
    harness::SetDword(machine_, "SYSTEM\\A", "V", 1);
    harness::SetDword(machine_, "SYSTEM\\B", "V", 1);
    machine_.faults.push_back(harness::FaultOn("RegOpenKeyExW", 5, "", 2));                      // the 2nd call only
    machine_.faults.push_back(harness::FaultFrom("RegCreateKeyExW", 1072, 2));                   // the 2nd call and later
    machine_.faults.push_back(harness::FaultFrom("RegQueryValueExW", 31, 0, "pathverifyenabled"));  // that value, always
    Enter();

    HKEY key = nullptr;
    auto open = [&] {
        LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\A", 0, KEY_READ, &key);
        if (status == ERROR_SUCCESS)
            RegCloseKey(key);
        return status;
    };
    EXPECT_EQ(open(), ERROR_SUCCESS);
    EXPECT_EQ(open(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open(), ERROR_SUCCESS);

    auto create = [&] {
        LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                         &key, nullptr);
        if (status == ERROR_SUCCESS)
            RegCloseKey(key);
        return status;
    };
    EXPECT_EQ(create(), ERROR_SUCCESS);
    EXPECT_EQ(create(), 1072);
    EXPECT_EQ(create(), 1072);

    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\A", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, u"PathVerifyEnabled", nullptr, nullptr, nullptr, &size), 31);
    EXPECT_EQ(RegQueryValueExW(key, u"PathVerifyEnabled", nullptr, nullptr, nullptr, &size), 31);
    RegCloseKey(key);
}

TEST_F(Faults, SubjectCountsOnlyItsOwnCalls)
{
    machine_.faults.push_back(harness::FaultOn("_wsystem", 0xFFFFFFFF, "dism.exe /online /norestart /enable-feature:multipathio", 2));
    Enter();
    EXPECT_EQ(_wsystem(kEnable), 0);
    EXPECT_EQ(_wsystem(kDisable), 0);  // another subject: not counted
    EXPECT_EQ(_wsystem(kEnable), -1);
    EXPECT_EQ(_wsystem(kEnable), 0);
}

TEST_F(Faults, CountsRestartWithEachRun)
{
    machine_.faults.push_back(harness::FaultOn("GetVersionExW", 5, "", 1));
    Enter();
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_EQ(GetVersionExW(&info), FALSE);
    EXPECT_EQ(GetVersionExW(&info), TRUE);
    winsim::SetCurrent(winsim::Current());
    EXPECT_EQ(GetVersionExW(&info), FALSE);
    EXPECT_EQ(winsim::TraceCount("GetVersionExW"), 3u);
}

}  // namespace
