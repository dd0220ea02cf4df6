// Writing the machine description: readable values where the bytes allow it
// (texts, numbers, type and answer names), exact hex bytes where they do not.
#include <cstdio>

#include "machine_json.h"

namespace winsim {

namespace {

using ojson = nlohmann::ordered_json;
using namespace description;

// Whether every surrogate of the text is in a pair: only then does its
// UTF-8 form give it back.
bool ValidUtf16(const Text &text)
{
    for (size_t i = 0; i < text.size(); i++) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            i++;
        else if (unit >= 0xD800 && unit <= 0xDFFF)
            return false;
    }
    return true;
}

// Whether another text may have the same UTF-8 form: Narrow writes a lone
// surrogate as U+FFFD, so only texts holding either can meet.
bool MayShareUtf8(const Text &text)
{
    return !ValidUtf16(text) || text.find(u'\uFFFD') != Text::npos;
}

bool ValidUtf8(const std::string &bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        auto sequence = NextUtf8(bytes, i);
        if (!sequence)
            return false;
        i += sequence->length;
    }
    return true;
}

// An object built member by member, in order.  ordered_json's operator[]
// searches the members for each name, and each time their vector grows it
// copies them all (the names are const, so moving them may throw); here the
// vector is reserved and appended to.
class Members {
public:
    explicit Members(size_t expected) : object_(ojson::object()) { Vector().reserve(expected); }

    // A member whose name the object does not have yet.
    Members &Add(std::string name, ojson value)
    {
        Vector().emplace_back(std::move(name), std::move(value));
        return *this;
    }
    // A member whose name is unique among the object's texts (a key path, a
    // value or service name).  Should its UTF-8 form meet another's, the
    // later member replaces the earlier one.
    Members &AddUnique(const Text &name, ojson value)
    {
        if (MayShareUtf8(name))
            object_[Narrow(name)] = std::move(value);
        else
            Add(Narrow(name), std::move(value));
        return *this;
    }
    ojson Take() { return std::move(object_); }

private:
    ojson::object_t &Vector() { return object_.get_ref<ojson::object_t &>(); }

    ojson object_;
};

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string HexBytes(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

// Small codes as numbers, setup-library codes and other large values in hex.
ojson Code(uint32_t value)
{
    if (value <= 0xFFFF)
        return value;
    return Hex32(value);
}

ojson TextList(const std::vector<Text> &list)
{
    ojson array = ojson::array();
    for (const auto &text : list)
        array.push_back(Narrow(text));
    return array;
}

// A REG_SZ's bytes as text when they are one terminated string.
std::optional<Text> WellFormedString(const std::vector<uint8_t> &bytes)
{
    if (bytes.size() < 2 || bytes.size() % 2 || bytes[bytes.size() - 2] != 0 || bytes.back() != 0)
        return std::nullopt;
    Text text = UnitsOf(bytes.data(), bytes.size() - 2);
    if (text.find(u'\0') != Text::npos || !ValidUtf16(text))
        return std::nullopt;
    return text;
}

// A REG_MULTI_SZ's strings when the bytes are exactly what they encode to.
std::optional<std::vector<Text>> WellFormedMultiSz(const std::vector<uint8_t> &bytes)
{
    if (bytes.size() < 2 || bytes.size() % 2)
        return std::nullopt;
    std::vector<Text> strings = ParseMultiString(bytes);
    for (const auto &s : strings)
        if (!ValidUtf16(s))
            return std::nullopt;
    if (MultiStringBytes(strings) != bytes)
        return std::nullopt;
    return strings;
}

// The value's data in the form its type reads, or nothing: then it goes as hex.
std::optional<ojson> ValueData(const RegValue &value)
{
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (auto text = WellFormedString(value.data))
            return ojson(Narrow(*text));
        return std::nullopt;
    case REG_MULTI_SZ:
        if (auto strings = WellFormedMultiSz(value.data))
            return TextList(*strings);
        return std::nullopt;
    case REG_DWORD:
    case REG_QWORD: {
        // Little-endian, 4 or 8 bytes.
        if (value.data.size() != (value.type == REG_DWORD ? 4u : 8u))
            return std::nullopt;
        uint64_t v = 0;
        for (size_t i = 0; i < value.data.size(); i++)
            v |= static_cast<uint64_t>(value.data[i]) << (8 * i);
        return ojson(v);
    }
    default:
        return std::nullopt;
    }
}

