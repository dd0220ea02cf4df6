// Writing the machine description: readable values where the bytes allow it
// (texts, numbers, type and answer names), exact hex bytes where they do not.
#include <cstdio>

#include "machine_json.h"

namespace winsim {

namespace {

using ojson = nlohmann::ordered_json;
using namespace description;

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

bool ValidUtf16(const Text &text)
{
    return Widen(Narrow(text)) == text;
}

bool ValidUtf8(const std::string &bytes)
{
    return Narrow(Widen(bytes)) == bytes;
}

// A REG_SZ's bytes as text when they are one terminated string.
std::optional<Text> WellFormedString(const std::vector<uint8_t> &bytes)
{
    if (bytes.size() < 2 || bytes.size() % 2)
        return std::nullopt;
    Text units = UnitsOf(bytes.data(), bytes.size());
    if (units.back() != 0)
        return std::nullopt;
    Text text = units.substr(0, units.size() - 1);
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
    ojson out;
    out["type"] = NameOr(kTypeNames, &TypeName::type, value.type);
    if (auto data = ValueData(value))
        out["data"] = std::move(*data);
    else
        out["hex"] = HexBytes(value.data);
    return out;
}

// Whether another text may have the same UTF-8 form: Narrow writes a lone
// surrogate as U+FFFD, so only texts holding either can meet.
bool MayShareUtf8(const Text &text)
{
    for (size_t i = 0; i < text.size(); i++) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            i++;   // a pair
        else if ((unit >= 0xD800 && unit <= 0xDFFF) || unit == 0xFFFD)
            return true;
    }
    return false;
}

// Adds a member whose name is unique in its object (a key path, a value
// name in its key).  Unless its UTF-8 form may be another's, it is appended
// to the members (an ordered_json object is a vector of them) without the
// search operator[] makes; otherwise a later member replaces an earlier one.
void AddUniqueMember(ojson &object, const Text &name, ojson value)
{
    if (MayShareUtf8(name))
        object[Narrow(name)] = std::move(value);
    else
        object.get_ref<ojson::object_t &>().emplace_back(Narrow(name), std::move(value));
}

// Every key with values, a denied key and every leaf, by its full path.
void KeysToJson(const RegKey &key, const Text &path, ojson &out)
{
    if (!path.empty() && (!key.values.empty() || key.denyAccess || key.subkeys.empty())) {
        ojson entry = ojson::object();
        if (!key.values.empty()) {
            ojson values = ojson::object();
            for (const auto &[folded, named] : key.values)
                AddUniqueMember(values, named.first, ToJson(named.second));
            entry["values"] = std::move(values);
        }
        if (key.denyAccess)
            entry["deny_access"] = true;
        AddUniqueMember(out, path, std::move(entry));
    }
    for (const auto &[folded, child] : key.subkeys)
        KeysToJson(child, path.empty() ? child.name : path + u"\\" + child.name, out);
}

ojson ToJson(const Device &device)
{
    ojson out;
    out["instance_id"] = Narrow(device.instanceId);
    out["class"] = GuidToString(device.classGuid);
    if (device.hardwareIds)
        out["hardware_ids"] = TextList(*device.hardwareIds);
    if (device.description)
        out["description"] = Narrow(*device.description);
    if (device.enumerator)
        out["enumerator"] = Narrow(*device.enumerator);
    if (device.configFlags)
        out["config_flags"] = Code(*device.configFlags);
    out["status"] = Hex32(device.status);
    out["problem"] = device.problem;
    out["present"] = device.present;
    if (device.refuseRemoval)
        out["refuse_removal"] = true;
    if (device.installFlagsAfterChange)
        out["install_flags_after_change"] = Hex32(device.installFlagsAfterChange);
    if (!device.driverInf.empty())
        out["driver_inf"] = Narrow(device.driverInf);
    if (!device.service.empty())
        out["service"] = Narrow(device.service);
    if (device.restarts)
        out["restarts"] = device.restarts;
    return out;
}

ojson ToJson(const Service &service)
{
    ojson out;
    out["display_name"] = Narrow(service.displayName);
    out["binary"] = Narrow(service.binary);
    out["type"] = service.type;
    out["start"] = service.start;
    if (service.markedForDelete)
        out["marked_for_delete"] = true;
    return out;
}

ojson ToJson(int answer)
{
    return NameOr(kAnswers, &AnswerName::id, answer);
}

ojson ToJson(const Fault &fault)
{
    ojson out;
    out["function"] = fault.function;
    out["error"] = Code(fault.error);
    if (fault.onCall)
        out["call"] = fault.onCall;
    if (fault.everyCall)
        out["every"] = true;
    if (!fault.subject.empty())
        out["subject"] = Narrow(fault.subject);
    return out;
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
    ojson out;
    out["published_name"] = Narrow(entry.publishedName);
    out["original_path"] = Narrow(entry.originalPath);
    // INF files may be UTF-16; such bytes are kept as hex.
    if (ValidUtf8(entry.content))
        out["content"] = entry.content;
    else
        out["content_hex"] = HexBytes(std::vector<uint8_t>(entry.content.begin(), entry.content.end()));
    return out;
}

ojson ToJson(const CopiedFile &file)
{
    ojson out;
    out["destination"] = Narrow(file.destination);
    out["source"] = Narrow(file.source);
    if (file.deleted)
        out["deleted"] = true;
    return out;
}

// A list member, left out when the list is empty.
template <typename T>
void PutList(ojson &root, const char *name, const std::vector<T> &list)
{
    if (list.empty())
        return;
    ojson array = ojson::array();
    for (const T &item : list)
        array.push_back(ToJson(item));
    root[name] = std::move(array);
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
    // An element that was never registered belongs to its set, not the machine.
    for (const auto &device : devices)
        if (!device.removed && device.registered)
            out.push_back(ToJson(device));
    return out;
}

ojson ServicesToJson(const std::map<Text, Service> &services)
{
    ojson out = ojson::object();
    for (const auto &[folded, service] : services)
        AddUniqueMember(out, service.name, ToJson(service));
    return out;
}

}  // namespace

std::string SerializeMachine(const Machine &machine)
{
    ojson root;
    root["os"] = OsToJson(machine.os);
    root["clock"] = ClockToJson(machine);
    root["devices"] = DevicesToJson(machine.devices);
    ojson registry = ojson::object();
    KeysToJson(machine.hklm, Text(), registry);
    root["registry"] = std::move(registry);
    root["services"] = ServicesToJson(machine.services);
    root["features"] = machine.features;
    root["dism"] = {{"exit_status", machine.dism.exitStatus}, {"on_disable", machine.dism.onDisable}};
    PutList(root, "message_box_answers", machine.messageBoxAnswers);
    root["shutdown_privilege"] = machine.shutdownPrivilege;
    root["interactive"] = machine.interactive;
    PutList(root, "faults", machine.faults);
    PutList(root, "message_boxes", machine.messageBoxes);
    PutList(root, "reboots", machine.reboots);
    PutList(root, "driver_store", machine.driverStore);
    PutList(root, "files", machine.files);
    root["reboot_pending"] = machine.rebootPending;
    return root.dump(2, ' ', false, ojson::error_handler_t::replace);
}

}  // namespace winsim
