// The disk claim and release walks: EnumDiskDrives with ClaimDiskCallback or
// ReleaseDiskCallback, on a 5.2 machine of 16,384
// disks whose supported-device list has M entries naming half of them.  The
// time per disk is the benchmark's time divided by the disks.  The walks'
// progress lines go to a log file in a scratch directory and to /dev/null.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "device/device.h"
#include "machines.h"
#include "scratch.h"
#include "winsim/machine.h"

namespace {

constexpr size_t kDisks = 16384;

// A view over a whole multi-string held in a vector.
MULTISZ_VIEW ViewOf(std::vector<WCHAR> &list)
{
    MULTISZ_VIEW view;
    MultiSzViewInit(&view, list.data(), static_cast<DWORD>(list.size() * sizeof(WCHAR)));
    return view;
}

// The one place that hands the normalised list to the callbacks.
DWORD WalkDisks(DeviceCallback callback, std::vector<WCHAR> &normalizedList, INT *flag)
{
    MULTISZ_VIEW view = ViewOf(normalizedList);
    return EnumDiskDrives(callback, &view, flag);
}

struct WalkSetup {
    winsim::Machine unclaimed;
    winsim::Machine claimed;        // after a claim walk with the list
    std::vector<WCHAR> list;        // normalised multi-string
    std::string error;
};

std::vector<WCHAR> NormalizedList(size_t entries)
{
    std::vector<WCHAR> list;
    for (const auto &entry : bench::SupportedDeviceList(entries)) {
        list.insert(list.end(), entry.begin(), entry.end());
        list.push_back(0);
    }
    list.push_back(0);
    MULTISZ_VIEW view = ViewOf(list);
    NormalizeSupportedDeviceList(&view);
    return list;
}

size_t ClaimedDisks(const winsim::Machine &machine)
{
    size_t claimed = 0;
    for (const auto &device : machine.devices)
        if (device.hardwareIds && !device.hardwareIds->empty() && device.hardwareIds->back() == u"MPIODisk")
            claimed++;
    return claimed;
}

void MakeCurrent(const winsim::Machine &machine)
{
    winsim::SetCurrent(machine);
    OsVersion = {};
    OsVersion.dwOSVersionInfoSize = sizeof(OsVersion);
    GetVersionExW(&OsVersion);
}

const WalkSetup &SetupFor(size_t entries)
{
    static std::map<size_t, WalkSetup> made;
    auto found = made.find(entries);
    if (found != made.end())
        return found->second;
    WalkSetup &setup = made[entries];
    bench::MachineShape shape;
    shape.disks = kDisks;
    shape.listEntries = entries;
    setup.unclaimed = winsim::ParseMachine(bench::MachineJson(shape));
    setup.list = NormalizedList(entries);

    MakeCurrent(setup.unclaimed);
    INT flag = 0;
    DWORD result = WalkDisks(ClaimDiskCallback, setup.list, &flag);
    setup.claimed = winsim::Current();
    setup.claimed.trace.clear();
    if (result != 0)
        setup.error = "the claim walk failed with " + std::to_string(result);
    else if (ClaimedDisks(setup.claimed) != kDisks / 2)
        setup.error = "the claim walk claimed " + std::to_string(ClaimedDisks(setup.claimed)) + " disks, not half";
    return setup;
}

void Walk(benchmark::State &state, DeviceCallback callback, bool onClaimed)
{
    bench::QuietScratch scratch;
    const WalkSetup &setup = SetupFor(static_cast<size_t>(state.range(0)));
    if (!setup.error.empty()) {
        state.SkipWithError(setup.error.c_str());
        return;
    }
    std::vector<WCHAR> list = setup.list;
    for (auto _ : state) {
        state.PauseTiming();
        MakeCurrent(onClaimed ? setup.claimed : setup.unclaimed);
        INT flag = 0;
        state.ResumeTiming();
        DWORD result = WalkDisks(callback, list, &flag);
        if (result != 0) {
            state.SkipWithError(("the walk failed with " + std::to_string(result)).c_str());
            break;
        }
    }
    state.counters["disks"] = static_cast<double>(kDisks);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kDisks));
}

void ListSizes(benchmark::internal::Benchmark *benchmark)
{
    benchmark->ArgName("m")->Arg(1)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(Walk, claim, ClaimDiskCallback, false)->Apply(ListSizes);
BENCHMARK_CAPTURE(Walk, release, ReleaseDiskCallback, true)->Apply(ListSizes);

}  // namespace

BENCHMARK_MAIN();
