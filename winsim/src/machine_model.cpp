// The machine model: the current machine, its registry data, its services
// and the lookups shared by the API families.
#include <algorithm>
#include <cstdio>

#include "common/product.h"
#include "core_internal.h"
#include "winsim/machine.h"

namespace winsim {

// ---------------------------------------------------------------------------
// The current machine
// ---------------------------------------------------------------------------
Machine &Current()
{
    static Machine machine;
    return machine;
}

ProcessState &Process()
{
    static ProcessState state;
    return state;
}

void SetCurrent(Machine machine)
{
    Current() = std::move(machine);
    for (auto &fault : Current().faults)
        fault.calls = 0;
    Process() = ProcessState();
}

std::string Arch(const OsInfo &os)
{
    if (!os.arch.empty())
        return os.arch;
    return os.major < 5 || (os.major == 5 && os.minor < 2) ? "x86" : "amd64";
}

// ---------------------------------------------------------------------------
// Registry data
// ---------------------------------------------------------------------------
Text UnitsOf(const uint8_t *bytes, size_t size)
{
    Text units(size / 2, u'\0');
    for (size_t i = 0; i < units.size(); i++)
        units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return units;
}

std::vector<uint8_t> StringBytes(const Text &text)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(2 * text.size() + 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> MultiStringBytes(const std::vector<Text> &strings)
{
    std::vector<uint8_t> bytes;
    for (const Text &s : strings) {
        auto part = StringBytes(s);
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<Text> ParseMultiString(const uint8_t *bytes, size_t size)
{
    std::vector<Text> strings;
    Text current;
    for (char16_t unit : UnitsOf(bytes, size)) {
        if (unit != 0) {
            current.push_back(unit);
            continue;
        }
        if (current.empty())
            return strings;
        strings.push_back(current);
        current.clear();
    }
    if (!current.empty())
        strings.push_back(current);
    return strings;
}

// ---------------------------------------------------------------------------
// The registry tree
// ---------------------------------------------------------------------------
std::vector<Text> SplitKeyPath(const Text &path)
{
    std::vector<Text> parts;
    Text part;
    for (char16_t unit : path) {
        if (unit == u'\\') {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
        } else {
            part += unit;
        }
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

void SetValueIn(RegKey &key, const Text &name, uint32_t type, std::vector<uint8_t> data)
{
    RegValue value;
    value.type = type;
    value.data = std::move(data);
    key.values[Fold(name)] = {name, std::move(value)};
}

RegKey *FindKey(Machine &machine, const Text &path, bool create)
{
    RegKey *key = &machine.hklm;
    Text folded;
    for (size_t start = 0, end; start < path.size(); start = end + 1) {
        end = std::min(path.find(u'\\', start), path.size());
        if (end == start)
            continue;   // empty names of a doubled, leading or trailing '\'
        folded.assign(path, start, end - start);
        FoldInPlace(folded);
        auto it = key->subkeys.find(folded);
        if (it == key->subkeys.end()) {
            if (!create)
                return nullptr;
            RegKey child;
            child.name = path.substr(start, end - start);
            it = key->subkeys.emplace(folded, std::move(child)).first;
        }
        key = &it->second;
    }
    return key;
}

RegKey *FindKey(const Text &path, bool create)
{
    return FindKey(Current(), path, create);
}

const RegKey *FindKey(const Machine &machine, const Text &path)
{
    return FindKey(const_cast<Machine &>(machine), path, false);
}

const RegValue *ValueOf(const RegKey &key, const Text &name)
{
    auto found = key.values.find(Fold(name));
    return found == key.values.end() ? nullptr : &found->second.second;
}

std::vector<uint8_t> DwordBytes(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

std::optional<uint32_t> DwordOf(const RegValue &value)
{
    if (value.type != REG_DWORD || value.data.size() != 4)
        return std::nullopt;
    const auto &d = value.data;
    return static_cast<uint32_t>(d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24);
}

const RegValue *FindValue(Machine &machine, const Text &keyPath, const Text &valueName)
{
    const RegKey *key = FindKey(machine, keyPath);
    return key ? ValueOf(*key, valueName) : nullptr;
}

std::vector<Text> ReadMultiString(Machine &machine, const Text &keyPath, const Text &valueName)
{
    const RegValue *value = FindValue(machine, keyPath, valueName);
    return value ? ParseMultiString(value->data) : std::vector<Text>();
}

// ---------------------------------------------------------------------------
// Services
// ---------------------------------------------------------------------------
namespace {

std::optional<uint32_t> DwordNamed(const RegKey &key, const char16_t *name)
{
    const RegValue *value = ValueOf(key, name);
    return value ? DwordOf(*value) : std::nullopt;
}

// A text value as the service control manager reads it: up to the first NUL.
std::optional<Text> TextNamed(const RegKey &key, const char16_t *name)
{
    const RegValue *value = ValueOf(key, name);
    if (value == nullptr || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
        return std::nullopt;
    Text text = UnitsOf(value->data.data(), value->data.size());
    return text.substr(0, text.find(u'\0'));
}

}  // namespace

std::optional<Service> ServiceOf(const RegKey &key)
{
    const std::optional<uint32_t> type = DwordNamed(key, u"Type");
    if (!type)
        return std::nullopt;
    Service service;
    service.name = key.name;
    service.displayName = TextNamed(key, u"DisplayName");
    service.imagePath = TextNamed(key, u"ImagePath");
    service.type = *type;
    service.start = DwordNamed(key, u"Start");
    service.errorControl = DwordNamed(key, u"ErrorControl");
    service.markedForDelete = DwordNamed(key, u"DeleteFlag") == std::optional<uint32_t>(1);
    return service;
}

std::vector<Service> Services(const Machine &machine)
{
    std::vector<Service> services;
    if (const RegKey *root = FindKey(machine, kServicesKeyPath))
        for (const auto &[folded, key] : root->subkeys)
            if (auto service = ServiceOf(key))
                services.push_back(std::move(*service));
    return services;
}

std::optional<Service> FindService(const Machine &machine, const Text &name)
{
    const RegKey *root = FindKey(machine, kServicesKeyPath);
    if (root == nullptr || name.find(u'\\') != Text::npos)
        return std::nullopt;
    auto found = root->subkeys.find(Fold(name));
    return found == root->subkeys.end() ? std::nullopt : ServiceOf(found->second);
}

bool InServiceDatabase(const Service &service)
{
    return service.start && service.errorControl;
}

Text OriginalInfName(const DriverStoreEntry &entry)
{
    const size_t slash = entry.originalPath.find_last_of(u"\\/");
    const Text name = slash == Text::npos ? entry.originalPath : entry.originalPath.substr(slash + 1);
    return name.empty() ? entry.publishedName : name;
}

size_t OpenHandles()
{
    return KernelObjects().Count() + OpenRegistryKeys() + OpenServiceHandles() + OpenDeviceInfoSets() +
           OpenInfFiles() + OpenFindHandles() + LiveSids() + OpenPipes();
}

// ---------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------
Device *FindDeviceByDevInst(DEVINST devInst)
{
    auto &devices = Current().devices;
    if (devInst == 0 || devInst > devices.size())
        return nullptr;
    Device &device = devices[devInst - 1];
    return device.removed ? nullptr : &device;
}

std::vector<const Device *> DevicesWithHardwareId(const Machine &machine, const Text &hardwareId)
{
    std::vector<const Device *> found;
    for (const Device &device : machine.devices)
        if (!device.removed && device.hardwareIds && ContainsNoCase(*device.hardwareIds, hardwareId))
            found.push_back(&device);
    return found;
}

const Device *FindDevice(const Machine &machine, const Text &instanceId)
{
    for (const Device &device : machine.devices)
        if (!device.removed && EqualNoCase(device.instanceId, instanceId))
            return &device;
    return nullptr;
}

Text EnumeratorOf(const Text &instanceId)
{
    return instanceId.substr(0, instanceId.find(u'\\'));
}

bool InstanceIdInUse(const Machine &machine, const Text &instanceId)
{
    for (const Device &device : machine.devices)
        if (!device.removed && EqualNoCase(device.instanceId, instanceId))
            return true;
    return false;
}

bool ContainsNoCase(const std::vector<Text> &list, const Text &text)
{
    for (const Text &existing : list)
        if (EqualNoCase(existing, text))
            return true;
    return false;
}

Device *FindMpioBusDevice(Machine &machine)
{
    for (auto &device : machine.devices)
        if (!device.removed && device.registered && device.hardwareIds &&
            ContainsNoCase(*device.hardwareIds, MPIO_BUS_HARDWARE_ID_NEW))
            return &device;
    return nullptr;
}

namespace {

// The number an instance ID gives after 'base' as "%04u" writes it: four
// digits, or more without a leading zero.
std::optional<uint64_t> NumberAfter(const Text &id, const Text &base)
{
    if (id.size() < base.size() + 4 || id.size() > base.size() + 10 ||
        (id.size() > base.size() + 4 && id[base.size()] == u'0'))
        return std::nullopt;
    for (size_t i = 0; i < base.size(); i++)
        if (FoldUnit(id[i]) != FoldUnit(base[i]))
            return std::nullopt;
    uint64_t number = 0;
    for (size_t i = base.size(); i < id.size(); i++) {
        if (id[i] < u'0' || id[i] > u'9')
            return std::nullopt;
        number = number * 10 + (id[i] - u'0');
    }
    return number;
}

}  // namespace

std::optional<Text> FirstFreeInstanceId(const Machine &machine, const Text &base, uint32_t last)
{
    // One look at the devices: the first free number is at most their count.
    std::vector<bool> taken(machine.devices.size() + 1, false);
    for (const Device &device : machine.devices) {
        auto number = device.removed ? std::nullopt : NumberAfter(device.instanceId, base);
        if (number && *number < taken.size())
            taken[*number] = true;
    }
    for (uint32_t number = 0; number < taken.size() && number <= last; number++) {
        if (!taken[number]) {
            char digits[16];
            std::snprintf(digits, sizeof digits, "%04u", number);
            return base + Widen(digits);
        }
    }
    return std::nullopt;
}

Device &AddMpioBusDevice(Machine &machine)
{
    Device device;
    device.instanceId = *FirstFreeInstanceId(machine, u"ROOT\\MPIO\\", UINT32_MAX);
    device.classGuid = GUID_DEVCLASS_SCSIADAPTER;
    device.hardwareIds = std::vector<Text>{MPIO_BUS_HARDWARE_ID_NEW};
    device.description = MPIO_BUS_DESCRIPTION;
    device.enumerator = u"ROOT";
    device.configFlags = 0;
    device.status = DN_ROOT_ENUMERATED | DN_DRIVER_LOADED | DN_STARTED;
    device.service = u"mpio";
    device.present = true;
    machine.devices.push_back(std::move(device));
    return machine.devices.back();
}

}  // namespace winsim
