// The fixture for tests of the program's functions on one machine, and the
// check of a failed platform call.
//
//   class ClaimTest : public harness::MachineTest {};
//   TEST_F(ClaimTest, ...)
//   {
//       machine_.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));
//       EXPECT_EQ(OnMachine([&] { return SomeStep(&flag); }), 0u);
//       EXPECT_EQ(machine_.devices[0].configFlags, ...);   // as the step left it
//       EXPECT_EQ(Log(), harness::Crlf("[T]...\n"));
//   }
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/harness.h"

namespace harness {

class MachineTest : public ::testing::Test {
protected:
    // machine_ becomes the current machine as a run finds it: a fresh trace,
    // the faults' call counts from 0, and the program's version record and
    // bus hardware ID set from the machine's OS version, as the entry sets
    // them.
    void Enter();

    // Enter(), the call, then the machine as the call left it copied back
    // into machine_.  It stays current afterwards, for the trace checks.
    template <typename Call>
    auto OnMachine(Call &&call)
    {
        Enter();
        auto result = call();
        machine_ = winsim::Current();
        RunEnded();
        return result;
    }

    // The log file's records so far, time stamps masked.
    std::string Log() const { return MaskTimes(scratch_.Log()); }
    // Empties the log file, so that the next call's records stand alone.
    void ClearLog() const { scratch_.WriteFile("MPIOInstall.LOG", ""); }

    Scratch scratch_;
    winsim::Machine machine_ = Gen5(2);
};

// Checks that a platform call failed with 'code' as its last error, read
// before anything else can change it; failures name the call and its line.
#define EXPECT_FAILS_WITH(call, code) ::harness::ExpectFailsWith((call), (code), #call, __LINE__)
void ExpectFailsWith(BOOL ok, DWORD expected, const char *text, int line);

}  // namespace harness
