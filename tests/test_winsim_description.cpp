// The machine with many devices and keys: duplicate instance IDs found
// among them, case-blind comparison, the first free generated instance
// number, and the order and names of the saved registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

std::string ParseError(const std::string &json)
{
    try {
        winsim::ParseMachine(json);
    } catch (const std::runtime_error &error) {
        return error.what();
    }
    return "(loaded)";
}

std::string FourDigits(unsigned number)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04u", number);
    return text;
}

// An instance ID as JSON text.
std::string DiskId(unsigned unit)
{
    char id[96];
    std::snprintf(id, sizeof id, "SCSI\\\\DISK&VEN_QUORVEX&PROD_LUMENSTRIDE&REV_0100\\\\5&1C0FE2A&0&%06X", unit);
    return id;
}

// A description of 'count' disks, some with other instance IDs (JSON text).
std::string Disks(size_t count, const std::map<size_t, std::string> &ids)
{
    std::string json = "{\"devices\": [";
    for (size_t i = 0; i < count; i++) {
        auto other = ids.find(i);
        json += i ? ",\n" : "\n";
        json += "{\"instance_id\": \"" + (other != ids.end() ? other->second : DiskId(static_cast<unsigned>(i))) +
                "\", \"class\": \"diskdrive\"}";
    }
    return json + "]}";
}

TEST(DescriptionDevices, DuplicateInstanceIdInAnyLetterCaseNamesBothDevices)
{
    const struct {
        std::map<size_t, std::string> ids;
        const char *message;
    } cases[] = {
        {{{1, DiskId(0)}}, "devices[1].instance_id: same as devices[0]"},
        {{{1999, "scsi\\\\disk&ven_quorvex&prod_lumenstride&rev_0100\\\\5&1c0fe2a&0&000005"}},
         "devices[1999].instance_id: same as devices[5]"},
        {{{3, "ROOT\\\\MPIO\\\\0000"}, {1500, "Root\\\\Mpio\\\\0000"}, {1600, "ROOT\\\\mpio\\\\0000"}},
         "devices[1500].instance_id: same as devices[3]"},
        // Only ASCII letters fold: other letters, and the characters next to
        // 'A'-'Z' and 'a'-'z', keep their case.
        {{{10, "ROOT\\\\\\u00C9\\\\0"}, {11, "ROOT\\\\\\u00E9\\\\0"}}, "(loaded)"},
        {{{10, "ROOT\\\\X@\\\\0"}, {11, "ROOT\\\\X`\\\\0"}, {12, "ROOT\\\\X[\\\\0"}, {13, "ROOT\\\\X{\\\\0"}},
         "(loaded)"},
        // A prefix of an ID is another ID.
        {{{700, "SCSI\\\\DISK&VEN_QUORVEX&PROD_LUMENSTRIDE&REV_0100\\\\5&1C0FE2A&0&00000"}}, "(loaded)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(ParseError(Disks(2000, c.ids)), c.message);
    }
}

// The many paths to one LUN report the same IDs: a machine holds each list
// once, whichever member gives it; an empty list is there, not absent.
TEST(DescriptionDevices, EqualIdListsAreHeldOnce)
{
    const winsim::Machine m = winsim::ParseMachine(R"({"devices": [
        {"instance_id": "SCSI\\1", "class": "diskdrive", "hardware_ids": ["A", "GenDisk"], "compatible_ids": ["C"]},
        {"instance_id": "SCSI\\2", "class": "diskdrive", "hardware_ids": ["A", "GenDisk"], "compatible_ids": []},
        {"instance_id": "SCSI\\3", "class": "diskdrive", "hardware_ids": ["a", "GenDisk"],
         "bus_hardware_ids": ["A", "GenDisk"], "compatible_ids": ["C"]}]})");
    const auto &d = m.devices;
    EXPECT_TRUE(d[0].hardwareIds->SharedWith(*d[1].hardwareIds));
    EXPECT_TRUE(d[0].hardwareIds->SharedWith(*d[2].busHardwareIds));
    EXPECT_TRUE(d[0].compatibleIds->SharedWith(*d[2].compatibleIds));
    // Lists that differ, if only in case, stay apart.
    EXPECT_FALSE(d[0].hardwareIds->SharedWith(*d[2].hardwareIds));
    EXPECT_EQ(*d[2].hardwareIds, (std::vector<std::u16string>{u"a", u"GenDisk"}));
    ASSERT_TRUE(d[1].compatibleIds.has_value());
    EXPECT_TRUE(d[1].compatibleIds->empty());
    EXPECT_FALSE(d[1].busHardwareIds.has_value());
}