// A value by its name in a table where it has one, else as a number.
template <typename Entry, size_t N, typename Value>
ojson NameOr(const Entry (&table)[N], Value Entry::*field, Value value)
{
    for (const Entry &entry : table)
        if (entry.*field == value)
            return entry.name;
    return value;
}

ojson ToJson(const RegValue &value)
{
    Members out(2);
    out.Add("type", NameOr(kTypeNames, &TypeName::type, value.type));
    if (auto data = ValueData(value))
        out.Add("data", std::move(*data));
    else
        out.Add("hex", HexBytes(value.data));
    return out.Take();
}

// The keys the registry member lists: every key with values, a denied key
// and every leaf, by its full path, depth first in the order of folded names.
void SavedKeys(const RegKey &key, const Text &path, std::vector<std::pair<Text, const RegKey *>> &out)
{
    if (!path.empty() && (!key.values.empty() || key.denyAccess || key.subkeys.empty()))
        out.emplace_back(path, &key);
    for (const auto &[folded, child] : key.subkeys)
        SavedKeys(child, path.empty() ? child.name : path + u"\\" + child.name, out);
}

ojson ToJson(const RegKey &key)
{
    Members out(2);
    if (!key.values.empty()) {
        Members values(key.values.size());
        for (const auto &[folded, named] : key.values)
            values.AddUnique(named.first, ToJson(named.second));
        out.Add("values", values.Take());
    }
    if (key.denyAccess)
        out.Add("deny_access", true);
    return out.Take();
}

ojson RegistryToJson(const RegKey &hklm)
{
    std::vector<std::pair<Text, const RegKey *>> keys;
    SavedKeys(hklm, Text(), keys);
    Members out(keys.size());
    for (const auto &[path, key] : keys)
        out.AddUnique(path, ToJson(*key));
    return out.Take();
}

ojson ToJson(const Device &device)
{
    Members out(14);
    out.Add("instance_id", Narrow(device.instanceId));
    out.Add("class", GuidToString(device.classGuid));
    if (device.hardwareIds)
        out.Add("hardware_ids", TextList(*device.hardwareIds));
    if (device.description)
        out.Add("description", Narrow(*device.description));
    if (device.enumerator)
        out.Add("enumerator", Narrow(*device.enumerator));
    if (device.configFlags)
        out.Add("config_flags", Code(*device.configFlags));
    out.Add("status", Hex32(device.status));
    out.Add("problem", device.problem);
    out.Add("present", device.present);
    if (device.refuseRemoval)
        out.Add("refuse_removal", true);
    if (device.installFlagsAfterChange)
        out.Add("install_flags_after_change", Hex32(device.installFlagsAfterChange));
    if (!device.driverInf.empty())
        out.Add("driver_inf", Narrow(device.driverInf));
    if (!device.service.empty())
        out.Add("service", Narrow(device.service));
    if (device.restarts)
        out.Add("restarts", device.restarts);
    return out.Take();
}

ojson ToJson(const Service &service)
{
    Members out(5);
    out.Add("display_name", Narrow(service.displayName));
    out.Add("binary", Narrow(service.binary));
    out.Add("type", service.type);
    out.Add("start", service.start);
    if (service.markedForDelete)
        out.Add("marked_for_delete", true);
    return out.Take();
}

ojson ToJson(int answer)
{
    return NameOr(kAnswers, &AnswerName::id, answer);
}

ojson ToJson(const Fault &fault)
{
    Members out(5);
    out.Add("function", fault.function);
    out.Add("error", Code(fault.error));
    if (fault.onCall)
        out.Add("call", fault.onCall);
    if (fault.everyCall)
        out.Add("every", true);
    if (!fault.subject.empty())
        out.Add("subject", Narrow(fault.subject));
    return out.Take();
}

