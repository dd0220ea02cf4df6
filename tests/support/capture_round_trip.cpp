// The capture round trip every machine of the suite goes through: where a
// test makes a machine current for a run, and where a run ends, capture.exe's
// own code (CaptureMain) captures a copy of the machine in this process; the
// file it writes, loaded and without the capture's own notes, must equal the
// machine's captured view, and the capture must leave the machine as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "support/harness.h"
#include "winsim/description.h"

namespace harness {

namespace {

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// How many machines this process checked, and how many of them differed.
struct Tally {
    size_t machines = 0;
    size_t skipped = 0;          // machines no description can hold
    std::set<size_t> distinct;   // hashes of the views
    ~Tally()
    {
        if (machines + skipped > 0)
            std::printf("capture round trip: %zu machines, %zu distinct, %zu not describable\n", machines,
                        distinct.size(), skipped);
    }
};

Tally &Counted()
{
    static Tally tally;
    return tally;
}

const std::string &OutputDir()
{
    static hosttools::ScratchDir dir("capture-round-trip");
    return dir.Dir();
}

}  // namespace

std::string ShortDiff(const std::string &expected, const std::string &actual, size_t mostLines)
{
    const std::vector<std::string> a = Lines(expected), b = Lines(actual);
    size_t head = 0, tail = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head])
        head++;
    while (tail < a.size() - head && tail < b.size() - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
        tail++;
    // One hunk: the differing stretch with three lines before it.
    const size_t from = head > 3 ? head - 3 : 0;
    std::vector<std::string> out{"--- expected", "+++ actual",
                                 "@@ -" + std::to_string(from + 1) + " +" + std::to_string(from + 1) + " @@"};
    for (size_t i = from; i < head; i++)
        out.push_back(" " + a[i]);
    for (size_t i = head; i < a.size() - tail; i++)
        out.push_back("-" + a[i]);
    for (size_t i = head; i < b.size() - tail; i++)
        out.push_back("+" + b[i]);
    std::string text;
    for (size_t i = 0; i < out.size() && i < mostLines; i++)
        text += out[i] + "\n";
    if (out.size() > mostLines)
        text += "... (" + std::to_string(out.size() - mostLines) + " more lines)\n";
    return text;
}

CaptureRun CaptureInProcess(const winsim::Machine &machine, const std::vector<std::u16string> &args)
{
    winsim::Machine subject = machine;
    subject.echoConsole = false;
    subject.console.clear();
    subject.errors.clear();
    // The run's own state moves aside, untouched: its machine (trace, fault
    // counts), the last error, the handles and blocks it holds.
    winsim::Machine saved = std::move(winsim::Current());
    winsim::Current() = std::move(subject);
    const DWORD lastError = GetLastError();
    const size_t handles = winsim::OpenHandles();
    const size_t blocks = winsim::LiveLocalBlocks();

    std::vector<std::u16string> arguments{u"capture.exe"};
    arguments.insert(arguments.end(), args.begin(), args.end());
    std::vector<WCHAR *> argv;
    for (auto &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    CaptureRun run;
    run.exitCode = CaptureMain(static_cast<int>(arguments.size()), argv.data());

    run.handlesLeft = winsim::OpenHandles() - handles;
    run.localBlocksLeft = winsim::LiveLocalBlocks() - blocks;
    run.machine = std::move(winsim::Current());
    run.errors = run.machine.errors;
    winsim::Current() = std::move(saved);
    SetLastError(lastError);
    return run;
}

void CheckCaptureRoundTrip(const winsim::Machine &machine)
{
    // The run's faults are the program's, not the capture's; a machine on
    // which the program does not run as an administrator is not captured.
    winsim::Machine subject = machine;
    subject.faults.clear();
    subject.trace.clear();
    if (!subject.administrator)
        return;
    // A machine no description can hold (two devices of one instance ID, as
    // a test of the program may build) is no machine a capture could twin.
    const std::string before = winsim::SerializeMachine(subject);
    try {
        winsim::ParseMachine(before);
    } catch (const std::exception &) {
        Counted().skipped++;
        return;
    }
    const std::string expected = winsim::SerializeMachine(winsim::CapturedView(subject));
    const std::string file = OutputDir() + "/capture.json";
    CaptureRun run = CaptureInProcess(subject, {winsim::Widen(file)});
    Counted().machines++;
    Counted().distinct.insert(std::hash<std::string>()(expected));

    ASSERT_EQ(run.exitCode, 0) << "capture failed:\n" << run.errors;
    EXPECT_EQ(run.handlesLeft, 0u) << "capture left handles open";
    EXPECT_EQ(run.localBlocksLeft, 0u) << "capture left LocalAlloc blocks";
    // Time passes while it reads the clock; nothing else may change.
    run.machine.clock = subject.clock;
    const std::string after = winsim::SerializeMachine(run.machine);
    EXPECT_TRUE(after == before) << "capture changed the machine:\n" << ShortDiff(before, after);

    winsim::Machine loaded;
    try {
        loaded = winsim::ParseMachine(FileBytes(file));
    } catch (const std::exception &error) {
        FAIL() << "the capture does not load: " << error.what();
    }
    loaded.capture.reset();
    const std::string actual = winsim::SerializeMachine(loaded);
    EXPECT_TRUE(actual == expected) << "the capture differs from the machine's captured view:\n"
                                    << ShortDiff(expected, actual) << "capture's messages:\n"
                                    << run.errors;
}

void MakeCurrent(const winsim::Machine &machine)
{
    winsim::SetCurrent(machine);
    CheckCaptureRoundTrip(winsim::Current());
}

void RunEnded()
{
    CheckCaptureRoundTrip(winsim::Current());
}

}  // namespace harness
