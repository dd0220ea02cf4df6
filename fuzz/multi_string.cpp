// The program's multi-string paths on arbitrary values: a machine with two
// disks (one of the SCSI bus, one of the MPIO bus) whose hardware IDs come
// from the input, the supported-device list as the input's bytes, the
// claim and release walks over it, and the DelReg removal of an INF from the
// input on the same bytes.  No run may leave a LocalAlloc block behind.
// Run it in a scratch directory: each run removes MPIOInstall.LOG there.
//
// Input: hardware IDs (UTF-16LE, entries split at NUL units), "\n--\n", the
// list's stored bytes, "\n--\n", the INF text.  Missing parts are empty.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "multi_string_adapter.h"
#include "winsim/machine.h"

namespace {

const char kSeparator[] = "\n--\n";
const char16_t kInfName[] = u"oem1.inf";

std::vector<std::string> SplitParts(const std::string &input, size_t count)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() + 1 < count) {
        size_t at = input.find(kSeparator, start);
        if (at == std::string::npos)
            break;
        parts.push_back(input.substr(start, at - start));
        start = at + sizeof kSeparator - 1;
    }
    parts.push_back(input.substr(start));
    parts.resize(count);
    return parts;
}

std::vector<winsim::Text> HardwareIds(const std::string &bytes)
{
    std::vector<winsim::Text> ids(1);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8);
        if (unit == 0)
            ids.emplace_back();
        else
            ids.back().push_back(unit);
    }
    return ids;
}

winsim::Device Disk(const char16_t *enumerator, const std::vector<winsim::Text> &ids)
{
    winsim::Device disk;
    disk.instanceId = winsim::Text(enumerator) + u"\\DISK&VEN_FUZZ&PROD_DISK\\1&0";
    disk.classGuid = GUID_DEVCLASS_DISKDRIVE;
    disk.hardwareIds = ids;
    disk.enumerator = enumerator;
    disk.description = u"Fuzz Disk";
    disk.configFlags = 0;
    disk.service = u"disk";
    return disk;
}

// A generation-5 machine without devices of its own, with the key of the
// supported-device list.
winsim::Machine BaseMachine()
{
    winsim::Machine machine = winsim::DefaultMachine();
    machine.os = {5, 2, 3790, u"Service Pack 2", ""};
    machine.devices.clear();
    // The removal writes what is left of a list back to its value.
    winsim::FindKey(machine, u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", true);
    machine.interactive = false;
    machine.echoConsole = false;
    return machine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const winsim::Machine base = BaseMachine();
    std::vector<std::string> parts = SplitParts(std::string(reinterpret_cast<const char *>(data), size), 3);
    const std::vector<winsim::Text> ids = HardwareIds(parts[0]);

    winsim::Machine machine = base;
    machine.devices.push_back(Disk(u"SCSI", ids));
    machine.devices.push_back(Disk(u"MPIO", ids));
    machine.driverStore.push_back({kInfName, u"C:\\package\\dsm.inf", parts[2]});
    winsim::SetCurrent(std::move(machine));
    const size_t blocksBefore = winsim::LiveLocalBlocks();

    fuzz::ClaimAndReleaseDisks(parts[1]);
    fuzz::RemoveDelRegStrings(kInfName, parts[1]);

    if (winsim::LiveLocalBlocks() != blocksBefore) {
        std::fprintf(stderr, "multi-string: %zu LocalAlloc block(s) left behind\n",
                     winsim::LiveLocalBlocks() - blocksBefore);
        std::abort();
    }
    // The walks log to MPIOInstall.LOG in the current directory; it would
    // grow over millions of runs.
    std::remove(LOG_FILE_NAME);
    return 0;
}
