// The stand-in's INF library: opening INF files, the syntax users write, the
// line and field queries, and installing sections and services sections.
#include <gtest/gtest.h>

#include <cstdio>

#include "setupapi_internal.h"
#include "support/machine_test.h"

namespace {

using harness::U;

const std::string kVersion = "[Version]\nSignature=\"$Windows NT$\"\n";

class InfTest : public harness::MachineTest {
protected:
    void SetUp() override
    {
        machine_ = harness::Gen6();
        Enter();
    }

    void TearDown() override
    {
        for (HINF inf : opened_)
            SetupCloseInfFile(inf);
        EXPECT_EQ(winsim::OpenInfFiles(), 0u);
    }

    // Writes an INF into the scratch directory and opens it (WIN4 style).
    HINF Open(const std::string &text, const std::string &name = "test.inf", UINT *errorLine = nullptr)
    {
        scratch_.WriteFile(name, text);
        HINF inf = SetupOpenInfFileW(U(scratch_.Path(name)).c_str(), nullptr, INF_STYLE_WIN4, errorLine);
        if (inf != INVALID_HANDLE_VALUE)
            opened_.push_back(inf);
        return inf;
    }

    std::u16string LineText(HINF inf, const char16_t *section, const char16_t *key)
    {
        WCHAR buffer[512];
        DWORD required = 0;
        if (!SetupGetLineTextW(nullptr, inf, section, key, buffer, 512, &required))
            return u"<failed>";
        return buffer;
    }

    std::u16string Field(HINF inf, const char16_t *section, DWORD line, DWORD field)
    {
        INFCONTEXT context;
        WCHAR buffer[512];
        if (!SetupGetLineByIndexW(inf, section, line, &context) ||
            !SetupGetStringFieldW(&context, field, buffer, 512, nullptr))
            return u"<failed>";
        return buffer;
    }