TEST(DescriptionDevices, EqualNoCaseFoldsOnlyAsciiLetters)
{
    const struct {
        std::u16string a, b;
        bool equal;
    } cases[] = {
        {u"", u"", true},
        {u"PCI\\VEN_1D7A", u"pci\\ven_1d7a", true},
        {u"AZ", u"az", true},
        {u"A", u"AA", false},
        {u"@[", u"`{", false},
        {u"\u00C9", u"\u00E9", false},
        {u"ROOT\\MPIO", u"ROOT\\MPIP", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(winsim::EqualNoCase(c.a, c.b), c.equal);
        EXPECT_EQ(winsim::EqualNoCase(c.b, c.a), c.equal);
    }
}

TEST(DescriptionDevices, FirstFreeInstanceIdSkipsTakenNumbersInAnyCase)
{
    const struct {
        std::vector<std::string> taken;   // "-" before an ID: the device is removed
        uint32_t last;
        std::optional<std::u16string> id;
    } cases[] = {
        {{}, 9999, u"ROOT\\MPIO\\0000"},
        {{"root\\mpio\\0000", "-ROOT\\MPIO\\0001", "ROOT\\MPIO\\0002"}, 9999, u"ROOT\\MPIO\\0001"},
        // Not the numbers "%04u" writes: five digits with a leading zero, three digits, a sign.
        {{"ROOT\\MPIO\\00000", "ROOT\\MPIO\\000", "ROOT\\MPIO\\+000", "ROOT\\MPIOX0000"}, 9999,
         u"ROOT\\MPIO\\0000"},
        {{"ROOT\\MPIO\\0000", "ROOT\\MPIO\\0001"}, 1, std::nullopt},
    };
    for (const auto &c : cases) {
        winsim::Machine m;
        for (const std::string &id : c.taken) {
            winsim::Device device;
            device.removed = id[0] == '-';
            device.instanceId = winsim::Widen(id.substr(device.removed ? 1 : 0));
            m.devices.push_back(device);
        }
        EXPECT_EQ(winsim::FirstFreeInstanceId(m, u"ROOT\\MPIO\\", c.last), c.id);
    }
}

TEST(DescriptionDevices, FirstFreeInstanceIdGoesPastFourDigits)
{
    winsim::Machine m;
    for (unsigned i = 0; i < 10000; i++) {
        winsim::Device device;
        device.instanceId = u"ROOT\\MPIO\\" + winsim::Widen(FourDigits(i));
        m.devices.push_back(device);
    }
    winsim::Device fiveDigits;
    fiveDigits.instanceId = u"ROOT\\MPIO\\10000";
    m.devices.push_back(fiveDigits);
    EXPECT_EQ(winsim::FirstFreeInstanceId(m, u"ROOT\\MPIO\\", 9999), std::nullopt);
    EXPECT_EQ(winsim::FirstFreeInstanceId(m, u"ROOT\\MPIO\\", UINT32_MAX),
              std::optional<std::u16string>(u"ROOT\\MPIO\\10001"));
}

// The member names of the saved registry, in their order.
std::vector<std::string> SavedKeyPaths(const winsim::Machine &machine)
{
    auto saved = nlohmann::ordered_json::parse(winsim::SerializeMachine(machine));
    std::vector<std::string> paths;
    for (const auto &member : saved["registry"].items())
        paths.push_back(member.key());
    return paths;
}

TEST(DescriptionRegistry, KeysAreSavedDepthFirstByFoldedNameAsCreated)
{
    winsim::Machine m;
    for (const char16_t *path : {u"SYSTEM\\x", u"SOFTWARE\\c", u"SOFTWARE\\A\\z", u"SOFTWARE\\b",
                                 u"software\\a\\Y"})
        winsim::SetValueIn(*winsim::FindKey(m, path, true), u"V", REG_DWORD, {1, 0, 0, 0});
    winsim::FindKey(m, u"SOFTWARE\\A\\Empty", true);
    winsim::FindKey(m, u"SYSTEM", false)->denyAccess = true;
    EXPECT_EQ(SavedKeyPaths(m), (std::vector<std::string>{"SOFTWARE\\A\\Empty", "SOFTWARE\\A\\Y",
                                                           "SOFTWARE\\A\\z", "SOFTWARE\\b", "SOFTWARE\\c",
                                                           "SYSTEM", "SYSTEM\\x"}));
}

TEST(DescriptionRegistry, NamesThatMeetInUtf8AreSavedOnce)
{
    // A lone surrogate is written as U+FFFD: three keys and three values
    // with one UTF-8 name each; the last of each in the tree's order stays.
    winsim::Machine m;
    winsim::RegKey &key = *winsim::FindKey(m, u"SOFTWARE\\K", true);
    for (const char16_t *name : {u"N\xD800", u"N\xDC00", u"N\xFFFD"}) {
        winsim::SetValueIn(*winsim::FindKey(m, std::u16string(u"SOFTWARE\\") + name, true), u"V", REG_DWORD,
                           {static_cast<uint8_t>(name[1] >> 8), 0, 0, 0});
        winsim::SetValueIn(key, name, REG_DWORD, {static_cast<uint8_t>(name[1] >> 8), 0, 0, 0});
    }
    const std::string text = winsim::SerializeMachine(m);
    auto saved = nlohmann::ordered_json::parse(text);
    EXPECT_EQ(saved["registry"].size(), 2u);
    EXPECT_EQ(saved["registry"]["SOFTWARE\\N\xEF\xBF\xBD"]["values"]["V"]["data"], 0xFF);
    EXPECT_EQ(saved["registry"]["SOFTWARE\\K"]["values"].size(), 1u);
    EXPECT_EQ(saved["registry"]["SOFTWARE\\K"]["values"]["N\xEF\xBF\xBD"]["data"], 0xFF);
    EXPECT_EQ(winsim::SerializeMachine(winsim::ParseMachine(text)), text);
}

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(DescriptionRegistry, ManyPerDiskKeysSurviveTheRoundTrip)
{
    winsim::Machine m = winsim::ParseMachine(ReadAll(std::string(SOURCE_DIR) + "/examples/machines/gen5-server.json"));
    const std::u16string classKey = u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}\\";
    for (unsigned i = 1000; i-- > 0;)
        winsim::SetValueIn(*winsim::FindKey(m, classKey + winsim::Widen(FourDigits(i)), true), u"MatchingDeviceId",
                           REG_SZ, {'G', 0, 0, 0});
    const std::string text = winsim::SerializeMachine(m);
    EXPECT_EQ(winsim::SerializeMachine(winsim::ParseMachine(text)), text);
    const std::vector<std::string> paths = SavedKeyPaths(m);
    const auto first = std::find(paths.begin(), paths.end(), winsim::Narrow(classKey) + "0000");
    ASSERT_NE(first, paths.end());
    ASSERT_GE(paths.end() - first, 1000);
    for (unsigned i = 0; i < 1000; i++)
        EXPECT_EQ(first[i], winsim::Narrow(classKey) + FourDigits(i));
}

