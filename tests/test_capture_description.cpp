// What capture.exe writes, held against the host build's own loader and
// saver: every entry must load into the same bytes and fields, in the form
// the machine's saver itself would choose.  The reading side runs on
// Windows only (the Wine suite's capture scenarios).
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "capture/description.h"
#include "capture/json.h"
#include "capture/mask.h"
#include "common/text.h"
#include "winsim/description.h"
#include "winsim/machine.h"
#include "winsim/registry.h"

namespace {

using nlohmann::json;

BOOL AppendTo(PVOID context, const BYTE *bytes, DWORD count)
{
    static_cast<std::string *>(context)->append(reinterpret_cast<const char *>(bytes), count);
    return TRUE;
}

// The bytes a writer hands its sink while 'body' writes.
template <typename Body> std::string Written(Body body, bool whole = true)
{
    std::string out;
    JSON_WRITER w;
    JsonInit(&w, AppendTo, &out);
    body(&w);
    EXPECT_EQ(JsonFlush(&w) != FALSE, whole);
    return out;
}

std::vector<BYTE> BytesOf(const std::u16string &units)
{
    const BYTE *p = reinterpret_cast<const BYTE *>(units.data());
    return std::vector<BYTE>(p, p + 2 * units.size());
}

READ_BYTES View(std::vector<BYTE> &bytes)
{
    return READ_BYTES{bytes.data(), static_cast<DWORD>(bytes.size())};
}

// ---------------------------------------------------------------------------
// The writer
// ---------------------------------------------------------------------------

void CheckText(int line, const std::u16string &text, const std::string &expected)
{
    SCOPED_TRACE(testing::Message() << "from line " << line);
    EXPECT_EQ(Written([&](JSON_WRITER *w) { JsonTextN(w, text.data(), text.size()); }), expected);
}
#define CHECK_TEXT(...) CheckText(__LINE__, __VA_ARGS__)

TEST(CaptureJson, TextIsEscapedUtf8)
{
    CHECK_TEXT(u"", "\"\"");
    CHECK_TEXT(u"SCSI\\Disk\"x\"", "\"SCSI\\\\Disk\\\"x\\\"\"");
    CHECK_TEXT(u"\n\t\r\b\f", "\"\\n\\t\\r\\b\\f\"");
    CHECK_TEXT(std::u16string(u"a\0b\x1f", 4), "\"a\\u0000b\\u001f\"");
    CHECK_TEXT(u"\u00e9\u20ac\u007f", "\"\xc3\xa9\xe2\x82\xac\x7f\"");
    CHECK_TEXT(u"\U0001F600", "\"\xf0\x9f\x98\x80\"");
    // A surrogate without its partner becomes U+FFFD, as the saver writes it.
    CHECK_TEXT(u"a\xD800", "\"a\xef\xbf\xbd\"");
    CHECK_TEXT(u"\xDC00" u"b", "\"\xef\xbf\xbd" "b\"");
    CHECK_TEXT(u"\xD800" u"A", "\"\xef\xbf\xbd" "A\"");
}

TEST(CaptureJson, LinesAndInlineContainers)
{
    std::string text = Written([](JSON_WRITER *w) {
        JsonBeginObject(w, JSON_LINES);
        JsonKey(w, "devices");
        JsonBeginArray(w, JSON_LINES);
        JsonBeginObject(w, JSON_INLINE);
        JsonKey(w, "n");
        JsonNumber(w, 1);
        JsonKey(w, "present");
        JsonBool(w, FALSE);
        JsonEndObject(w);
        JsonBeginArray(w, JSON_INLINE);
        JsonEndArray(w);
        JsonEndArray(w);
        JsonKeyText(w, u"na\u00efve \"key\"");
        JsonBeginObject(w, JSON_LINES);
        JsonEndObject(w);
        JsonKey(w, "qword");
        JsonNumber(w, 18446744073709551615ull);
        JsonEndObject(w);
    });
    EXPECT_EQ(text, "{\n"
                    "  \"devices\": [\n"
                    "    {\"n\": 1, \"present\": false},\n"
                    "    []\n"
                    "  ],\n"
                    "  \"na\xc3\xafve \\\"key\\\"\": {},\n"
                    "  \"qword\": 18446744073709551615\n"
                    "}\n");
    EXPECT_EQ(json::parse(text)["qword"].get<uint64_t>(), 18446744073709551615ull);
}

struct FailingSink {
    int calls = 0;
};

BOOL RefuseAll(PVOID context, const BYTE *, DWORD)
{
    static_cast<FailingSink *>(context)->calls++;
    return FALSE;
}

TEST(CaptureJson, SinkFailureAndMisuseAreReported)
{
    // The sink refuses the first buffer: nothing more is offered to it.
    FailingSink sink;
    JSON_WRITER w;
    JsonInit(&w, RefuseAll, &sink);
    JsonBeginArray(&w, JSON_LINES);
    for (int i = 0; i < 5000; i++)
        JsonAscii(&w, "0123456789");
    JsonEndArray(&w);
    EXPECT_FALSE(JsonFlush(&w));
    EXPECT_EQ(sink.calls, 1);

    // A closing without an opening, or a key without its value.
    Written([](JSON_WRITER *w) { JsonEndObject(w); }, false);
    Written([](JSON_WRITER *w) { JsonBeginObject(w, JSON_INLINE); JsonKey(w, "a"); JsonEndObject(w); }, false);
}

TEST(CaptureJson, DocumentLargerThanTheBufferArrivesWhole)
{
    std::string text = Written([](JSON_WRITER *w) {
        JsonBeginArray(w, JSON_LINES);
        for (int i = 0; i < 5000; i++)
            JsonNumber(w, static_cast<unsigned long long>(i));
        JsonEndArray(w);
    });
    ASSERT_GT(text.size(), static_cast<size_t>(JSON_BUFFER_BYTES));
    json parsed = json::parse(text);
    ASSERT_EQ(parsed.size(), 5000u);
    EXPECT_EQ(parsed[4999], 4999);
}

// ---------------------------------------------------------------------------
// Registry values: the form the saver chooses, the bytes the loader gives
// ---------------------------------------------------------------------------

struct ValueCase {
    int line;
    uint32_t type;
    std::vector<BYTE> bytes;
    const char *form;   // "data" or "hex"
};

std::vector<BYTE> Units(const std::u16string &units)
{
    return BytesOf(units);
}

TEST(CaptureRegistryValue, FormAndBytesAsTheMachineSavesThem)
{
    const ValueCase cases[] = {
        {__LINE__, REG_SZ, Units(std::u16string(u"ab\0", 3)), "data"},
        {__LINE__, REG_SZ, Units(std::u16string(u"\0", 1)), "data"},
        {__LINE__, REG_EXPAND_SZ, Units(std::u16string(u"%SystemRoot%\\x\0", 15)), "data"},
        {__LINE__, REG_SZ, Units(std::u16string(u"\U0001F600\0", 3)), "data"},
        {__LINE__, REG_SZ, Units(u"ab"), "hex"},                                 // no NUL
        {__LINE__, REG_SZ, Units(std::u16string(u"a\0b\0", 4)), "hex"},          // a NUL inside
        {__LINE__, REG_SZ, {0x61, 0x00, 0x00, 0x00, 0x00}, "hex"},              // odd length
        {__LINE__, REG_SZ, {}, "hex"},
        {__LINE__, REG_SZ, Units(std::u16string(u"\xD800\0", 2)), "hex"},       // lone surrogate
        {__LINE__, REG_MULTI_SZ, Units(std::u16string(u"a\0bc\0\0", 6)), "data"},
        {__LINE__, REG_MULTI_SZ, Units(std::u16string(u"\0", 1)), "data"},      // the empty list
        {__LINE__, REG_MULTI_SZ, Units(std::u16string(u"a\0", 2)), "hex"},      // list NUL missing
        {__LINE__, REG_MULTI_SZ, Units(std::u16string(u"a\0\0b\0\0", 6)), "hex"},   // an empty string inside
        {__LINE__, REG_MULTI_SZ, Units(std::u16string(u"a\0\0\0", 4)), "hex"},  // a NUL too many
        {__LINE__, REG_MULTI_SZ, {}, "hex"},
        {__LINE__, REG_MULTI_SZ, Units(std::u16string(u"a\0\xDC00\0\0", 5)), "hex"},
        {__LINE__, REG_DWORD, {0x78, 0x56, 0x34, 0x12}, "data"},
        {__LINE__, REG_DWORD, {1, 0, 0}, "hex"},
        {__LINE__, REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}, "hex"},
        {__LINE__, REG_QWORD, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "data"},
        {__LINE__, REG_QWORD, {1, 0, 0, 0}, "hex"},
        {__LINE__, REG_BINARY, {0x00, 0xAB, 0xFF}, "hex"},
        {__LINE__, REG_NONE, {}, "hex"},
        {__LINE__, 0x12345, {0x01}, "hex"},
    };
    for (const ValueCase &c : cases) {
        SCOPED_TRACE(testing::Message() << "from line " << c.line);
        std::string text = Written([&](JSON_WRITER *w) {
            JsonBeginObject(w, JSON_INLINE);
            WriteRegistryValue(w, u"V\u00e4lue \"x\"", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
            JsonEndObject(w);
        });
        json values = json::parse(text);
        const json &written = values["V\xc3\xa4lue \"x\""];
        EXPECT_TRUE(written.contains(c.form)) << written;

        json description = {{"registry", {{"SOFTWARE\\Capture", {{"values", values}}}}}};
        winsim::Machine machine = winsim::ParseMachine(description.dump());
        const winsim::RegValue *loaded = winsim::FindValue(machine, u"SOFTWARE\\Capture", u"V\u00e4lue \"x\"");
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(loaded->type, c.type);
        EXPECT_EQ(loaded->data, c.bytes);
        json saved = json::parse(winsim::SerializeMachine(machine));
        EXPECT_EQ(saved["registry"]["SOFTWARE\\Capture"]["values"], values);
    }
}

// ---------------------------------------------------------------------------
// Published INFs: text when the bytes are UTF-8, hex otherwise
// ---------------------------------------------------------------------------

TEST(CaptureStoreEntry, ContentAsTheMachineSavesIt)
{
    const std::string contents[] = {
        "[Version]\r\nSignature=\"$Windows NT$\"\r\n",
        "\xef\xbb\xbf; caf\xc3\xa9 \xf0\x9f\x98\x80\r\n",     // UTF-8 with its mark
        std::string("a\0b", 3),
        "",
        std::string("\xff\xfe[\0V\0", 6),                     // UTF-16 with its mark
        "\xc0\xaf",                                           // overlong
        "\xed\xa0\x80",                                       // a surrogate
        "\xf4\x90\x80\x80",                                   // beyond U+10FFFF
        "\xe2\x82",                                           // cut short
    };
    for (const std::string &content : contents) {
        SCOPED_TRACE(testing::Message() << "content " << testing::PrintToString(content));
        STORE_RECORD entry = {u"oem7.inf", u"qvxdsm.inf", reinterpret_cast<const BYTE *>(content.data()),
                              content.size()};
        json store = json::array({json::parse(Written([&](JSON_WRITER *w) { WriteStoreEntry(w, &entry); }))});
        winsim::Machine machine = winsim::ParseMachine(json({{"driver_store", store}}).dump());
        ASSERT_EQ(machine.driverStore.size(), 1u);
        EXPECT_EQ(machine.driverStore[0].content, content);
        EXPECT_EQ(machine.driverStore[0].originalPath, u"qvxdsm.inf");
        EXPECT_EQ(json::parse(winsim::SerializeMachine(machine))["driver_store"], store);
    }
    // Without the original name (Windows 2000) the member is left out.
    STORE_RECORD bare = {u"oem0.inf", nullptr, nullptr, 0};
    EXPECT_FALSE(json::parse(Written([&](JSON_WRITER *w) { WriteStoreEntry(w, &bare); })).contains("original_path"));
}

// ---------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------

winsim::Machine LoadDevice(json device)
{
    return winsim::ParseMachine(json({{"devices", json::array({device})}}).dump());
}

TEST(CaptureDeviceEntry, LoadsAsTheDeviceItDescribes)
{
    std::vector<BYTE> ids = BytesOf(std::u16string(u"SCSI\\DiskQUORVEX_\0GenDisk\0\0", 27));
    std::vector<BYTE> desc = BytesOf(std::u16string(u"QUORVEX LUMENSTRIDE SCSI Disk Device\0", 37));
    std::vector<BYTE> enumerator = BytesOf(std::u16string(u"SCSI\0", 5));
    std::vector<BYTE> service = BytesOf(std::u16string(u"disk\0", 5));
    std::vector<BYTE> inf = BytesOf(std::u16string(u"disk.inf\0", 9));
    DEVICE_RECORD disk = {};
    disk.instanceId = u"SCSI\\DISK&VEN_QUORVEX\\5&1&0&000000";
    const GUID diskClass = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    FormatGuid(&diskClass, disk.classGuid, 40);
    disk.hardwareIds = View(ids);
    disk.description = View(desc);
    disk.enumerator = View(enumerator);
    disk.service = View(service);
    disk.driverInf = View(inf);
    disk.hasConfigFlags = TRUE;
    disk.configFlags = 0x20;
    disk.hasStatus = TRUE;
    disk.present = TRUE;
    disk.status = 0x0180200A;
    disk.problem = 0;

    winsim::Machine machine = LoadDevice(json::parse(Written([&](JSON_WRITER *w) { WriteDeviceEntry(w, &disk); })));
    ASSERT_EQ(machine.devices.size(), 1u);
    const winsim::Device &d = machine.devices[0];
    EXPECT_EQ(d.instanceId, disk.instanceId);
    EXPECT_EQ(d.classGuid.Data1, 0x4D36E967u);
    EXPECT_EQ(d.classGuid.Data4[7], 0x18);
    EXPECT_EQ(d.hardwareIds, (std::vector<winsim::Text>{u"SCSI\\DiskQUORVEX_", u"GenDisk"}));
    EXPECT_EQ(d.description, winsim::Text(u"QUORVEX LUMENSTRIDE SCSI Disk Device"));
    EXPECT_EQ(d.enumerator, winsim::Text(u"SCSI"));
    EXPECT_EQ(d.configFlags, 0x20u);
    EXPECT_EQ(d.service, u"disk");
    EXPECT_EQ(d.driverInf, u"disk.inf");
    EXPECT_EQ(d.status, 0x0180200Au);
    EXPECT_TRUE(d.present);

    // A device node that is not there: no status, "present": false; the
    // properties it lacks stay absent.
    DEVICE_RECORD phantom = {};
    phantom.instanceId = u"ROOT\\SYSTEM\\0007";
    FormatGuid(&diskClass, phantom.classGuid, 40);
    phantom.present = FALSE;
    machine = LoadDevice(json::parse(Written([&](JSON_WRITER *w) { WriteDeviceEntry(w, &phantom); })));
    EXPECT_FALSE(machine.devices[0].present);
    EXPECT_FALSE(machine.devices[0].hardwareIds.has_value());
    EXPECT_FALSE(machine.devices[0].description.has_value());
}

TEST(CaptureDeviceEntry, PropertiesAsStoredWithoutTheirNuls)
{
    // The setup library hands over a property's bytes as stored: a list may
    // lack its closing NULs, a text its NUL.
    std::vector<BYTE> ids = BytesOf(u"ROOT\\MPIO");
    std::vector<BYTE> compatible = BytesOf(std::u16string(u"GenDisk\0SCSI\\RAW", 16));
    std::vector<BYTE> desc = BytesOf(u"Multi-Path Support");
    std::vector<BYTE> version = BytesOf(std::u16string(u"2.4.1.0\0", 8));
    DEVICE_RECORD device = {};
    device.instanceId = u"ROOT\\MPIO\\0000";
    TextCopy(device.classGuid, 40, u"{4D36E97B-E325-11CE-BFC1-08002BE10318}");
    device.hardwareIds = View(ids);
    device.compatibleIds = View(compatible);
    device.description = View(desc);
    device.driverVersion = View(version);
    device.present = TRUE;

    json entry = json::parse(Written([&](JSON_WRITER *w) { WriteDeviceEntry(w, &device); }));
    EXPECT_EQ(entry["hardware_ids"], json::array({"ROOT\\MPIO"}));
    EXPECT_EQ(entry["compatible_ids"], json::array({"GenDisk", "SCSI\\RAW"}));
    EXPECT_EQ(entry["description"], "Multi-Path Support");
    EXPECT_EQ(entry["driver_version"], "2.4.1.0");
    // No status read and no sign of absence: neither member.
    EXPECT_FALSE(entry.contains("status"));
    EXPECT_FALSE(entry.contains("present"));
}

TEST(CaptureServiceEntry, Members)
{
    SERVICE_RECORD marked = {u"qvxdsm", u"Quorvex DSM", u"\\SystemRoot\\System32\\drivers\\qvxdsm.sys", 1, 0, 1, TRUE};
    SERVICE_RECORD plain = {u"disk", nullptr, nullptr, 1, 0, 3, FALSE};
    json services = json::parse(Written([&](JSON_WRITER *w) {
        JsonBeginObject(w, JSON_LINES);
        WriteServiceEntry(w, &marked);
        WriteServiceEntry(w, &plain);
        JsonEndObject(w);
    }));
    EXPECT_EQ(services["qvxdsm"], json({{"display_name", "Quorvex DSM"},
                                        {"binary", "\\SystemRoot\\System32\\drivers\\qvxdsm.sys"},
                                        {"type", 1}, {"start", 0}, {"error_control", 1},
                                        {"marked_for_delete", true}}));
    // Without a display name or image path the members are left out.
    EXPECT_EQ(services["disk"], json({{"type", 1}, {"start", 0}, {"error_control", 3}}));
}

// ---------------------------------------------------------------------------
// The servicing tool's answer
// ---------------------------------------------------------------------------

TEST(CaptureFeatureAnswer, StateLine)
{
    struct {
        const char *line;
        INT kind;
        const char *state;
    } const cases[] = {
        {"State : Enabled\n", FEATURE_LINE_STATE, "Enabled"},
        {"State : Disabled\r\n", FEATURE_LINE_STATE, "Disabled"},
        {"  State  :  Enable Pending  \n", FEATURE_LINE_STATE, "EnablePending"},
        {"State : Disable Pending", FEATURE_LINE_STATE, "DisablePending"},
        {"State : Disabled with Payload Removed\n", FEATURE_LINE_STATE, "Disabled"},
        {"State : Staged\n", FEATURE_LINE_UNKNOWN, nullptr},
        {"State : Enabled later\n", FEATURE_LINE_UNKNOWN, nullptr},
        {"State :\n", FEATURE_LINE_UNKNOWN, nullptr},
        {"state : Enabled\n", FEATURE_LINE_OTHER, nullptr},
        {"Restart Required : Possible\n", FEATURE_LINE_OTHER, nullptr},
        {"Feature Name : MultipathIo\n", FEATURE_LINE_OTHER, nullptr},
        {"States : Enabled\n", FEATURE_LINE_OTHER, nullptr},
        {"\n", FEATURE_LINE_OTHER, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const char *state = nullptr;
        EXPECT_EQ(ReadFeatureStateLine(c.line, &state), c.kind);
        if (c.state != nullptr) {
            EXPECT_STREQ(state, c.state);
        }
    }
}

// ---------------------------------------------------------------------------
// --mask-serials
// ---------------------------------------------------------------------------

TEST(CaptureMask, EqualPartsShareANumberDistinctOnesDoNot)
{
    struct {
        const char16_t *id;
        const char16_t *masked;
    } const cases[] = {
        {u"SCSI\\DISK&VEN_A&PROD_B\\5&1C0FE2A&0&000000", u"SCSI\\DISK&VEN_A&PROD_B\\MASKED&0001"},
        {u"SCSI\\DISK&VEN_A&PROD_B\\5&1C0FE2A&0&000100", u"SCSI\\DISK&VEN_A&PROD_B\\MASKED&0002"},
        // The same serial behind another path keeps its number; case aside.
        {u"MPIO\\DISK&VEN_A&PROD_B\\5&1c0fe2a&0&000000", u"MPIO\\DISK&VEN_A&PROD_B\\MASKED&0001"},
        {u"NOSEPARATOR", u"MASKED&0003"},
        {u"USBSTOR\\DISK\\", u"USBSTOR\\DISK\\MASKED&0004"},
    };
    SERIAL_MASK mask;
    SerialMaskInit(&mask);
    WCHAR out[128];
    for (const auto &c : cases) {
        EXPECT_EQ(MaskInstanceId(&mask, c.id, out, 128), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(std::u16string(out), c.masked);
    }
    // Too small for the masked ID: refused, nothing half written.
    EXPECT_EQ(MaskInstanceId(&mask, u"SCSI\\DISK\\7", out, 12), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(out[0], 0);
    SerialMaskFree(&mask);
}

TEST(CaptureMask, ManyDisksKeepTheirNumbersAsTheTableGrows)
{
    SERIAL_MASK mask;
    SerialMaskInit(&mask);
    WCHAR out[64];
    for (int round = 0; round < 2; round++) {
        for (unsigned i = 1; i <= 3000; i++) {
            std::u16string id = u"SCSI\\DISK\\SERIAL" + winsim::Widen(std::to_string(i));
            ASSERT_EQ(MaskInstanceId(&mask, id.c_str(), out, 64), static_cast<DWORD>(ERROR_SUCCESS));
            char expected[32];
            std::snprintf(expected, sizeof expected, "SCSI\\DISK\\MASKED&%04u", i);
            ASSERT_EQ(winsim::Narrow(out), expected) << "round " << round;
        }
    }
    SerialMaskFree(&mask);
}

}  // namespace