    std::vector<HINF> opened_;
};

// ---------------------------------------------------------------------------
// SetupOpenInfFileW
// ---------------------------------------------------------------------------

TEST_F(InfTest, OpenFailsForAMissingFile)
{
    HINF inf = SetupOpenInfFileW(U(scratch_.Path("absent.inf")).c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    DWORD error = GetLastError();
    EXPECT_EQ(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(InfTest, OpenNeedsAWindowsSignature)
{
    for (const std::string &text : {std::string("[Version]\nSignature=\"$Windows 3.1$\"\n"),
                                    std::string("[Version]\nClass=System\n"), std::string("[Strings]\n"),
                                    std::string("")}) {
        EXPECT_EQ(Open(text), INVALID_HANDLE_VALUE) << text;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE)) << text;
    }
    EXPECT_NE(Open("[version]\nsignature = \"$CHICAGO$\"\n"), INVALID_HANDLE_VALUE);
    EXPECT_NE(Open(kVersion), INVALID_HANDLE_VALUE);
}

TEST_F(InfTest, OpenReportsSyntaxErrorsWithTheirLine)
{
    struct Case {
        std::string text;
        DWORD error;
        UINT line;
    } cases[] = {
        {"; comment\n\nstray text\n" + kVersion, ERROR_EXPECTED_SECTION_NAME, 3},
        {kVersion + "[Broken\nkey=value\n", ERROR_BAD_SECTION_NAME_LINE, 3},
        {kVersion + "[S]\nkey=\"open quote\n", ERROR_GENERAL_SYNTAX, 4},
        {kVersion + "[" + std::string(256, 'x') + "]\n", ERROR_SECTION_NAME_TOO_LONG, 3},
    };
    for (const Case &c : cases) {
        UINT line = 99;
        EXPECT_EQ(Open(c.text, "test.inf", &line), INVALID_HANDLE_VALUE) << c.text;
        EXPECT_EQ(GetLastError(), c.error) << c.text;
        EXPECT_EQ(line, c.line) << c.text;
    }
}

TEST_F(InfTest, OpenTakesWindowsSeparatorsAndChecksTheClass)
{
    scratch_.WriteFile("pkg/dsm.inf", kVersion + "Class=System\n");
    std::string windowsPath = scratch_.Path("pkg") + "\\dsm.inf";
    HINF inf = SetupOpenInfFileW(U(windowsPath).c_str(), u"system", INF_STYLE_WIN4, nullptr);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    SetupCloseInfFile(inf);
    EXPECT_EQ(SetupOpenInfFileW(U(windowsPath).c_str(), u"Net", INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
    EXPECT_TRUE(winsim::TraceHas("SetupOpenInfFileW", "style=0x2"));
}

// ---------------------------------------------------------------------------
// The syntax users write
// ---------------------------------------------------------------------------

TEST_F(InfTest, SectionsAndKeysIgnoreCaseAndRepeatedSectionsMerge)
{
    HINF inf = Open(kVersion + "[DefaultUninstall]\nDelReg = First\n[Other]\na=1\n[defaultuninstall]\nDelFiles=Files\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetupGetLineCountW(inf, u"DEFAULTUNINSTALL"), 2);
    EXPECT_EQ(LineText(inf, u"defaultUninstall", u"delreg"), u"First");
    EXPECT_EQ(LineText(inf, u"DefaultUninstall", u"DELFILES"), u"Files");
}

TEST_F(InfTest, QuotesCommentsAndContinuationsShapeTheFields)
{
    HINF inf = Open(kVersion +
                    "[S]\n"
                    "  plain =  a b , \"  spaced  \" ,, last   ; comment, not a field\n"
                    "quoted = \"semi;colon, comma\", \"say \"\"hi\"\"\"\n"
                    "joined = first, \\\n"
                    "         second ; the continuation joins this line\n"
                    "path = \"dir\\\"\\ ; a quoted backslash is no continuation\n"
                    "  , file\n"
                    "\n"
                    "; only a comment\n"
                    "single\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetupGetLineCountW(inf, u"S"), 5);
    EXPECT_EQ(LineText(inf, u"S", u"plain"), u"a b,  spaced  ,,last");
    EXPECT_EQ(Field(inf, u"S", 1, 1), u"semi;colon, comma");
    EXPECT_EQ(Field(inf, u"S", 1, 2), u"say \"hi\"");
    EXPECT_EQ(LineText(inf, u"S", u"joined"), u"first,second");
    EXPECT_EQ(LineText(inf, u"S", u"path"), u"dir\\,file");
    // A line without '=' holding one value is found by that value.
    EXPECT_EQ(LineText(inf, u"S", u"single"), u"single");
}

TEST_F(InfTest, StringTokensAreSubstitutedEverywhere)
{
    HINF inf = Open(kVersion +
                    "[%Models%]\n"
                    "[Models]\n"
                    "%Desc% = Install, Root\\QVXDSM\n"
                    "[S]\n"
                    "value = \"%Vendor% %Product%\", %%SystemRoot%%\\x, %Unknown%, %12%\\qvxdsm.sys, %1%\\a\n"
                    "[Strings]\n"
                    "Desc = \"Quorvex Lumenstride Device Specific Module\"\n"
                    "vendor = QUORVEX\n"
                    "PRODUCT = \"  LUMENSTRIDE  \"\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Field(inf, u"Models", 0, 0), u"Quorvex Lumenstride Device Specific Module");
    EXPECT_EQ(Field(inf, u"S", 0, 1), u"QUORVEX   LUMENSTRIDE  ");
    EXPECT_EQ(Field(inf, u"S", 0, 2), u"%SystemRoot%\\x");
    EXPECT_EQ(Field(inf, u"S", 0, 3), u"%Unknown%");
    EXPECT_EQ(Field(inf, u"S", 0, 4), u"C:\\Windows\\System32\\drivers\\qvxdsm.sys");
    EXPECT_EQ(Field(inf, u"S", 0, 5), U(scratch_.Dir()) + u"\\a");   // %1%: the INF's directory
    // Section names are taken as written, tokens included.
    EXPECT_EQ(SetupGetLineCountW(inf, u"%Models%"), 0);
}

// ---------------------------------------------------------------------------
// Line and field queries
// ---------------------------------------------------------------------------

TEST_F(InfTest, LineCountIsMinusOneForAMissingSection)
{
    HINF inf = Open(kVersion + "[Empty]\n[Two]\na\nb\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetupGetLineCountW(inf, u"Missing"), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SECTION_NOT_FOUND));
    EXPECT_EQ(SetupGetLineCountW(INVALID_HANDLE_VALUE, u"Two"), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SetupGetLineCountW(inf, u"Empty"), 0);
    EXPECT_EQ(SetupGetLineCountW(inf, u"Two"), 2);
}

TEST_F(InfTest, LineTextAnswersSizeQueriesAndMissingLines)
{
    HINF inf = Open(kVersion + "[DefaultUninstall]\nDelReg = QvxDsmRemove\nDelFiles =\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    DWORD required = 0;
    EXPECT_FAILS_WITH(SetupGetLineTextW(nullptr, inf, u"Missing", u"DelReg", nullptr, 0, &required),
                      ERROR_SECTION_NOT_FOUND);
    EXPECT_FAILS_WITH(SetupGetLineTextW(nullptr, inf, u"DefaultUninstall", u"AddReg", nullptr, 0, &required),
                      ERROR_LINE_NOT_FOUND);
    EXPECT_FAILS_WITH(SetupGetLineTextW(nullptr, inf, nullptr, u"DelReg", nullptr, 0, &required),
                      ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(SetupGetLineTextW(nullptr, inf, u"DefaultUninstall", u"DelReg", nullptr, 0, &required));
    EXPECT_EQ(required, 13u);   // "QvxDsmRemove" and its NUL
    WCHAR small[12] = {u'x'};
    EXPECT_FAILS_WITH(SetupGetLineTextW(nullptr, inf, u"DefaultUninstall", u"DelReg", small, 12, &required),
                      ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small[0], u'x');   // nothing written
    WCHAR exact[13];
    ASSERT_TRUE(SetupGetLineTextW(nullptr, inf, u"DefaultUninstall", u"DelReg", exact, 13, nullptr));
    EXPECT_EQ(std::u16string(exact), u"QvxDsmRemove");
    // A key with nothing after '=' has the empty text.
    ASSERT_TRUE(SetupGetLineTextW(nullptr, inf, u"DefaultUninstall", u"DelFiles", nullptr, 0, &required));
    EXPECT_EQ(required, 1u);
}

TEST_F(InfTest, FieldsByIndexWithTheKeyAsFieldZero)
{
    HINF inf = Open(kVersion + "[Del]\nHKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, List, 0x00018002, \"A B \"\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    INFCONTEXT context;
    EXPECT_FAILS_WITH(SetupGetLineByIndexW(inf, u"Del", 1, &context), ERROR_LINE_NOT_FOUND);
    EXPECT_FAILS_WITH(SetupGetLineByIndexW(inf, u"Nope", 0, &context), ERROR_SECTION_NOT_FOUND);
    ASSERT_TRUE(SetupGetLineByIndexW(inf, u"Del", 0, &context));
    EXPECT_EQ(SetupGetFieldCount(&context), 5u);

    DWORD required = 0;
    EXPECT_FAILS_WITH(SetupGetStringFieldW(&context, 6, nullptr, 0, &required), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetupGetStringFieldW(&context, 5, nullptr, 0, &required));
    EXPECT_EQ(required, 5u);
    WCHAR buffer[5];
    EXPECT_FAILS_WITH(SetupGetStringFieldW(&context, 5, buffer, 4, &required), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(SetupGetStringFieldW(&context, 5, buffer, 5, &required));
    EXPECT_EQ(std::u16string(buffer), u"A B ");
    EXPECT_EQ(Field(inf, u"Del", 0, 2), u"SYSTEM\\CurrentControlSet\\Control\\MPDEV");

    HINF keyed = Open(kVersion + "[K]\n431 = 1, 2\n", "keyed.inf");
    ASSERT_TRUE(SetupGetLineByIndexW(keyed, u"K", 0, &context));
    INT value = 0;
    ASSERT_TRUE(SetupGetIntField(&context, 0, &value));
    EXPECT_EQ(value, 431);
}

TEST_F(InfTest, IntegerFieldsReadDecimalHexAndSigns)
{
    HINF inf = Open(kVersion + "[N]\nv = 0x00018002, 42, -7, +0X1f, 0xFFFFFFFF, 12abc, , 0x\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    INFCONTEXT context;
    ASSERT_TRUE(SetupGetLineByIndexW(inf, u"N", 0, &context));
    const INT expected[] = {0x18002, 42, -7, 31, -1};
    for (DWORD field = 1; field <= 5; field++) {
        INT value = 0;
        EXPECT_TRUE(SetupGetIntField(&context, field, &value)) << field;
        EXPECT_EQ(value, expected[field - 1]) << field;
    }
    INT value = 0;
    for (DWORD field = 6; field <= 8; field++)
        EXPECT_FAILS_WITH(SetupGetIntField(&context, field, &value), ERROR_INVALID_DATA);
    EXPECT_FAILS_WITH(SetupGetIntField(&context, 9, &value), ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// DriverVer
// ---------------------------------------------------------------------------
// What ParseDriverVer makes of "DriverVer = <entry>" in [Version]: the date
// and the version ("2026-12-08 2.4.1.0"), or the fault.
std::string ReadDriverVer(const std::string &entry)
{
    auto parsed = winsim::inf::Parse("[Version]\nDriverVer = " + entry + "\n", u"");
    const winsim::inf::DriverVerReading reading =
        winsim::inf::ParseDriverVer(*parsed.file->FindLine(u"Version", u"DriverVer"));
    if (!reading.driverVer)
        return "fault: " + reading.fault;
    const winsim::inf::DriverVer &v = *reading.driverVer;
    char date[16], version[32] = "";
    std::snprintf(date, sizeof date, "%04u-%02u-%02u", v.year, v.month, v.day);
    if (v.version)
        std::snprintf(version, sizeof version, "%u.%u.%u.%u", (*v.version)[0], (*v.version)[1], (*v.version)[2],
                      (*v.version)[3]);
    // The text is the parts, each in decimal.
    EXPECT_EQ(winsim::Narrow(v.versionText), version);
    return v.version ? std::string(date) + " " + version : std::string(date);
}

TEST(DriverVer, ReadsTheDateAndTheVersionOrTellsWhyNot)
{
    const struct {
        const char *entry, *reading;
    } cases[] = {
        {"2026-12-08", "fault: date \"2026-12-08\" is not mm/dd/yyyy"},
        {"12/8/2026,1.0", "fault: date \"12/8/2026\" is not mm/dd/yyyy"},
        {"12/08-2026", "fault: date \"12/08-2026\" is not mm/dd/yyyy"},
        {"12/08/2026 1.0", "fault: date \"12/08/2026 1.0\" is not mm/dd/yyyy"},
        {"02/29/2025", "fault: date \"02/29/2025\" names no day from 1601 on"},
        {"12/31/1600", "fault: date \"12/31/1600\" names no day from 1601 on"},
        {"12/08/2026,2.4.1.0,x", "fault: more than a date and a version"},
        {"12/08/2026,1.2.3.65535", "fault: version part \"65535\" is not a decimal number below 65535"},
        {"12/08/2026,1.2.3.4.5", "fault: more than four version parts"},
        {"12/08/2026,2..1", "fault: version part \"\" is not a decimal number below 65535"},
        {"12/08/2026,0x10", "fault: version part \"0x10\" is not a decimal number below 65535"},
        {"12/08/2026,0", "fault: version 0.0.0.0 is no version"},
        {"12/08/2026,2.4.1.0", "2026-12-08 2.4.1.0"},
        {"12-08-2026, 2.4.1.0", "2026-12-08 2.4.1.0"},
        {"09/28/1999,5.00.2136.1", "1999-09-28 5.0.2136.1"},
        {"02/29/2000,10.0200", "2000-02-29 10.200.0.0"},
        {"01/01/1601,65534.0.0.1", "1601-01-01 65534.0.0.1"},
        {"12/08/2026,0.0.0.1", "2026-12-08 0.0.0.1"},
        {"12/08/2026", "2026-12-08"},
        {"12/08/2026,", "2026-12-08"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ReadDriverVer(c.entry), c.reading) << c.entry;
}

// ---------------------------------------------------------------------------
// Registry lines
// ---------------------------------------------------------------------------
// One line of [R], decoded.
winsim::inf::RegistryLine RegistryLineOf(const std::string &text)
{
    auto parsed = winsim::inf::Parse("[R]\n" + text + "\n", u"");
    return winsim::inf::DecodeRegistryLine(parsed.file->FindSection(u"R")->lines.at(0));
}

TEST(RegistryLines, DelRegLineDeletesTheKeyTheValueOrOneStringByVersion)
{
    using Action = winsim::inf::DelRegAction;
    const winsim::OsInfo windows2000{5, 0, 2195, u"", ""}, xp{5, 1, 2600, u"", ""}, server2019;
    const struct {
        const char *line;
        Action on50, on51;
    } cases[] = {
        {"HKLM, Software\\Q", Action::DeleteKey, Action::DeleteKey},
        {"HKLM, Software\\Q, , 0x00018002, \"S\"", Action::DeleteValue, Action::DeleteString},
        {"HKLM, Software\\Q, V", Action::DeleteValue, Action::DeleteValue},
        {"HKLM, Software\\Q, V, 0x00002000", Action::DeleteKey, Action::DeleteKey},
        {"HKLM, Software\\Q, V, 0x00018002, \"S\"", Action::DeleteValue, Action::DeleteString},
        {"HKLM, Software\\Q, V, 0x00018002", Action::DeleteValue, Action::DeleteString},
        // The delete-string flag wins over the key-only one where it is known.
        {"HKLM, Software\\Q, V, 0x0001A002, \"S\"", Action::DeleteKey, Action::DeleteString},
        // Without the DelReg bit (0x8000) the line is no delete-string line.
        {"HKLM, Software\\Q, V, 0x00010002, \"S\"", Action::DeleteValue, Action::DeleteValue},
    };
    for (const auto &c : cases) {
        const winsim::inf::RegistryLine line = RegistryLineOf(c.line);
        EXPECT_EQ(winsim::inf::ClassifyDelReg(line, windows2000), c.on50) << c.line;
        EXPECT_EQ(winsim::inf::ClassifyDelReg(line, xp), c.on51) << c.line;
        EXPECT_EQ(winsim::inf::ClassifyDelReg(line, server2019), c.on51) << c.line;
    }
}

TEST(RegistryLines, AddRegLineWritesAMultiStringOnlyAsText)
{
    const struct {
        const char *flags;
        bool multiString;
    } cases[] = {{"0x00010000", true}, {"0x00010008", true}, {"0x00070001", false}, {"0x00000000", false},
                 {"0x00020000", false}};
    for (const auto &c : cases)
        EXPECT_EQ(winsim::inf::WritesMultiString(RegistryLineOf(std::string("HKLM, K, V, ") + c.flags + ", a")),
                  c.multiString)
            << c.flags;
}

// The lines a directive runs, section by section in the order it names
// them; a name without a section is kept in its place.
TEST(RegistryLines, DirectiveRunsTheLinesOfEachSectionItNames)
{
    auto parsed = winsim::inf::Parse("[Install]\nAddReg = Two, , Missing\nAddReg = One\n"
                                     "[One]\nHKLM, A, First\n[Two]\nHKLM, B, Second\nHKLM, B, Third\n",
                                     u"");
    const winsim::inf::InfFile &file = *parsed.file;
    std::vector<std::string> run;
    for (const auto &entry : winsim::inf::RegistryLines(file, *file.FindSection(u"Install"), u"addreg"))
        run.push_back(winsim::Narrow(entry.sectionName) + ":" +
                      (entry.section ? winsim::Narrow(*entry.line.valueName) + "@" +
                                           std::to_string(entry.text->sourceLine)
                                     : std::string("none")));
    EXPECT_EQ(run, (std::vector<std::string>{"Two:Second@7", "Two:Third@8", "Missing:none", "One:First@5"}));
    EXPECT_TRUE(winsim::inf::RegistryLines(file, *file.FindSection(u"Install"), u"DelReg").empty());
}

// ---------------------------------------------------------------------------
// SetupInstallFromInfSectionW
// ---------------------------------------------------------------------------

const std::string kListKey = "SYSTEM\\CurrentControlSet\\Control\\MPDEV";

class InstallSectionTest : public InfTest {
protected:
    BOOL Install(HINF inf, const char16_t *section, PSP_FILE_CALLBACK_W handler = SetupDefaultQueueCallbackW)
    {
        PVOID context = SetupInitDefaultQueueCallbackEx(nullptr, static_cast<HWND>(INVALID_HANDLE_VALUE), 0, 0,
                                                        nullptr);
        BOOL ok = SetupInstallFromInfSectionW(nullptr, inf, section, SPINST_FILES | SPINST_REGISTRY, nullptr,
                                              nullptr, SP_COPY_FORCE_NEWER, handler, context, nullptr, nullptr);
        DWORD error = GetLastError();
        SetupTermDefaultQueueCallback(context);
        SetLastError(error);
        return ok;
    }
};

TEST_F(InstallSectionTest, MissingSectionsFail)
{
    HINF inf = Open(kVersion + "[Install]\nCopyFiles = NoSuchList\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_FAILS_WITH(Install(inf, u"DefaultUninstall"), ERROR_SECTION_NOT_FOUND);
    EXPECT_FAILS_WITH(Install(inf, u"Install"), ERROR_SECTION_NOT_FOUND);
    EXPECT_FAILS_WITH(SetupInstallServicesFromInfSectionW(inf, u"DefaultUninstall.Services", 0),
                      ERROR_SECTION_NOT_FOUND);
}

TEST_F(InstallSectionTest, FilesAreCopiedFromTheInfDirectoryAndDeleted)
{
    const std::string text = kVersion +
                             "[DestinationDirs]\nDefaultDestDir = 12\nExtra = 11, sub\n"
                             "[Install]\nCopyFiles = Drivers, Extra\n"
                             "[Uninstall]\nDelFiles = Drivers\n"
                             "[Drivers]\nmpio.sys\nmpfilt.sys, filter_src.sys\n"
                             "[Extra]\nhelper.dll\n";
    scratch_.WriteFile("pkg/mpio.sys", "x");
    scratch_.WriteFile("pkg/filter_src.sys", "x");
    HINF inf = Open(text, "pkg/mpio.inf");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    // helper.dll is not there: the copy fails, the earlier copies stay recorded.
    EXPECT_FAILS_WITH(Install(inf, u"Install"), ERROR_FILE_NOT_FOUND);
    scratch_.WriteFile("pkg/helper.dll", "x");
    ASSERT_TRUE(Install(inf, u"Install"));

    const auto &files = winsim::Current().files;
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].destination, u"12\\mpio.sys");
    EXPECT_EQ(files[0].source, U(scratch_.Path("pkg/mpio.sys")));
    EXPECT_EQ(files[1].destination, u"12\\mpfilt.sys");
    EXPECT_EQ(files[1].source, U(scratch_.Path("pkg/filter_src.sys")));
    EXPECT_EQ(files[2].destination, u"11\\sub\\helper.dll");

    ASSERT_TRUE(Install(inf, u"Uninstall"));
    EXPECT_TRUE(files[0].deleted);
    EXPECT_TRUE(files[1].deleted);
    EXPECT_FALSE(files[2].deleted);
}

// Packages built on Windows often differ from their INF in letter case: the
// INF and its files are found all the same, and the records keep the names
// as the INF writes them.  The source-disk section decorated for the
// machine's architecture says where a file lies.
TEST_F(InstallSectionTest, FindsFilesWithoutRegardToCaseWhereTheArchitecturePutsThem)
{
    const std::string text = kVersion +
                             "[SourceDisksNames]\n1 = disk,,,\n"
                             "[SourceDisksNames.amd64]\n1 = disk,,,\\x64\n"
                             "[SourceDisksNames.x86]\n1 = disk,,,\\x86\n"
                             "[SourceDisksFiles]\nhdsm.sys = 1\n"
                             "[Install]\nCopyFiles = Drivers\n[Drivers]\nhdsm.sys\n";
    scratch_.WriteFile("PKG/HDSM.INF", text);
    scratch_.WriteFile("PKG/X64/HDSM.SYS", "x");
    scratch_.WriteFile("PKG/X86/HDSM.SYS", "x");
    for (const char *arch : {"amd64", "x86"}) {
        SCOPED_TRACE(arch);
        machine_.os.arch = arch;
        Enter();
        HINF inf = SetupOpenInfFileW(U(scratch_.Path("pkg") + "\\hdsm.inf").c_str(), nullptr, INF_STYLE_WIN4,
                                     nullptr);
        ASSERT_NE(inf, INVALID_HANDLE_VALUE);
        opened_.push_back(inf);
        ASSERT_TRUE(Install(inf, u"Install"));
        const std::string dir = std::string(arch) == "x86" ? "x86" : "x64";
        ASSERT_EQ(winsim::Current().files.size(), 1u);
        EXPECT_EQ(winsim::Current().files[0].source, U(scratch_.Path("pkg/" + dir + "/hdsm.sys")));
    }
}

// Records the notifications a queue sends and answers as told.
std::vector<std::pair<UINT, std::u16string>> gNotifications;
UINT gStartCopyAnswer = FILEOP_DOIT;
UINT CALLBACK RecordingHandler(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2)
{
    std::u16string target;
    if (notification != SPFILENOTIFY_STARTQUEUE && notification != SPFILENOTIFY_ENDQUEUE)
        target = reinterpret_cast<winsim::setup::QueueFilePaths *>(param1)->Target;
    gNotifications.emplace_back(notification, target);
    if (notification == SPFILENOTIFY_STARTCOPY)
        return gStartCopyAnswer;
    return SetupDefaultQueueCallbackW(context, notification, param1, param2);
}

TEST_F(InstallSectionTest, TheMessageHandlerSeesTheQueueAndCanAbortIt)
{
    scratch_.WriteFile("a.sys", "x");
    HINF inf = Open(kVersion + "[DestinationDirs]\nDefaultDestDir=12\n[I]\nCopyFiles=@a.sys\nDelFiles=Old\n"
                               "[Old]\nold.sys\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    gNotifications.clear();
    gStartCopyAnswer = FILEOP_DOIT;
    ASSERT_TRUE(Install(inf, u"I", RecordingHandler));
    std::vector<std::pair<UINT, std::u16string>> expected = {
        {SPFILENOTIFY_STARTQUEUE, u""},          {SPFILENOTIFY_STARTDELETE, u"12\\old.sys"},
        {SPFILENOTIFY_ENDDELETE, u"12\\old.sys"}, {SPFILENOTIFY_STARTCOPY, u"12\\a.sys"},
        {SPFILENOTIFY_ENDCOPY, u"12\\a.sys"},     {SPFILENOTIFY_ENDQUEUE, u""}};
    EXPECT_EQ(gNotifications, expected);

    winsim::Current().files.clear();
    gStartCopyAnswer = FILEOP_ABORT;
    EXPECT_FAILS_WITH(Install(inf, u"I", RecordingHandler), ERROR_CANCELLED);
    ASSERT_EQ(winsim::Current().files.size(), 1u);   // the deletion ran before the copy was refused
    EXPECT_TRUE(winsim::Current().files[0].deleted);
}

TEST_F(InstallSectionTest, AddRegAppendsOnceAndDelRegRemovesEveryMatchingString)
{
    harness::SetMultiSz(winsim::Current(), kListKey, "MPIOSupportedDeviceList",
                        {"TESSELLAORBIT-2         ", "quorvex lumenstride     "});
    HINF inf = Open(kVersion +
                    "[Add]\nAddReg = Append\n"
                    "[Append]\nHKLM, " + kListKey + ", MPIOSupportedDeviceList, 0x00010008, \"QUORVEX LUMENSTRIDE     \"\n"
                    "HKLM, " + kListKey + ", MPIOSupportedDeviceList, 0x00010008, \"NEW VENDOR\"\n"
                    "HKLM, " + kListKey + "\\Sub, Count, 0x00010001, 0x20\n"
                    "HKLM, " + kListKey + "\\Sub, Name, , \"text\"\n"
                    "[Remove]\nDelReg = Strings, Values\n"
                    "[Strings]\nHKLM, " + kListKey + ", MPIOSupportedDeviceList, 0x00018002, \"Quorvex Lumenstride     \"\n"
                    "[Values]\nHKLM, " + kListKey + "\\Sub, Count\nHKLM, " + kListKey + "\\Gone\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    winsim::FindKey(U(kListKey + "\\Gone"), true);
    ASSERT_TRUE(Install(inf, u"Add"));
    auto list = harness::GetMultiSz(winsim::Current(), kListKey, "MPIOSupportedDeviceList");
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (std::vector<std::string>{"TESSELLAORBIT-2         ", "quorvex lumenstride     ", "NEW VENDOR"}));
    EXPECT_EQ(harness::GetDword(winsim::Current(), kListKey + "\\Sub", "Count"), 0x20u);

    ASSERT_TRUE(Install(inf, u"Remove"));
    list = harness::GetMultiSz(winsim::Current(), kListKey, "MPIOSupportedDeviceList");
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (std::vector<std::string>{"TESSELLAORBIT-2         ", "NEW VENDOR"}));
    EXPECT_FALSE(harness::GetDword(winsim::Current(), kListKey + "\\Sub", "Count"));
    EXPECT_NE(winsim::FindKey(U(kListKey + "\\Sub")), nullptr);
    EXPECT_EQ(winsim::FindKey(U(kListKey + "\\Gone")), nullptr);
}

// Generation 5.0 does not know the delete-string flag: such a line deletes
// the value it names, whole.
TEST_F(InstallSectionTest, DelRegDeleteStringOnGeneration50DeletesTheWholeValue)
{
    winsim::Current().os.major = 5;
    winsim::Current().os.minor = 0;
    harness::SetMultiSz(winsim::Current(), kListKey, "MPIOSupportedDeviceList",
                        {"TESSELLAORBIT-2         ", "QUORVEX LUMENSTRIDE     "});
    HINF inf = Open(kVersion + "[Remove]\nDelReg = Strings\n"
                               "[Strings]\nHKLM, " + kListKey + ", MPIOSupportedDeviceList, 0x00018002, \"NOT LISTED\"\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Install(inf, u"Remove"));
    EXPECT_EQ(harness::GetRaw(winsim::Current(), kListKey, "MPIOSupportedDeviceList"), nullptr);
    EXPECT_NE(winsim::FindKey(U(kListKey)), nullptr);
}

TEST_F(InstallSectionTest, RegistryFailuresStopTheSection)
{
    HINF inf = Open(kVersion + "[Relative]\nAddReg=R\n[R]\nHKR,,Value,,1\n"
                               "[Denied]\nAddReg=D\n[D]\nHKLM, " + kListKey + ", V, , 1\n");
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    // HKR names no key when the section is installed without a device.
    EXPECT_FAILS_WITH(Install(inf, u"Relative"), 1010u);
    winsim::FindKey(U(kListKey), true)->denyAccess = true;
    EXPECT_FAILS_WITH(Install(inf, u"Denied"), ERROR_ACCESS_DENIED);
}

// ---------------------------------------------------------------------------
// SetupInstallServicesFromInfSectionW
// ---------------------------------------------------------------------------

const std::string kServiceInf = kVersion +
                                "[DefaultInstall.Services]\nAddService = qvxdsm, 0x0000003A, Svc\n"
                                "[DefaultUninstall.Services]\nDelService = qvxdsm, 0x00000200\n"
                                "[Bad.Services]\nAddService = other, 0, Incomplete\n"
                                "[Path.Services]\nAddService = a\\b, 0, Svc\n"
                                "[Again.Services]\nAddService = qvxdsm, 0x20, Svc\n"
                                "[Svc]\nDisplayName = %Name%\nServiceType = 1\nStartType = 0\n"
                                "ErrorControl = 3\nServiceBinary = %12%\\qvxdsm.sys\nAddReg = SvcReg\n"
                                "[SvcReg]\nHKR, Parameters, Period, 0x00010001, 20\n"
                                "[Incomplete]\nServiceType = 1\nStartType = 0\n"
                                "[Strings]\nName = \"Quorvex Lumenstride DSM\"\n";
const char kDsmKey[] = "SYSTEM\\CurrentControlSet\\Services\\qvxdsm";

// A new service takes every value, whatever the no-clobber flags (0x38).
TEST_F(InfTest, ServicesAreKeysAddedAndDeletedWithTheirSubkeysAtTheNextReboot)
{
    HINF inf = Open(kServiceInf);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_FAILS_WITH(SetupInstallServicesFromInfSectionW(inf, u"Bad.Services", 0), ERROR_BAD_SERVICE_INSTALLSECT);
    EXPECT_FAILS_WITH(SetupInstallServicesFromInfSectionW(inf, u"Path.Services", 0), ERROR_INVALID_NAME);
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf, u"DefaultInstall.Services", 0));
    winsim::Machine &machine = winsim::Current();
    auto service = winsim::FindService(machine, u"QVXDSM");
    ASSERT_TRUE(service.has_value());
    EXPECT_EQ(service->displayName, std::optional<std::u16string>(u"Quorvex Lumenstride DSM"));
    EXPECT_EQ(service->imagePath, std::optional<std::u16string>(u"C:\\Windows\\System32\\drivers\\qvxdsm.sys"));
    EXPECT_EQ(harness::GetRaw(machine, kDsmKey, "ImagePath")->type, static_cast<uint32_t>(REG_EXPAND_SZ));
    EXPECT_EQ(service->type, 1u);
    EXPECT_EQ(service->start, std::optional<uint32_t>(0));
    EXPECT_EQ(service->errorControl, std::optional<uint32_t>(3));
    EXPECT_EQ(harness::GetDword(machine, std::string(kDsmKey) + "\\Parameters", "Period"), std::optional<uint32_t>(20));

    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf, u"DefaultUninstall.Services", 0));
    EXPECT_TRUE(winsim::FindService(machine, u"qvxdsm")->markedForDelete);
    EXPECT_FAILS_WITH(SetupInstallServicesFromInfSectionW(inf, u"DefaultInstall.Services", 0),
                      ERROR_SERVICE_MARKED_FOR_DELETE);
    winsim::Reboot(machine);
    EXPECT_EQ(winsim::FindKey(machine, winsim::Widen(kDsmKey)), nullptr);
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf, u"DefaultInstall.Services", 0));
    EXPECT_FALSE(winsim::FindService(machine, u"qvxdsm")->markedForDelete);

    // Again on the service that exists: 0x20 keeps its error control only.
    harness::AddService(machine, "qvxdsm", 2);
    harness::SetDword(machine, kDsmKey, "ErrorControl", 0);
    harness::SetString(machine, kDsmKey, "DisplayName", "Old");
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf, u"Again.Services", 0));
    service = winsim::FindService(machine, u"qvxdsm");
    EXPECT_EQ(service->errorControl, std::optional<uint32_t>(0));
    EXPECT_EQ(service->start, std::optional<uint32_t>(0));
    EXPECT_EQ(service->displayName, std::optional<std::u16string>(u"Quorvex Lumenstride DSM"));
}

TEST_F(InfTest, CallsAskTheFaultPlanBySection)
{
    HINF inf = Open(kServiceInf);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    winsim::Current().faults.push_back(
        harness::FaultOn("SetupInstallServicesFromInfSectionW", ERROR_ACCESS_DENIED, "defaultuninstall.services"));
    EXPECT_TRUE(SetupInstallServicesFromInfSectionW(inf, u"DefaultInstall.Services", 0));
    EXPECT_FAILS_WITH(SetupInstallServicesFromInfSectionW(inf, u"DefaultUninstall.Services", 0),
                      ERROR_ACCESS_DENIED);
    EXPECT_FALSE(winsim::FindService(winsim::Current(), u"qvxdsm")->markedForDelete);
}

}  // namespace