// ---------------------------------------------------------------------------
// Services
// ---------------------------------------------------------------------------
// A description's services, given by the "services" member, by registry
// values or both, as the machine saves them: the members "services" and
// "registry", and the same text again after a second load.
TEST(DescriptionServices, SavedFromTheirKeysWithOtherValuesLeftInTheRegistry)
{
    const struct {
        const char *name;
        const char *description;
        const char *services;   // the saved members
        const char *registry;
    } cases[] = {
        {"old member: error control 1, an empty text kept",
         R"({"services": {"mpio": {"display_name": "", "binary": "x.sys", "type": 1, "start": 3}}})",
         R"({"mpio": {"display_name": "", "binary": "x.sys", "type": 1, "start": 3, "error_control": 1}})", "{}"},
        {"registry values only, with a group and parameters",
         R"({"registry": {"SYSTEM\\CurrentControlSet\\Services\\qvx": {"values": {
               "Type": {"type": "REG_DWORD", "data": 1}, "Start": {"type": "REG_DWORD", "data": 0},
               "ErrorControl": {"type": "REG_DWORD", "data": 3}, "ImagePath": {"type": "REG_EXPAND_SZ", "data": "q.sys"},
               "Group": {"type": "REG_SZ", "data": "SCSI miniport"}}},
             "SYSTEM\\CurrentControlSet\\Services\\qvx\\Parameters": {"values": {"P": {"type": "REG_DWORD", "data": 2}}}}})",
         R"({"qvx": {"binary": "q.sys", "type": 1, "start": 0, "error_control": 3}})",
         R"({"SYSTEM\\CurrentControlSet\\Services\\qvx": {"values": {"Group": {"type": "REG_SZ", "data": "SCSI miniport"}}},
             "SYSTEM\\CurrentControlSet\\Services\\qvx\\Parameters": {"values": {"P": {"type": "REG_DWORD", "data": 2}}}})"},
        {"the member wins where both give a value; a service whose Start is a text stays in the registry",
         R"({"registry": {"SYSTEM\\CurrentControlSet\\Services\\qvx": {"values": {
               "Start": {"type": "REG_DWORD", "data": 0}, "DisplayName": {"type": "REG_SZ", "data": "Reg"},
               "DeleteFlag": {"type": "REG_DWORD", "data": 1}}},
             "SYSTEM\\CurrentControlSet\\Services\\txt": {"values": {"Start": {"type": "REG_SZ", "data": "0"}}}},
             "services": {"qvx": {"start": 2, "marked_for_delete": false}, "txt": {}}})",
         R"({"qvx": {"display_name": "Reg", "type": 1, "start": 2, "error_control": 1}})",
         R"({"SYSTEM\\CurrentControlSet\\Services\\txt": {"values": {"ErrorControl": {"type": "REG_DWORD", "data": 1},
               "Start": {"type": "REG_SZ", "data": "0"}, "Type": {"type": "REG_DWORD", "data": 1}}}})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = winsim::SerializeMachine(winsim::ParseMachine(c.description));
        const nlohmann::json saved = nlohmann::json::parse(text);
        EXPECT_EQ(saved["services"], nlohmann::json::parse(c.services));
        EXPECT_EQ(saved["registry"], nlohmann::json::parse(c.registry));
        EXPECT_EQ(winsim::SerializeMachine(winsim::ParseMachine(text)), text);
    }
}

