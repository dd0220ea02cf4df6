// One progress-log record: LogMessage (format, time stamp, append to
// MPIOInstall.LOG, echo on the console) against a minimal loop that opens
// the log, appends the same bytes, closes it and writes the same echo.  The
// console is /dev/null for both, in a scratch directory.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "frontend/frontend.h"
#include "machines.h"
#include "scratch.h"
#include "winsim/machine.h"

namespace {

// A record as the install sequence writes it.
void LogRecord()
{
    LogMessage(TEXT("Success %s\n"), REBOOT_TEXT);
}

std::string ReadAll(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void MakeMachineCurrent()
{
    winsim::Machine machine = winsim::ParseMachine(bench::MachineJson(bench::MachineShape{}));
    machine.echoConsole = true;
    winsim::SetCurrent(std::move(machine));
}

void LogMessageRecord(benchmark::State &state)
{
    MakeMachineCurrent();
    bench::QuietScratch scratch;
    size_t records = 0;
    for (auto _ : state) {
        LogRecord();
        // The machine keeps the console output and the call trace; keep them short.
        if (++records % 1024 == 0) {
            winsim::Current().console.clear();
            winsim::Current().trace.clear();
        }
    }
}

void RawLoopRecord(benchmark::State &state)
{
    MakeMachineCurrent();
    std::string fileBytes;
    std::string consoleBytes;
    {
        bench::QuietScratch scratch;
        LogRecord();
        fileBytes = ReadAll(LOG_FILE_NAME);
        consoleBytes = winsim::Current().console;
    }
    if (fileBytes.empty() || consoleBytes.empty()) {
        state.SkipWithError("LogMessage wrote nothing to copy");
        return;
    }
    bench::QuietScratch scratch;
    for (auto _ : state) {
        FILE *log = std::fopen(LOG_FILE_NAME, "a+b");
        if (log == nullptr)
            continue;
        std::fwrite(fileBytes.data(), 1, fileBytes.size(), log);
        std::fclose(log);
        benchmark::DoNotOptimize(write(1, consoleBytes.data(), consoleBytes.size()));
    }
}

BENCHMARK(LogMessageRecord)->Unit(benchmark::kMicrosecond);
BENCHMARK(RawLoopRecord)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
