// The devices section: devices paired by instance ID without ASCII case,
// each field of a device in both machines compared, and what the summary
// counts of them: SCSI adapters restarted, disks claimed and released by
// the multipath disk driver, devices newly waiting for a reboot.
#include <string>

#include "common/product.h"
#include "diff_internal.h"

namespace winsim::diff {

namespace {

struct StatusBit {
    uint32_t bit;
    const char *name;
};
const StatusBit kStatusBits[] = {
    {DN_ROOT_ENUMERATED, "DN_ROOT_ENUMERATED"}, {DN_DRIVER_LOADED, "DN_DRIVER_LOADED"},
    {DN_STARTED, "DN_STARTED"},                 {DN_NEED_RESTART, "DN_NEED_RESTART"},
    {DN_HAS_PROBLEM, "DN_HAS_PROBLEM"},         {DN_DISABLEABLE, "DN_DISABLEABLE"},
    {DN_REMOVABLE, "DN_REMOVABLE"},             {DN_WILL_BE_REMOVED, "DN_WILL_BE_REMOVED"},
    {DN_NT_ENUMERATOR, "DN_NT_ENUMERATOR"},     {DN_NT_DRIVER, "DN_NT_DRIVER"},
};

// Bits that say a device waits for a reboot.
constexpr uint32_t kRebootBits = DN_NEED_RESTART | DN_WILL_BE_REMOVED;

// The names of the bits set, then the bits without a name as one word in hex.
std::vector<std::string> BitNames(uint32_t bits)
{
    std::vector<std::string> names;
    for (const StatusBit &known : kStatusBits) {
        if (bits & known.bit) {
            names.push_back(known.name);
            bits &= ~known.bit;
        }
    }
    if (bits)
        names.push_back(Hex32(bits));
    return names;
}

std::string StatusText(uint32_t status)
{
    std::string names;
    for (const std::string &name : BitNames(status))
        names += (names.empty() ? "" : "|") + name;
    return Hex32(status) + (names.empty() ? "" : " (" + names + ")");
}

// The class by the name the description accepts for it, else its GUID.
std::string ClassName(const GUID &guid)
{
    if (guid == GUID_DEVCLASS_SCSIADAPTER)
        return "scsiadapter";
    if (guid == GUID_DEVCLASS_DISKDRIVE)
        return "diskdrive";
    if (guid == GUID_DEVCLASS_SYSTEM)
        return "system";
    return GuidToString(guid);
}

// A device added or removed, in one line: class, description, driver,
// status, and what is not as usual.
std::string Describe(const Device &device)
{
    std::string text = ClassName(device.classGuid);
    if (device.description)
        text += " " + Quoted(*device.description);
    if (!device.service.empty())
        text += ", service " + Narrow(device.service);
    if (!device.driverInf.empty())
        text += ", driver " + Narrow(device.driverInf);
    if (!device.driverVersion.empty())
        text += (device.driverInf.empty() ? ", driver version " : " ") + Narrow(device.driverVersion);
    text += ", status " + StatusText(device.status);
    if (device.problem)
        text += ", problem " + std::to_string(device.problem);
    if (!device.present)
        text += ", not present";
    return text;
}

std::string Number(const std::optional<uint32_t> &number)
{
    return number ? Hex32(*number) : std::string("absent");
}

void CompareStatus(std::vector<Change> &changes, const std::string &subject, uint32_t before, uint32_t after)
{
    if (before == after)
        return;
    Change change;
    change.subject = subject;
    change.field = "status";
    change.before = Hex32(before);
    change.after = Hex32(after);
    change.added = BitNames(after & ~before);
    change.removed = BitNames(before & ~after);
    change.quoteEntries = false;
    changes.push_back(std::move(change));
}

const std::vector<Text> *Entries(const std::optional<TextList> &list)
{
    return list ? &list->Texts() : nullptr;
}

void CompareDevice(std::vector<Change> &changes, const std::string &subject, const Device &b, const Device &a)
{
    CompareField(changes, subject, "class", ClassName(b.classGuid), ClassName(a.classGuid));
    CompareList(changes, subject, "hardware_ids", Entries(b.hardwareIds), Entries(a.hardwareIds));
    CompareList(changes, subject, "bus_hardware_ids", Entries(b.busHardwareIds), Entries(a.busHardwareIds));
    CompareList(changes, subject, "compatible_ids", Entries(b.compatibleIds), Entries(a.compatibleIds));
    CompareField(changes, subject, "description", QuotedOrAbsent(b.description), QuotedOrAbsent(a.description));
    CompareField(changes, subject, "enumerator", QuotedOrAbsent(b.enumerator), QuotedOrAbsent(a.enumerator));
    CompareField(changes, subject, "config_flags", Number(b.configFlags), Number(a.configFlags));
    CompareStatus(changes, subject, b.status, a.status);
    CompareField(changes, subject, "problem", std::to_string(b.problem), std::to_string(a.problem));
    CompareField(changes, subject, "present", YesNo(b.present), YesNo(a.present));
    CompareField(changes, subject, "driver_inf", Quoted(b.driverInf), Quoted(a.driverInf));
    CompareField(changes, subject, "driver_version", Quoted(b.driverVersion), Quoted(a.driverVersion));
    CompareField(changes, subject, "service", Quoted(b.service), Quoted(a.service));
    CompareField(changes, subject, "restarts", std::to_string(b.restarts), std::to_string(a.restarts));
}

// The multipath disk driver has the disk: "MPIODisk" is among its hardware IDs.
bool Claimed(const Device &device)
{
    return device.hardwareIds && ContainsNoCase(*device.hardwareIds, MPIO_DISK_HARDWARE_ID);
}

// What the summary counts of a device of AFTER, and of BEFORE when it was
// there.
void Count(const Device *before, const Device &after, Summary &summary)
{
    if (after.status & kRebootBits & ~(before ? before->status : 0))
        summary.rebootNeeded = true;
    if (before == nullptr)
        return;
    if (after.classGuid == GUID_DEVCLASS_SCSIADAPTER &&
        (after.restarts > before->restarts || (after.status & DN_STARTED & ~before->status)))
        summary.adaptersRestarted++;
    if (after.classGuid == GUID_DEVCLASS_DISKDRIVE) {
        if (Claimed(after) && !Claimed(*before))
            summary.disksClaimed++;
        if (!Claimed(after) && Claimed(*before))
            summary.disksReleased++;
    }
}

// The devices a saved machine holds: not removed, not only members of a set.
std::vector<const Device *> Saved(const Machine &machine)
{
    std::vector<const Device *> devices;
    devices.reserve(machine.devices.size());
    for (const Device &device : machine.devices)
        if (!device.removed && device.registered)
            devices.push_back(&device);
    return devices;
}

}  // namespace

// BEFORE's devices in their order, removed or changed, then the devices
// AFTER adds, in its order.
void DeviceSection(const Machine &before, const Machine &after, Summary &summary, Sink &sink)
{
    sink.BeginSection("devices", "instance_id");
    std::vector<Change> changes;   // one device's, reused
    auto give = [&] {
        for (const Change &change : changes)
            sink.Add(change);
        changes.clear();
    };
    const std::vector<const Device *> b = Saved(before), a = Saved(after);
    const Pairing pairing = PairByKey(b, a, [](const Device *device) { return Fold(device->instanceId); });
    for (size_t i = 0; i < b.size(); i++) {
        if (pairing.afterOf[i] == kUnpaired) {
            changes.push_back(Removed(Narrow(b[i]->instanceId), Describe(*b[i])));
            give();
            continue;
        }
        const Device &paired = *a[pairing.afterOf[i]];
        CompareDevice(changes, Narrow(paired.instanceId), *b[i], paired);
        Count(b[i], paired, summary);
        give();
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (pairing.afterPaired[i])
            continue;
        changes.push_back(Added(Narrow(a[i]->instanceId), Describe(*a[i])));
        Count(nullptr, *a[i], summary);
        give();
    }
    sink.EndSection();
}

}  // namespace winsim::diff
