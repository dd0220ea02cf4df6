// What a capture records of a machine: the machine as capture.exe sees it
// through the platform functions, and nothing else.  The host tests compare
// every capture with this view of the machine it was made of, so that the
// program and this account of it cannot drift apart.
#include <algorithm>

#include "setupapi_internal.h"
#include "winsim/description.h"

namespace winsim {

namespace {

// The keys whose values capture.exe records; of the class keys only the
// filter values.
struct CapturedKey {
    const char16_t *path;
    bool filtersOnly;
};
const CapturedKey kCapturedKeys[] = {
    {u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", false},
    {u"SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters", false},
    {u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}", true},
    {u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}", true},
    {u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97D-E325-11CE-BFC1-08002BE10318}", true},
};
const char16_t *const kFilterValues[] = {u"UpperFilters", u"LowerFilters"};

// The services it asks the manager for.
constexpr uint32_t kCapturedServiceTypes = SERVICE_DRIVER | SERVICE_WIN32;

bool FromWindows61(const OsInfo &os)
{
    return os.major > 6 || (os.major == 6 && os.minor >= 1);
}

// A device as the setup library, the configuration manager and its driver
// key show it.  Its driver key (whose values are the driver's INF and
// version) cannot be read when the registry denies its software key.
Device DeviceView(const Machine &machine, const Device &device, size_t index)
{
    Device view;
    view.instanceId = device.instanceId;
    view.classGuid = device.classGuid;
    view.hardwareIds = device.hardwareIds;
    view.compatibleIds = device.compatibleIds;
    view.description = device.description;
    view.enumerator = device.enumerator;
    view.configFlags = device.configFlags;
    view.service = device.service;
    if (device.present) {
        view.status = device.status;
        view.problem = device.problem;
    } else {
        view.present = false;
    }
    const RegKey *softwareKey = FindKey(machine, setup::SoftwareKey(device, static_cast<DEVINST>(index + 1)));
    if (!device.driverInf.empty() && !(softwareKey && softwareKey->denyAccess)) {
        view.driverInf = device.driverInf;
        view.driverVersion = device.driverVersion;
    }
    return view;
}

void CaptureKeys(const Machine &machine, Machine &view)
{
    for (const CapturedKey &captured : kCapturedKeys) {
        const RegKey *key = FindKey(machine, captured.path);
        if (key == nullptr)
            continue;   // its absence is its state
        RegKey &copy = *FindKey(view, captured.path, true);
        if (key->denyAccess) {
            copy.denyAccess = true;
            continue;
        }
        if (!captured.filtersOnly) {
            copy.values = key->values;
            continue;
        }
        for (const char16_t *name : kFilterValues)
            if (const RegValue *value = ValueOf(*key, name))
                SetValueIn(copy, name, value->type, value->data);
    }
}

// A service as the manager reports it: a display name equal to its own name
// and an empty image path are what the manager gives for none, and a twin
// without them answers the same.  Whether it is marked for deletion is read
// from its key, which the registry may refuse.
void CaptureServices(const Machine &machine, Machine &view)
{
    for (const Service &service : Services(machine)) {
        if (!InServiceDatabase(service) || !(service.type & kCapturedServiceTypes))
            continue;
        const Text path = Text(kServicesKeyPath) + u"\\" + service.name;
        RegKey &key = *FindKey(view, path, true);
        key.name = service.name;
        SetValueIn(key, u"Type", REG_DWORD, DwordBytes(service.type));
        SetValueIn(key, u"Start", REG_DWORD, DwordBytes(*service.start));
        SetValueIn(key, u"ErrorControl", REG_DWORD, DwordBytes(*service.errorControl));
        if (service.displayName && *service.displayName != service.name)
            SetValueIn(key, u"DisplayName", REG_SZ, StringBytes(*service.displayName));
        if (service.imagePath && !service.imagePath->empty())
            SetValueIn(key, u"ImagePath", REG_EXPAND_SZ, StringBytes(*service.imagePath));
        const RegKey *stored = FindKey(machine, path);
        if (service.markedForDelete && !(stored && stored->denyAccess))
            SetValueIn(key, u"DeleteFlag", REG_DWORD, DwordBytes(1));
    }
}

// The published INFs the INF folder lists as oem*.inf, in its order, each
// with the name it was published from when the setup library reads it as an
// INF (Windows 2000 keeps no such name).
void CaptureDriverStore(const Machine &machine, Machine &view)
{
    for (const DriverStoreEntry &entry : machine.driverStore) {
        const std::string name = Narrow(entry.publishedName);
        if (!MatchesPattern("oem*.inf", name) || name.size() <= 7)
            continue;
        DriverStoreEntry copy{entry.publishedName, Text(), entry.content};
        const inf::ParseResult parsed = inf::Parse(entry.content, Text());
        const bool windows2000 = machine.os.major == 5 && machine.os.minor == 0;
        if (!windows2000 && parsed.file && parsed.file->HasWin4Signature())
            copy.originalPath = OriginalInfName(entry);
        view.driverStore.push_back(std::move(copy));
    }
    std::sort(view.driverStore.begin(), view.driverStore.end(),
              [](const DriverStoreEntry &a, const DriverStoreEntry &b) {
                  return Fold(a.publishedName) < Fold(b.publishedName);
              });
}

}  // namespace

Machine CapturedView(const Machine &machine)
{
    Machine view = ParseMachine("{}");   // what loading a capture starts from
    view.os = machine.os;
    view.os.arch = Arch(machine.os);
    view.clock = machine.clock;
    for (size_t i = 0; i < machine.devices.size(); i++)
        if (!machine.devices[i].removed && machine.devices[i].registered)
            view.devices.push_back(DeviceView(machine, machine.devices[i], i));
    CaptureKeys(machine, view);
    CaptureServices(machine, view);
    // The servicing tool answers when an interpreter starts it.
    auto feature = machine.features.find("MultipathIo");
    if (FromWindows61(machine.os) && machine.dism.exitStatus != -1 && feature != machine.features.end())
        view.features[feature->first] = feature->second;
    CaptureDriverStore(machine, view);
    view.administrator = true;   // a capture runs as an administrator or not at all
    return view;
}

}  // namespace winsim
