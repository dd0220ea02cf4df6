// The progress log: exact bytes in MPIOInstall.LOG and on the console.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "frontend/frontend.h"
#include "support/machine_test.h"

namespace {

const std::string kStamp = "[12/08/2026 10:20:30.123]";

class LogTest : public harness::MachineTest {
protected:
    void SetUp() override
    {
        machine_ = harness::Gen6();
        machine_.clock = SYSTEMTIME{2026, 12, 2, 8, 10, 20, 30, 123};
        machine_.clockStepMs = 0;
        Enter();
    }
    std::string Console() const { return winsim::Current().console; }
};

// A format that formats to exactly 'units' units ending in "\n".
std::u16string TextOfUnits(size_t units)
{
    return std::u16string(units - 1, u'a') + u"\n";
}

TEST_F(LogTest, NullFormatDoesNothing)
{
    LogMessage(nullptr);
    EXPECT_FALSE(scratch_.Exists("MPIOInstall.LOG"));
    EXPECT_EQ(Console(), "");
    EXPECT_FALSE(winsim::TraceHas("GetLocalTime"));
}

TEST_F(LogTest, UnopenableLogLosesTheMessageOnTheConsoleToo)
{
    // A directory takes the file's name, so the open fails even for root.
    ASSERT_EQ(mkdir(scratch_.Path("MPIOInstall.LOG").c_str(), 0755), 0);
    LogMessage(u"lost %d\n", 1);
    EXPECT_EQ(Console(), "");
    EXPECT_FALSE(winsim::TraceHas("WriteFile"));
}

TEST_F(LogTest, ReadOnlyLogLosesTheMessageOnTheConsoleToo)
{
    scratch_.WriteFile("MPIOInstall.LOG", "old\r\n");
    if (!scratch_.MakeReadOnly("MPIOInstall.LOG"))
        GTEST_SKIP() << "this user may write read-only files";
    LogMessage(u"lost\n");
    EXPECT_EQ(Console(), "");
    EXPECT_EQ(scratch_.Log(), "old\r\n");
}

// A record is the time stamp, then the text: "\n" as CR LF, each unit up to
// U+00FF as one byte, units above it left out.  The console shows the text.
TEST_F(LogTest, Records)
{
    struct Case {
        const char *name;
        std::u16string format;
        std::u16string argument;   // for a "%s" in the format
        std::string text;
    };
    std::string lineFeeds;
    for (int i = 0; i < 511; i++)
        lineFeeds += "\r\n";
    const Case cases[] = {
        {"RecordIsTimeStampThenText", u"Success %s\n", u"(Please reboot the system)",
         "Success (Please reboot the system)\r\n"},
        {"LeadingAndTrailingLineFeeds", u"\nInstalling\n", u"", "\r\nInstalling\r\n"},
        // U+00E9 is one byte, units above U+00FF are left out, CR alone stays.
        {"BytesOfTheText", u"caf\u00e9 %s|\r|\u0100end\n", u"\u4e2d\u6587x\u00ff", "caf\xe9 x\xff|\r|end\r\n"},
        {"PercentInAnArgumentIsWrittenAsIs", u"Installing %s\n", u"C:\\pkg\\%s%d%%\\x.inf",
         "Installing C:\\pkg\\%s%d%%\\x.inf\r\n"},
        {"LongestMessageIs511Units", u"%s", TextOfUnits(511), std::string(510, 'a') + "\r\n"},
        {"MessageOfLineFeedsOnlyIsWrittenWhole", u"%s", std::u16string(511, u'\n'), lineFeeds},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        const size_t consoleBefore = Console().size();
        LogMessage(c.format.c_str(), c.argument.c_str());
        EXPECT_EQ(scratch_.Log(), kStamp + c.text);
        EXPECT_EQ(Console().substr(consoleBefore), c.text);
    }
}

TEST_F(LogTest, TimeStampFieldsAndWidths)
{
    winsim::Current().clock = SYSTEMTIME{987, 3, 0, 7, 9, 5, 4, 7};
    LogMessage(u"x");
    EXPECT_EQ(scratch_.Log(), "[03/07/987 09:05:04.007]x");
}

TEST_F(LogTest, AppendsWithoutSeparatorAndKeepsEarlierRuns)
{
    scratch_.WriteFile("MPIOInstall.LOG", "earlier run\r\n");
    winsim::Current().clockStepMs = 1;
    LogMessage(u"Failure.");
    LogMessage(u" next\n");
    EXPECT_EQ(scratch_.Log(), "earlier run\r\n[12/08/2026 10:20:30.123]Failure.[12/08/2026 10:20:30.124] next\r\n");
    EXPECT_EQ(Console(), "Failure. next\r\n");
}

TEST_F(LogTest, MessageOf512UnitsLeavesABareTimeStamp)
{
    std::u16string tooLong = TextOfUnits(512);
    LogMessage(u"%s", tooLong.c_str());
    LogMessage(tooLong.c_str());
    EXPECT_EQ(scratch_.Log(), kStamp + kStamp);
    EXPECT_EQ(Console(), "");
}

TEST_F(LogTest, UnknownConversionLeavesABareTimeStamp)
{
    LogMessage(u"value %q\n", 1);
    EXPECT_EQ(scratch_.Log(), kStamp);
    EXPECT_EQ(Console(), "");
}

class ErrorTextTest : public LogTest {};

TEST_F(ErrorTextTest, FailureLineThenTextThenCode)
{
    LogMessage(u"Failure.");
    LogErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(scratch_.Log(), kStamp + "Failure." + kStamp +
                                 " The system cannot find the file specified.\r\r\n\r\n" + kStamp +
                                 " Error code (0x00000002)\r\n");
    EXPECT_EQ(Console(), "Failure. The system cannot find the file specified.\r\r\n\r\n Error code (0x00000002)\r\n");
    EXPECT_TRUE(winsim::TraceHas("FormatMessageW", "flags=0x1100 id=2 lang=0x400 size=0"));
}

// A failed step's report: the tag as a record of its own (a "%" in it is
// text), then the error text; the code comes back, success included.
TEST_F(ErrorTextTest, FailureIsTagThenErrorTextAndReturnsTheCode)
{
    EXPECT_EQ(LogFailure(u"\nF 100%d.", ERROR_NO_SUCH_DEVINST), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(LogFailure(u"F UDPNPD.", ERROR_SUCCESS), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(scratch_.Log(), kStamp + "\r\nF 100%d." + kStamp + " Error code (0xe000020b)\r\n" + kStamp +
                                 "F UDPNPD." + kStamp + " The operation completed successfully.\r\r\n\r\n" +
                                 kStamp + " Error code (0x00000000)\r\n");
}

TEST_F(ErrorTextTest, LooksUpTheLow16BitsAndShowsTheWholeCode)
{
    size_t blocks = winsim::LiveLocalBlocks();
    LogErrorText(0x80070005);
    EXPECT_EQ(scratch_.Log(), kStamp + " Access is denied.\r\r\n\r\n" + kStamp + " Error code (0x80070005)\r\n");
    // The text the system allocated is given back.
    EXPECT_EQ(winsim::LiveLocalBlocks(), blocks);
    EXPECT_EQ(winsim::TraceCount("LocalFree"), 1u);
}

TEST_F(ErrorTextTest, SetupCodeWithoutTextShowsOnlyTheCodeLine)
{
    LogErrorText(ERROR_NO_SUCH_DEVINST);
    EXPECT_TRUE(winsim::TraceHas("FormatMessageW", "id=523 "));
    EXPECT_EQ(scratch_.Log(), kStamp + " Error code (0xe000020b)\r\n");
    EXPECT_EQ(winsim::TraceCount("LocalFree"), 0u);
}

TEST_F(ErrorTextTest, FailedLookupShowsOnlyTheCodeLine)
{
    winsim::Current().faults.push_back(harness::FaultOn("FormatMessageW", ERROR_NOT_ENOUGH_MEMORY));
    LogErrorText(ERROR_ACCESS_DENIED);
    LogErrorText(static_cast<DWORD>(-1));
    EXPECT_EQ(scratch_.Log(), kStamp + " Error code (0x00000005)\r\n" + kStamp + " Error code (0xffffffff)\r\n");
}

TEST_F(LogTest, UsageIsNineRecords)
{
    PrintUsage();
    EXPECT_EQ(Log(), harness::Crlf(harness::kUsageRecords));
    EXPECT_EQ(winsim::TraceCount("GetLocalTime"), 9u);
}

}  // namespace
