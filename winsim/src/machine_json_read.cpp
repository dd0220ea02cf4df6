// Reading the machine description: one reader per top-level member, in the
// order the description lists them.
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "json_stream.h"
#include "machine_json.h"

namespace winsim {

namespace {

using namespace description;

// The library's text without its "[json.exception.parse_error.101] " tag.
std::string JsonFault(const json::exception &error)
{
    const std::string message = error.what();
    const size_t tagEnd = message.find("] ");
    return message.rfind("[json.exception.", 0) == 0 && tagEnd != std::string::npos ? message.substr(tagEnd + 2)
                                                                                      : message;
}

const char *const kFeatureStates[] = {"Enabled", "Disabled", "EnablePending", "DisablePending"};

void ReadOs(const json &j, const Path &where, Machine &machine)
{
    ObjectReader os(j, where, {"major", "minor", "build", "csd", "arch"});
    if (os.Read("arch", machine.os.arch) && machine.os.arch != "amd64" && machine.os.arch != "x86")
        Fail(os.At("arch"), "not \"amd64\" or \"x86\"");
    os.Read("major", machine.os.major);
    os.Read("minor", machine.os.minor);
    os.Read("build", machine.os.build);
    if (os.Read("csd", machine.os.csd) && machine.os.csd.size() > 127)
        Fail(os.At("csd"), "longer than 127 units");
}

// "YYYY-MM-DD HH:MM:SS[.mmm]" as a local time, its day of the week computed.
std::optional<SYSTEMTIME> LocalTimeFromText(const std::string &text)
{
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    char tail;
    int n = std::sscanf(text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u.%3u%c", &y, &mo, &d, &h, &mi, &s, &ms, &tail);
    static const unsigned days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if ((n != 6 && n != 7) || y < 1601 || y > 30827 || mo < 1 || mo > 12 || d < 1 ||
        d > days[mo - 1] - (mo == 2 && !leap ? 1 : 0) || h > 23 || mi > 59 || s > 59 || ms > 999)
        return std::nullopt;
    // Day of the week (0 = Sunday) by Sakamoto's method.
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    unsigned yy = mo < 3 ? y - 1 : y;
    SYSTEMTIME clock{};
    clock.wYear = static_cast<WORD>(y);
    clock.wMonth = static_cast<WORD>(mo);
    clock.wDayOfWeek = static_cast<WORD>((yy + yy / 4 - yy / 100 + yy / 400 + offsets[mo - 1] + d) % 7);
    clock.wDay = static_cast<WORD>(d);
    clock.wHour = static_cast<WORD>(h);
    clock.wMinute = static_cast<WORD>(mi);
    clock.wSecond = static_cast<WORD>(s);
    clock.wMilliseconds = static_cast<WORD>(ms);
    return clock;
}

void ReadClock(const json &j, const Path &where, Machine &machine)
{
    ObjectReader clock(j, where, {"time", "step_ms"});
    std::string time;
    if (clock.Read("time", time)) {
        auto local = LocalTimeFromText(time);
        if (!local)
            Fail(clock.At("time"), "must be a local time \"YYYY-MM-DD HH:MM:SS.mmm\"");
        machine.clock = *local;
    }
    clock.Read("step_ms", machine.clockStepMs);
}

// An ID list member of a device; equal lists are held once.
void ReadIds(const ObjectReader &o, const char *name, TextListPool &pool, std::optional<TextList> &out)
{
    std::vector<Text> ids;
    if (o.Read(name, ids))
        out = pool.Intern(std::move(ids));
}

Device ReadDevice(const json &j, const Path &where, TextListPool &pool)
{
    ObjectReader o(j, where,
                   {"instance_id", "class", "hardware_ids", "bus_hardware_ids", "compatible_ids", "description",
                    "enumerator", "config_flags", "status", "problem", "present", "refuse_removal",
                    "install_flags_after_change", "driver_inf", "driver_version", "service", "restarts"});
    Device device;
    o.ReadNeeded("instance_id", device.instanceId);
    if (device.instanceId.empty())
        Fail(o.At("instance_id"), "empty");
    device.classGuid = ReadClass(o.Need("class"), o.At("class"));
    ReadIds(o, "hardware_ids", pool, device.hardwareIds);
    ReadIds(o, "bus_hardware_ids", pool, device.busHardwareIds);
    ReadIds(o, "compatible_ids", pool, device.compatibleIds);
    o.Read("description", device.description);
    o.Read("enumerator", device.enumerator);
    o.Read("config_flags", device.configFlags);
    o.Read("status", device.status);
    o.Read("problem", device.problem);
    o.Read("present", device.present);
    o.Read("refuse_removal", device.refuseRemoval);
    o.Read("install_flags_after_change", device.installFlagsAfterChange);
    o.Read("driver_inf", device.driverInf);
    o.Read("driver_version", device.driverVersion);
    o.Read("service", device.service);
    o.Read("restarts", device.restarts);
    return device;
}

// The devices, one element at a time as the parser hands them over, each
// instance ID unique without case.  The first fault is kept, not thrown, so
// that the parser can still find text that is not JSON further on, which is
// reported first.  The devices are kept in blocks until their number is
// known, then moved once into the machine: a list that doubled as it grew
// would move them all each time, and hold them twice while it did.
class DeviceListReader {
public:
    void Add(size_t index, const json &element)
    {
        if (!fault_.empty())
            return;
        try {
            const Path devices = Path::Top("devices");
            const Path at = devices.Index(index);
            Device device = ReadDevice(element, at, idLists_);
            if (auto first = IndexOf(device.instanceId))
                Fail(at.Member("instance_id"), "same as devices[" + std::to_string(*first) + "]");
            indexByIdHash_.emplace(FoldedHash(device.instanceId), count_);
            if (count_ % kBlock == 0) {
                blocks_.emplace_back();
                blocks_.back().reserve(kBlock);
            }
            blocks_.back().push_back(std::move(device));
            count_++;
        } catch (const std::runtime_error &error) {
            fault_ = error.what();
        } catch (const json::exception &error) {
            fault_ = "malformed description: " + JsonFault(error);
        }
    }
    // The devices into the machine, with room for those a run adds (root
    // devices) without moving them all again; throws the first fault instead.
    void Finish(Machine &machine)
    {
        if (!fault_.empty())
            throw std::runtime_error(fault_);
        machine.devices.clear();
        machine.devices.reserve(count_ + kRoomToAdd);
        for (std::vector<Device> &block : blocks_) {
            std::move(block.begin(), block.end(), std::back_inserter(machine.devices));
            std::vector<Device>().swap(block);
        }
    }

private:
    static constexpr size_t kBlock = 1024;
    static constexpr size_t kRoomToAdd = 64;

    // A hash of the ID as if folded, without a folded copy of every ID.
    static size_t FoldedHash(const Text &id)
    {
        uint64_t hash = 14695981039346656037u;   // FNV-1a
        for (char16_t unit : id)
            hash = (hash ^ FoldUnit(unit)) * 1099511628211u;
        return static_cast<size_t>(hash);
    }
    // The index of the device read before with this ID in any case.
    std::optional<size_t> IndexOf(const Text &id) const
    {
        auto [candidate, end] = indexByIdHash_.equal_range(FoldedHash(id));
        for (; candidate != end; ++candidate)
            if (EqualNoCase(blocks_[candidate->second / kBlock][candidate->second % kBlock].instanceId, id))
                return candidate->second;
        return std::nullopt;
    }

    std::vector<std::vector<Device>> blocks_;   // kBlock devices each, the last one filling
    size_t count_ = 0;
    std::unordered_multimap<size_t, size_t> indexByIdHash_;   // the devices by FoldedHash
    TextListPool idLists_;
    std::string fault_;
};

// The devices given whole.
void ReadDevices(const json &j, const Path &where, Machine &machine)
{
    ExpectArray(j, where);
    DeviceListReader devices;
    for (size_t i = 0; i < j.size(); i++)
        devices.Add(i, j[i]);
    devices.Finish(machine);
}

void ReadKey(const json &j, const Path &at, RegKey &key)
{
    ObjectReader o(j, at, {"values", "deny_access"});
    o.Read("deny_access", key.denyAccess);
    const json *values = o.Find("values");
    if (values == nullptr)
        return;
    const Path valuesAt = o.At("values");
    ExpectObject(*values, valuesAt);
    for (auto v = values->begin(); v != values->end(); ++v) {
        const Path valueAt = valuesAt.Keyed(v.key());
        Text name = Widen(v.key());
        auto [named, added] = key.values.try_emplace(Fold(name));
        if (!added)
            Fail(valueAt, "duplicate value name");
        named->second = {std::move(name), ReadValue(v.value(), valueAt)};
    }
}

void ReadRegistry(const json &j, const Path &where, Machine &machine)
{
    ExpectObject(j, where);
    for (auto it = j.begin(); it != j.end(); ++it) {
        const Path at = where.Keyed(it.key());
        Text path = Widen(it.key());
        if (path.empty() || path.front() == u'\\' || path.back() == u'\\' || path.find(u"\\\\") != Text::npos)
            Fail(at, "bad key path (empty name in it)");
        ReadKey(it.value(), at, *FindKey(machine, path, true));
    }
}

// A number member of a service into its value: given, it wins over the
// registry's; absent, it is the default unless the key has a value of that
// name already.
void ReadServiceNumber(const ObjectReader &o, const char *member, RegKey &key, const char16_t *value,
                       uint32_t fallback)
{
    uint32_t number = fallback;
    if (o.Read(member, number) || FindValue(key, value) == nullptr)
        SetValueIn(key, value, REG_DWORD, DwordBytes(number));
}

// The "services" member: each service's values in its key, over what the
// "registry" member gave there (read before).
void ReadServices(const json &j, const Path &where, Machine &machine)
{
    ExpectObject(j, where);
    std::unordered_set<Text> seen;   // folded names
    for (auto it = j.begin(); it != j.end(); ++it) {
        const Path at = where.Keyed(it.key());
        ObjectReader o(it.value(), at,
                       {"display_name", "binary", "type", "start", "error_control", "marked_for_delete"});
        const Text name = Widen(it.key());
        if (name.empty())
            Fail(at, "empty service name");
        if (name.find(u'\\') != Text::npos)
            Fail(at, "a service name holds no '\\'");
        if (!seen.insert(Fold(name)).second)
            Fail(at, "duplicate service name");
        RegKey &key = *FindKey(machine, Text(kServicesKeyPath) + u"\\" + name, true);
        if (!o.Find("type") && FindValue(key, u"Type") && !DwordOf(*FindValue(key, u"Type")))
            Fail(at, "the registry's Type value is not a REG_DWORD of four bytes");
        ReadServiceNumber(o, "type", key, u"Type", 1);
        ReadServiceNumber(o, "start", key, u"Start", 3);
        ReadServiceNumber(o, "error_control", key, u"ErrorControl", 1);
        Text text;
        if (o.Read("display_name", text))
            SetValueIn(key, u"DisplayName", REG_SZ, StringBytes(text));
        if (o.Read("binary", text))
            SetValueIn(key, u"ImagePath", REG_EXPAND_SZ, StringBytes(text));
        bool marked = false;
        if (o.Read("marked_for_delete", marked)) {
            if (marked)
                SetValueIn(key, u"DeleteFlag", REG_DWORD, DwordBytes(1));
            else if (ServiceOf(key)->markedForDelete)
                key.values.erase(Fold(u"DeleteFlag"));
        }
    }
}

void ReadFeatures(const json &j, const Path &where, Machine &machine)
{
    ExpectObject(j, where);
    for (auto it = j.begin(); it != j.end(); ++it) {
        const Path at = where.Keyed(it.key());
        std::string state;
        ReadInto(it.value(), at, state);
        bool known = false;
        for (const char *name : kFeatureStates)
            known = known || state == name;
        if (!known)
            Fail(at, "unknown state \"" + state + "\" (Enabled, Disabled, EnablePending or DisablePending)");
        machine.features[it.key()] = state;
    }
}

void ReadDism(const json &j, const Path &where, Machine &machine)
{
    ObjectReader dism(j, where, {"exit_status", "on_disable"});
    if (const json *v = dism.Find("exit_status"))
        machine.dism.exitStatus =
            static_cast<int>(static_cast<uint32_t>(ReadInteger(*v, dism.At("exit_status"), INT32_MIN, 0xFFFFFFFFLL)));
    std::string mode;
    if (dism.Read("on_disable", mode)) {
        if (mode != "mark" && mode != "remove" && mode != "keep")
            Fail(dism.At("on_disable"), "unknown mode \"" + mode + "\" (mark, remove or keep)");
        machine.dism.onDisable = mode;
    }
}

Fault ReadFault(const json &j, const Path &at)
{
    ObjectReader o(j, at, {"function", "error", "call", "every", "subject"});
    Fault fault;
    o.ReadNeeded("function", fault.function);
    if (fault.function.empty())
        Fail(o.At("function"), "empty");
    fault.error = static_cast<uint32_t>(ReadInteger(o.Need("error"), o.At("error"), INT32_MIN, 0xFFFFFFFFLL));
    if (o.Read("call", fault.onCall) && fault.onCall == 0)
        Fail(o.At("call"), "calls count from 1");
    o.Read("every", fault.everyCall);
    o.Read("subject", fault.subject);
    return fault;
}

MessageBoxRecord ReadMessageBox(const json &j, const Path &at)
{
    ObjectReader o(j, at, {"text", "caption", "type", "answer"});
    MessageBoxRecord record;
    o.Read("text", record.text);
    o.Read("caption", record.caption);
    o.Read("type", record.type);
    if (const json *v = o.Find("answer"))
        record.answer = static_cast<int>(ReadInteger(*v, o.At("answer"), 0, 11));
    return record;
}

RebootRecord ReadReboot(const json &j, const Path &at)
{
    ObjectReader o(j, at, {"flags", "reason"});
    RebootRecord record;
    o.Read("flags", record.flags);
    o.Read("reason", record.reason);
    return record;
}

DriverStoreEntry ReadStoreEntry(const json &j, const Path &at)
{
    ObjectReader o(j, at, {"published_name", "original_path", "content", "content_hex"});
    DriverStoreEntry entry;
    o.ReadNeeded("published_name", entry.publishedName);
    o.Read("original_path", entry.originalPath);
    const json *contentHex = o.Find("content_hex");
    if (o.Find("content") && contentHex)
        Fail(at, "give either \"content\" or \"content_hex\", not both");
    o.Read("content", entry.content);
    if (contentHex) {
        auto bytes = ReadHex(*contentHex, o.At("content_hex"));
        entry.content.assign(bytes.begin(), bytes.end());
    }
    return entry;
}

CopiedFile ReadCopiedFile(const json &j, const Path &at)
{
    ObjectReader o(j, at, {"destination", "source", "deleted"});
    CopiedFile file;
    o.Read("destination", file.destination);
    o.Read("source", file.source);
    o.Read("deleted", file.deleted);
    return file;
}

CaptureUnread ReadUnread(const json &j, const Path &at)
{
    ObjectReader o(j, at, {"what", "error"});
    CaptureUnread unread;
    o.ReadNeeded("what", unread.what);
    unread.error = static_cast<uint32_t>(ReadInteger(o.Need("error"), o.At("error"), INT32_MIN, 0xFFFFFFFFLL));
    return unread;
}

void ReadCapture(const json &j, const Path &where, Machine &machine)
{
    ObjectReader o(j, where, {"program", "version", "time", "unread"});
    CaptureNotes notes;
    o.Read("program", notes.program);
    o.Read("version", notes.version);
    o.Read("time", notes.time);
    if (const json *unread = o.Find("unread")) {
        notes.unread.emplace();
        ReadList(*unread, o.At("unread"), *notes.unread, ReadUnread);
    }
    machine.capture = std::move(notes);
}

struct TopMember {
    const char *name;
    void (*read)(const json &, const Path &, Machine &);
};

const TopMember kTopMembers[] = {
    {"os", ReadOs},
    {"clock", ReadClock},
    {"devices", ReadDevices},   // unless the parser hands its elements over
    {"registry", ReadRegistry},
    {"services", ReadServices},
    {"features", ReadFeatures},
    {"dism", ReadDism},
    {"message_box_answers",
     [](const json &j, const Path &at, Machine &m) { ReadList(j, at, m.messageBoxAnswers, ReadAnswer); }},
    {"shutdown_privilege", [](const json &j, const Path &at, Machine &m) { ReadInto(j, at, m.shutdownPrivilege); }},
    {"administrator", [](const json &j, const Path &at, Machine &m) { ReadInto(j, at, m.administrator); }},
    {"interactive", [](const json &j, const Path &at, Machine &m) { ReadInto(j, at, m.interactive); }},
    {"faults", [](const json &j, const Path &at, Machine &m) { ReadList(j, at, m.faults, ReadFault); }},
    {"message_boxes", [](const json &j, const Path &at, Machine &m) { ReadList(j, at, m.messageBoxes, ReadMessageBox); }},
    {"reboots", [](const json &j, const Path &at, Machine &m) { ReadList(j, at, m.reboots, ReadReboot); }},
    {"driver_store", [](const json &j, const Path &at, Machine &m) { ReadList(j, at, m.driverStore, ReadStoreEntry); }},
    {"files", [](const json &j, const Path &at, Machine &m) { ReadList(j, at, m.files, ReadCopiedFile); }},
    {"reboot_pending", [](const json &j, const Path &at, Machine &m) { ReadInto(j, at, m.rebootPending); }},
    {"capture", ReadCapture},
};

// The description's members as the parser hands them over: "devices" an
// element at a time, read at once; the others kept whole and read when the
// text has been parsed, in the order of kTopMembers (services after the
// registry they add to), so that the first fault reported does not depend on
// the order of the members in the text.
class MachineReader : public TopLevelReceiver {
public:
    void Member(const std::string &key, json value) override
    {
        // A later member replaces an earlier one of the same name.
        if (key == "devices")
            devices_.reset();
        names_.insert(key);
        members_[key] = std::move(value);
    }
    void StreamedMember(const std::string &key) override
    {
        names_.insert(key);
        members_.erase(key);
        devices_.emplace();
    }
    void Element(size_t index, json value) override { devices_->Add(index, value); }

    // The machine, once the whole text was parsed.
    Machine Finish(bool isObject)
    {
        if (!isObject)
            throw std::runtime_error("the description must be a JSON object");
        for (const std::string &name : names_) {
            bool known = false;
            for (const TopMember &member : kTopMembers)
                known = known || name == member.name;
            if (!known)
                Fail(Path::Top(name), "unknown member");
        }
        // A described machine may ask on the terminal unless it says otherwise;
        // MessageBoxW still asks only when standard input is a terminal.
        machine_.interactive = true;
        for (const TopMember &member : kTopMembers) {
            auto found = members_.find(member.name);
            if (found != members_.end())
                member.read(found->second, Path::Top(member.name), machine_);
            else if (member.read == ReadDevices && devices_)
                devices_->Finish(machine_);
        }
        return std::move(machine_);
    }

private:
    Machine machine_;
    std::set<std::string> names_;              // every member given, in the order of their names
    std::map<std::string, json> members_;      // kept whole
    std::optional<DeviceListReader> devices_;  // when "devices" is an array
};

// Parses the text from its input, then reads the machine; faults as
// ParseMachine names them.
template <typename Input>
Machine ReadDescription(Input &input)
{
    MachineReader reader;
    bool isObject = false;
    try {
        isObject = ParseTopLevel(input, reader, "devices");
    } catch (const json::out_of_range &error) {
        // While parsing, only a number too large for any type is out of range;
        // the library names it in quotes.
        const std::string message = error.what();
        const size_t open = message.find('\'');
        const size_t close = message.rfind('\'');
        const std::string number = open < close ? message.substr(open + 1, close - open - 1) : std::string();
        throw std::runtime_error("not valid JSON: number out of range: " + number);
    } catch (const json::exception &error) {
        throw std::runtime_error("not valid JSON: " + JsonFault(error));
    }
    try {
        return reader.Finish(isObject);
    } catch (const json::exception &error) {
        throw std::runtime_error("malformed description: " + JsonFault(error));
    }
}

}  // namespace

Machine ParseMachine(const std::string &text)
{
    return ReadDescription(text);
}

Machine description::ParseMachineStream(std::istream &in)
{
    return ReadDescription(in);
}

}  // namespace winsim
