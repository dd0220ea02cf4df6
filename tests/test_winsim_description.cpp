// The machine description with many devices and keys: duplicate instance
// IDs found among them, case-blind comparison, and a save whose bytes do not
// depend on how the machine was built.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

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

}  // namespace
