// Loading and saving the machine description, by size, beside nlohmann's own
// parse and dump of the same text: the reference for what the JSON alone
// costs.  "devices/N": N disks; "keys/N": N registry keys with a value each.
#include <time.h>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <utility>

#include "machines.h"
#include "winsim/machine.h"

namespace {

enum Grows { kDevices, kRegistryKeys };

const std::string &Description(Grows what, size_t size)
{
    static std::map<std::pair<Grows, size_t>, std::string> made;
    auto found = made.find({what, size});
    if (found != made.end())
        return found->second;
    bench::MachineShape shape;
    if (what == kDevices) {
        shape.disks = size;
        shape.listEntries = 16;
    } else {
        shape.registryKeys = size;
    }
    return made.emplace(std::make_pair(what, size), bench::MachineJson(shape)).first->second;
}

double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Load and save as one operation; the counters split it.
void MachineLoadSave(benchmark::State &state, Grows what)
{
    const std::string &text = Description(what, static_cast<size_t>(state.range(0)));
    double loadSeconds = 0;
    double saveSeconds = 0;
    for (auto _ : state) {
        double started = ThreadCpuSeconds();
        winsim::Machine machine = winsim::ParseMachine(text);
        double loaded = ThreadCpuSeconds();
        std::string saved = winsim::SerializeMachine(machine);
        saveSeconds += ThreadCpuSeconds() - loaded;
        loadSeconds += loaded - started;
        benchmark::DoNotOptimize(saved.data());
    }
    state.counters["load_s"] = benchmark::Counter(loadSeconds, benchmark::Counter::kAvgIterations);
    state.counters["save_s"] = benchmark::Counter(saveSeconds, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void JsonParseDump(benchmark::State &state, Grows what)
{
    const std::string &text = Description(what, static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        nlohmann::json parsed = nlohmann::json::parse(text, nullptr, true, /*ignore_comments=*/true);
        std::string dumped = parsed.dump(2);
        benchmark::DoNotOptimize(dumped.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Sizes(benchmark::internal::Benchmark *benchmark)
{
    benchmark->ArgName("n")->RangeMultiplier(4)->Range(1 << 10, 1 << 16)->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(MachineLoadSave, devices, kDevices)->Apply(Sizes);
BENCHMARK_CAPTURE(JsonParseDump, devices, kDevices)->Apply(Sizes);
BENCHMARK_CAPTURE(MachineLoadSave, keys, kRegistryKeys)->Apply(Sizes);
BENCHMARK_CAPTURE(JsonParseDump, keys, kRegistryKeys)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