// The example machines load and save back to the same text, their services
// as the old member gave them, with error control 1; the built-in machine
// has a service for every driver its devices run.
TEST(DescriptionServices, ExampleMachinesKeepTheirServicesAndTheDefaultOneForEachDriver)
{
    for (const char *file : {"gen5-server.json", "gen6-server.json"}) {
        SCOPED_TRACE(file);
        const std::string original = ReadAll(std::string(SOURCE_DIR) + "/examples/machines/" + file);
        const std::string text = winsim::SerializeMachine(winsim::ParseMachine(original));
        EXPECT_EQ(winsim::SerializeMachine(winsim::ParseMachine(text)), text);
        nlohmann::json old = nlohmann::json::parse(original, nullptr, true, true)["services"];
        ASSERT_FALSE(old.empty());
        for (auto &service : old)
            service["error_control"] = 1;
        EXPECT_EQ(nlohmann::json::parse(text)["services"], old);
    }
    // Every driver a device of the built-in machine runs is one of its services.
    const winsim::Machine m = winsim::DefaultMachine();
    for (const winsim::Device &device : m.devices) {
        if (!device.service.empty()) {
            EXPECT_TRUE(winsim::FindService(m, device.service)) << winsim::Narrow(device.service);
        }
    }
}

// The SCSI disk entry docs/machine-description.md gives as an example is the
// disk the machine makes from that inquiry data, and the supported-device
// string it names claims it.
TEST(DescriptionDevices, DocumentedScsiDiskIsTheOneTheMachineMakes)
{
    std::ifstream file(std::string(SOURCE_DIR) + "/docs/machine-description.md");
    std::stringstream text;
    text << file.rdbuf();
    const std::string doc = text.str();
    const size_t section = doc.find("### A SCSI disk");
    ASSERT_NE(section, std::string::npos);
    const size_t begin = doc.find("```\n{", section), end = doc.find("}\n```", section);
    ASSERT_TRUE(begin != std::string::npos && end != std::string::npos && begin < end);
    const std::string entry = doc.substr(begin + 4, end + 1 - (begin + 4));
    const winsim::Machine documented = winsim::ParseMachine("{\"devices\": [" + entry + "]}");
    ASSERT_EQ(documented.devices.size(), 1u);
    const winsim::Device &disk = documented.devices[0];
    ASSERT_TRUE(disk.hardwareIds.has_value());
    const winsim::Device made = winsim::ScsiDisk("TESSELLA", "ORBIT-2         ", "0220", u"5&11A0C3F7&0&010000");
    EXPECT_EQ(disk.instanceId, made.instanceId);
    EXPECT_EQ(disk.hardwareIds, made.hardwareIds);
    EXPECT_EQ(disk.description, made.description);
    EXPECT_EQ(disk.enumerator, made.enumerator);
    EXPECT_EQ(disk.service, made.service);
    EXPECT_TRUE(winsim::SupportedDeviceListCovers({u"TESSELLAORBIT-2         "}, disk.hardwareIds.value()));
    EXPECT_FALSE(winsim::SupportedDeviceListCovers({u"TESSELLAORBIT-3         "}, disk.hardwareIds.value()));
}

}  // namespace