ojson ToJson(const MessageBoxRecord &box)
{
    return {{"text", Narrow(box.text)}, {"caption", Narrow(box.caption)}, {"type", box.type}, {"answer", box.answer}};
}

ojson ToJson(const RebootRecord &reboot)
{
    return {{"flags", reboot.flags}, {"reason", Hex32(reboot.reason)}};
}

ojson ToJson(const DriverStoreEntry &entry)
{
    Members out(3);
    out.Add("published_name", Narrow(entry.publishedName));
    out.Add("original_path", Narrow(entry.originalPath));
    // INF files may be UTF-16; such bytes are kept as hex.
    if (ValidUtf8(entry.content))
        out.Add("content", entry.content);
    else
        out.Add("content_hex", HexBytes(std::vector<uint8_t>(entry.content.begin(), entry.content.end())));
    return out.Take();
}

ojson ToJson(const CopiedFile &file)
{
    Members out(3);
    out.Add("destination", Narrow(file.destination));
    out.Add("source", Narrow(file.source));
    if (file.deleted)
        out.Add("deleted", true);
    return out.Take();
}

// A list member, left out when the list is empty.
template <typename T>
void AddList(Members &object, const char *name, const std::vector<T> &list)
{
    if (list.empty())
        return;
    ojson array = ojson::array();
    array.get_ref<ojson::array_t &>().reserve(list.size());
    for (const T &item : list)
        array.push_back(ToJson(item));
    object.Add(name, std::move(array));
}

ojson OsToJson(const OsInfo &os)
{
    ojson out = {{"major", os.major}, {"minor", os.minor}, {"build", os.build}, {"csd", Narrow(os.csd)}};
    if (!os.arch.empty())
        out["arch"] = os.arch;
    return out;
}

ojson ClockToJson(const Machine &machine)
{
    char time[64];
    const SYSTEMTIME &c = machine.clock;
    std::snprintf(time, sizeof time, "%04u-%02u-%02u %02u:%02u:%02u.%03u", c.wYear, c.wMonth, c.wDay, c.wHour,
                  c.wMinute, c.wSecond, c.wMilliseconds);
    return {{"time", time}, {"step_ms", machine.clockStepMs}};
}

ojson DevicesToJson(const std::vector<Device> &devices)
{
    ojson out = ojson::array();
    out.get_ref<ojson::array_t &>().reserve(devices.size());
    // An element that was never registered belongs to its set, not the machine.
    for (const auto &device : devices)
        if (!device.removed && device.registered)
            out.push_back(ToJson(device));
    return out;
}

ojson ServicesToJson(const std::map<Text, Service> &services)
{
    Members out(services.size());
    for (const auto &[folded, service] : services)
        out.AddUnique(service.name, ToJson(service));
    return out.Take();
}

}  // namespace

std::string SerializeMachine(const Machine &machine)
{
    Members root(17);
    root.Add("os", OsToJson(machine.os));
    root.Add("clock", ClockToJson(machine));
    root.Add("devices", DevicesToJson(machine.devices));
    root.Add("registry", RegistryToJson(machine.hklm));
    root.Add("services", ServicesToJson(machine.services));
    root.Add("features", machine.features);
    root.Add("dism", {{"exit_status", machine.dism.exitStatus}, {"on_disable", machine.dism.onDisable}});
    AddList(root, "message_box_answers", machine.messageBoxAnswers);
    root.Add("shutdown_privilege", machine.shutdownPrivilege);
    root.Add("interactive", machine.interactive);
    AddList(root, "faults", machine.faults);
    AddList(root, "message_boxes", machine.messageBoxes);
    AddList(root, "reboots", machine.reboots);
    AddList(root, "driver_store", machine.driverStore);
    AddList(root, "files", machine.files);
    root.Add("reboot_pending", machine.rebootPending);
    return root.Take().dump(2, ' ', false, ojson::error_handler_t::replace);
}

}  // namespace winsim
