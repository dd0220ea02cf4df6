// The machine model: text helpers, the JSON description (parse and
// serialize), the built-in default machine, atomic load/save, reboot and the
// lookups shared by the API families.
#include "winsim/machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core_internal.h"

namespace winsim {

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------
Text Fold(const Text &text)
{
    Text folded(text);
    for (auto &unit : folded)
        if (unit >= u'a' && unit <= u'z')
            unit = static_cast<char16_t>(unit - u'a' + u'A');
    return folded;
}

bool EqualNoCase(const Text &a, const Text &b)
{
    return a.size() == b.size() && Fold(a) == Fold(b);
}

std::string Narrow(const Text &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

Text Widen(const std::string &utf8)
{
    Text out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char lead = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            extra = 3;
        } else {
            out += u'\uFFFD';
            i++;
            continue;
        }
        bool ok = true;
        for (size_t k = 1; ok && k <= extra; k++) {
            if (i + k >= utf8.size() || (static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += u'\uFFFD';
            i++;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += extra + 1;
    }
    return out;
}

std::string GuidToString(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

namespace {

bool HexValue(char c, unsigned &value)
{
    if (c >= '0' && c <= '9')
        value = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
        value = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        value = static_cast<unsigned>(c - 'A' + 10);
    else
        return false;
    return true;
}

bool ParseHexField(const std::string &text, size_t pos, size_t digits, uint64_t &value)
{
    value = 0;
    for (size_t i = 0; i < digits; i++) {
        unsigned v;
        if (!HexValue(text[pos + i], v))
            return false;
        value = (value << 4) | v;
    }
    return true;
}

}  // namespace

std::optional<GUID> GuidFromString(const std::string &text)
{
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-')
        return std::nullopt;
    GUID guid{};
    uint64_t v;
    if (!ParseHexField(text, 1, 8, v))
        return std::nullopt;
    guid.Data1 = static_cast<uint32_t>(v);
    if (!ParseHexField(text, 10, 4, v))
        return std::nullopt;
    guid.Data2 = static_cast<uint16_t>(v);
    if (!ParseHexField(text, 15, 4, v))
        return std::nullopt;
    guid.Data3 = static_cast<uint16_t>(v);
    static const size_t bytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; i++) {
        if (!ParseHexField(text, bytePos[i], 2, v))
            return std::nullopt;
        guid.Data4[i] = static_cast<uint8_t>(v);
    }
    return guid;
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
// Registry tree helpers
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

namespace {

bool ValidUtf16(const Text &text)
{
    return Widen(Narrow(text)) == text;
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

RegKey *FindKeyIn(RegKey &root, const Text &path, bool create)
{
    RegKey *key = &root;
    for (const auto &part : SplitKeyPath(path)) {
        auto it = key->subkeys.find(Fold(part));
        if (it == key->subkeys.end()) {
            if (!create)
                return nullptr;
            RegKey child;
            child.name = part;
            it = key->subkeys.emplace(Fold(part), std::move(child)).first;
        }
        key = &it->second;
    }
    return key;
}

}  // namespace

// ---------------------------------------------------------------------------
// Current machine and lookups
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

Device *FindDeviceByDevInst(DEVINST devInst)
{
    auto &devices = Current().devices;
    if (devInst == 0 || devInst > devices.size())
        return nullptr;
    Device &device = devices[devInst - 1];
    return device.removed ? nullptr : &device;
}

RegKey *FindKey(const Text &path, bool create)
{
    return FindKeyIn(Current().hklm, path, create);
}

std::string Arch(const OsInfo &os)
{
    if (!os.arch.empty())
        return os.arch;
    return os.major < 5 || (os.major == 5 && os.minor < 2) ? "x86" : "amd64";
}

RegKey *FindKey(Machine &machine, const Text &path, bool create)
{
    return FindKeyIn(machine.hklm, path, create);
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
            ContainsNoCase(*device.hardwareIds, u"ROOT\\MPIO"))
            return &device;
    return nullptr;
}

Device &AddMpioBusDevice(Machine &machine)
{
    Text instanceId;
    for (unsigned number = 0;; number++) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "%04u", number);
        instanceId = u"ROOT\\MPIO\\" + Widen(suffix);
        if (!InstanceIdInUse(machine, instanceId))
            break;
    }
    Device device;
    device.instanceId = instanceId;
    device.classGuid = GUID_DEVCLASS_SCSIADAPTER;
    device.hardwareIds = std::vector<Text>{u"ROOT\\MPIO"};
    device.description = u"Multi-Path Support";
    device.enumerator = u"ROOT";
    device.configFlags = 0;
    device.status = DN_ROOT_ENUMERATED | DN_DRIVER_LOADED | DN_STARTED;
    device.service = u"mpio";
    device.present = true;
    machine.devices.push_back(std::move(device));
    return machine.devices.back();
}

void Reboot(Machine &machine)
{
    auto &features = machine.features;
    for (auto &[name, state] : features) {
        if (state == "EnablePending") {
            state = "Enabled";
            if (name == "MultipathIo" && !FindMpioBusDevice(machine))
                AddMpioBusDevice(machine);
        } else if (state == "DisablePending") {
            state = "Disabled";
            if (name == "MultipathIo")
                if (Device *bus = FindMpioBusDevice(machine))
                    bus->removed = true;
        }
    }
    for (auto &device : machine.devices) {
        if (device.status & DN_WILL_BE_REMOVED)
            device.removed = true;
        device.status &= ~static_cast<uint32_t>(DN_NEED_RESTART);
    }
    for (auto it = machine.services.begin(); it != machine.services.end();)
        it = it->second.markedForDelete ? machine.services.erase(it) : std::next(it);
    machine.rebootPending = false;
}

bool CompleteRequestedReboot(Machine &machine, size_t firstRecord)
{
    for (size_t i = firstRecord; i < machine.reboots.size(); i++) {
        if (machine.reboots[i].flags & (EWX_REBOOT | EWX_SHUTDOWN | 0x8 /* EWX_POWEROFF */)) {
            Reboot(machine);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Parsing the description
// ---------------------------------------------------------------------------
namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

[[noreturn]] void Fail(const std::string &where, const std::string &fault)
{
    throw std::runtime_error(where.empty() ? fault : where + ": " + fault);
}

std::string Member(const std::string &where, const std::string &name)
{
    return where.empty() ? name : where + "." + name;
}

std::string Index(const std::string &where, size_t index)
{
    return where + "[" + std::to_string(index) + "]";
}

std::string Keyed(const std::string &where, const std::string &key)
{
    return where + "[\"" + key + "\"]";
}

void ExpectObject(const json &j, const std::string &where)
{
    if (!j.is_object())
        Fail(where, "must be an object");
}

void ExpectArray(const json &j, const std::string &where)
{
    if (!j.is_array())
        Fail(where, "must be an array");
}

void OnlyMembers(const json &j, const std::string &where, std::initializer_list<const char *> known)
{
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool found = false;
        for (const char *name : known)
            if (it.key() == name)
                found = true;
        if (!found)
            Fail(Member(where, it.key()), "unknown member");
    }
}

const json *Find(const json &object, const char *name)
{
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

// A JSON integer, or a string "0x..." in hex.
int64_t ReadInteger(const json &j, const std::string &where, int64_t low, int64_t high)
{
    int64_t value = 0;
    if (j.is_number_unsigned()) {
        uint64_t u = j.get<uint64_t>();
        if (u > static_cast<uint64_t>(high))
            Fail(where, "out of range");
        value = static_cast<int64_t>(u);
    } else if (j.is_number_integer()) {
        value = j.get<int64_t>();
    } else if (j.is_string()) {
        const std::string text = j.get<std::string>();
        if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || text.size() > 18)
            Fail(where, "must be a number or a \"0x...\" hex string");
        uint64_t u = 0;
        if (!ParseHexField(text, 2, text.size() - 2, u))
            Fail(where, "bad hex number \"" + text + "\"");
        if (u > static_cast<uint64_t>(high))
            Fail(where, "out of range");
        value = static_cast<int64_t>(u);
    } else {
        Fail(where, "must be a number or a \"0x...\" hex string");
    }
    if (value < low || value > high)
        Fail(where, "out of range");
    return value;
}

uint32_t ReadU32(const json &j, const std::string &where)
{
    return static_cast<uint32_t>(ReadInteger(j, where, 0, 0xFFFFFFFFLL));
}

bool ReadBool(const json &j, const std::string &where)
{
    if (!j.is_boolean())
        Fail(where, "must be true or false");
    return j.get<bool>();
}

std::string ReadString(const json &j, const std::string &where)
{
    if (!j.is_string())
        Fail(where, "must be a string");
    return j.get<std::string>();
}

Text ReadText(const json &j, const std::string &where)
{
    return Widen(ReadString(j, where));
}

std::vector<Text> ReadTextList(const json &j, const std::string &where)
{
    ExpectArray(j, where);
    std::vector<Text> list;
    for (size_t i = 0; i < j.size(); i++)
        list.push_back(ReadText(j[i], Index(where, i)));
    return list;
}

std::vector<uint8_t> ReadHex(const json &j, const std::string &where)
{
    std::string text = ReadString(j, where);
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits += c;
    if (digits.size() % 2)
        Fail(where, "odd number of hex digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned hi, lo;
        if (!HexValue(digits[i], hi) || !HexValue(digits[i + 1], lo))
            Fail(where, "bad hex digit");
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return bytes;
}

GUID ReadClass(const json &j, const std::string &where)
{
    std::string text = ReadString(j, where);
    if (auto guid = GuidFromString(text))
        return *guid;
    for (const KnownClass &known : kKnownClasses)
        if (EqualNoCase(Widen(text), known.name))
            return known.guid;
    Fail(where, "unknown class \"" + text + "\"");
}

struct TypeName {
    const char *name;
    uint32_t type;
};
const TypeName kTypeNames[] = {
    {"REG_NONE", REG_NONE},         {"REG_SZ", REG_SZ},     {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY},     {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
};

uint32_t ReadType(const json &j, const std::string &where)
{
    if (j.is_string() && j.get<std::string>().rfind("0x", 0) != 0) {
        for (const auto &known : kTypeNames)
            if (j.get<std::string>() == known.name)
                return known.type;
        Fail(where, "unknown type \"" + j.get<std::string>() + "\"");
    }
    return ReadU32(j, where);
}

RegValue ReadValue(const json &j, const std::string &where)
{
    ExpectObject(j, where);
    OnlyMembers(j, where, {"type", "data", "hex"});
    const json *type = Find(j, "type");
    if (!type)
        Fail(Member(where, "type"), "missing");
    RegValue value;
    value.type = ReadType(*type, Member(where, "type"));
    const json *data = Find(j, "data");
    const json *hex = Find(j, "hex");
    if (data && hex)
        Fail(where, "give either \"data\" or \"hex\", not both");
    if (!data && !hex)
        Fail(where, "missing \"data\" or \"hex\"");
    if (hex) {
        value.data = ReadHex(*hex, Member(where, "hex"));
        return value;
    }
    const std::string at = Member(where, "data");
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        value.data = StringBytes(ReadText(*data, at));
        break;
    case REG_MULTI_SZ: {
        auto strings = ReadTextList(*data, at);
        for (size_t i = 0; i < strings.size(); i++)
            if (strings[i].empty())
                Fail(Index(at, i), "empty string inside a multi-string (use \"hex\")");
        value.data = MultiStringBytes(strings);
        break;
    }
    case REG_DWORD: {
        uint32_t v = ReadU32(*data, at);
        for (int i = 0; i < 4; i++)
            value.data.push_back(static_cast<uint8_t>(v >> (8 * i)));
        break;
    }
    case REG_QWORD: {
        uint64_t v;
        if (data->is_number_unsigned())
            v = data->get<uint64_t>();
        else
            v = static_cast<uint64_t>(ReadInteger(*data, at, 0, INT64_MAX));
        for (int i = 0; i < 8; i++)
            value.data.push_back(static_cast<uint8_t>(v >> (8 * i)));
        break;
    }
    default:
        Fail(at, "not accepted for this type; use \"hex\"");
    }
    return value;
}

void ReadRegistry(const json &j, Machine &machine)
{
    const std::string where = "registry";
    ExpectObject(j, where);
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string at = Keyed(where, it.key());
        Text path = Widen(it.key());
        if (path.empty() || path.front() == u'\\' || path.back() == u'\\' ||
            path.find(u"\\\\") != Text::npos)
            Fail(at, "bad key path (empty name in it)");
        ExpectObject(it.value(), at);
        OnlyMembers(it.value(), at, {"values", "deny_access"});
        RegKey *key = FindKeyIn(machine.hklm, path, true);
        if (const json *deny = Find(it.value(), "deny_access"))
            key->denyAccess = ReadBool(*deny, Member(at, "deny_access"));
        if (const json *values = Find(it.value(), "values")) {
            const std::string vat = Member(at, "values");
            ExpectObject(*values, vat);
            for (auto v = values->begin(); v != values->end(); ++v) {
                const std::string valueAt = Keyed(vat, v.key());
                Text name = Widen(v.key());
                if (key->values.count(Fold(name)))
                    Fail(valueAt, "duplicate value name");
                RegValue value = ReadValue(v.value(), valueAt);
                SetValueIn(*key, name, value.type, std::move(value.data));
            }
        }
    }
}

Device ReadDevice(const json &j, const std::string &where)
{
    ExpectObject(j, where);
    OnlyMembers(j, where,
                {"instance_id", "class", "hardware_ids", "description", "enumerator", "config_flags",
                 "status", "problem", "present", "refuse_removal", "install_flags_after_change",
                 "driver_inf", "service", "restarts"});
    Device device;
    const json *id = Find(j, "instance_id");
    if (!id)
        Fail(Member(where, "instance_id"), "missing");
    device.instanceId = ReadText(*id, Member(where, "instance_id"));
    if (device.instanceId.empty())
        Fail(Member(where, "instance_id"), "empty");
    const json *cls = Find(j, "class");
    if (!cls)
        Fail(Member(where, "class"), "missing");
    device.classGuid = ReadClass(*cls, Member(where, "class"));
    if (const json *v = Find(j, "hardware_ids"))
        device.hardwareIds = ReadTextList(*v, Member(where, "hardware_ids"));
    if (const json *v = Find(j, "description"))
        device.description = ReadText(*v, Member(where, "description"));
    if (const json *v = Find(j, "enumerator"))
        device.enumerator = ReadText(*v, Member(where, "enumerator"));
    if (const json *v = Find(j, "config_flags"))
        device.configFlags = ReadU32(*v, Member(where, "config_flags"));
    if (const json *v = Find(j, "status"))
        device.status = ReadU32(*v, Member(where, "status"));
    if (const json *v = Find(j, "problem"))
        device.problem = ReadU32(*v, Member(where, "problem"));
    if (const json *v = Find(j, "present"))
        device.present = ReadBool(*v, Member(where, "present"));
    if (const json *v = Find(j, "refuse_removal"))
        device.refuseRemoval = ReadBool(*v, Member(where, "refuse_removal"));
    if (const json *v = Find(j, "install_flags_after_change"))
        device.installFlagsAfterChange = ReadU32(*v, Member(where, "install_flags_after_change"));
    if (const json *v = Find(j, "driver_inf"))
        device.driverInf = ReadText(*v, Member(where, "driver_inf"));
    if (const json *v = Find(j, "service"))
        device.service = ReadText(*v, Member(where, "service"));
    if (const json *v = Find(j, "restarts"))
        device.restarts = ReadU32(*v, Member(where, "restarts"));
    return device;
}

const char *const kFeatureStates[] = {"Enabled", "Disabled", "EnablePending", "DisablePending"};

struct AnswerName {
    const char *name;
    int id;
};
const AnswerName kAnswers[] = {{"OK", 1},    {"CANCEL", 2}, {"ABORT", 3}, {"RETRY", 4},
                               {"IGNORE", 5}, {"YES", 6},    {"NO", 7}};

int ReadAnswer(const json &j, const std::string &where)
{
    if (j.is_string() && j.get<std::string>().rfind("0x", 0) != 0) {
        for (const auto &known : kAnswers)
            if (j.get<std::string>() == known.name)
                return known.id;
        Fail(where, "unknown answer \"" + j.get<std::string>() + "\"");
    }
    return static_cast<int>(ReadInteger(j, where, 1, 11));
}

void ParseClock(const json &j, Machine &machine)
{
    const std::string where = "clock";
    ExpectObject(j, where);
    OnlyMembers(j, where, {"time", "step_ms"});
    if (const json *t = Find(j, "time")) {
        std::string text = ReadString(*t, Member(where, "time"));
        unsigned y, mo, d, h, mi, s, ms = 0;
        char tail;
        int n = std::sscanf(text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u.%3u%c", &y, &mo, &d, &h, &mi, &s, &ms,
                            &tail);
        static const unsigned days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if ((n != 6 && n != 7) || y < 1601 || y > 30827 || mo < 1 || mo > 12 || d < 1 ||
            d > days[mo - 1] - (mo == 2 && !leap ? 1 : 0) || h > 23 || mi > 59 || s > 59 || ms > 999)
            Fail(Member(where, "time"), "must be a local time \"YYYY-MM-DD HH:MM:SS.mmm\"");
        SYSTEMTIME &clock = machine.clock;
        clock.wYear = static_cast<WORD>(y);
        clock.wMonth = static_cast<WORD>(mo);
        clock.wDay = static_cast<WORD>(d);
        clock.wHour = static_cast<WORD>(h);
        clock.wMinute = static_cast<WORD>(mi);
        clock.wSecond = static_cast<WORD>(s);
        clock.wMilliseconds = static_cast<WORD>(ms);
        // Day of the week (0 = Sunday) by Sakamoto's method.
        static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
        unsigned yy = mo < 3 ? y - 1 : y;
        clock.wDayOfWeek = static_cast<WORD>((yy + yy / 4 - yy / 100 + yy / 400 + offsets[mo - 1] + d) % 7);
    }
    if (const json *step = Find(j, "step_ms"))
        machine.clockStepMs = ReadU32(*step, Member(where, "step_ms"));
}

void ParseTop(const json &root, Machine &machine)
{
    if (!root.is_object())
        Fail("", "the description must be a JSON object");
    OnlyMembers(root, "",
                {"os", "clock", "devices", "registry", "services", "features", "dism",
                 "message_box_answers", "shutdown_privilege", "interactive", "faults", "message_boxes",
                 "reboots", "driver_store", "files", "reboot_pending"});

    if (const json *os = Find(root, "os")) {
        ExpectObject(*os, "os");
        OnlyMembers(*os, "os", {"major", "minor", "build", "csd", "arch"});
        if (const json *v = Find(*os, "arch")) {
            machine.os.arch = Narrow(ReadText(*v, "os.arch"));
            if (machine.os.arch != "amd64" && machine.os.arch != "x86")
                Fail("os.arch", "not \"amd64\" or \"x86\"");
        }
        if (const json *v = Find(*os, "major"))
            machine.os.major = ReadU32(*v, "os.major");
        if (const json *v = Find(*os, "minor"))
            machine.os.minor = ReadU32(*v, "os.minor");
        if (const json *v = Find(*os, "build"))
            machine.os.build = ReadU32(*v, "os.build");
        if (const json *v = Find(*os, "csd")) {
            machine.os.csd = ReadText(*v, "os.csd");
            if (machine.os.csd.size() > 127)
                Fail("os.csd", "longer than 127 units");
        }
    }
    if (const json *clock = Find(root, "clock"))
        ParseClock(*clock, machine);

    if (const json *devices = Find(root, "devices")) {
        ExpectArray(*devices, "devices");
        for (size_t i = 0; i < devices->size(); i++) {
            const std::string at = Index("devices", i);
            Device device = ReadDevice((*devices)[i], at);
            for (size_t k = 0; k < machine.devices.size(); k++)
                if (EqualNoCase(machine.devices[k].instanceId, device.instanceId))
                    Fail(Member(at, "instance_id"), "same as devices[" + std::to_string(k) + "]");
            machine.devices.push_back(std::move(device));
        }
    }
    if (const json *registry = Find(root, "registry"))
        ReadRegistry(*registry, machine);

    if (const json *services = Find(root, "services")) {
        ExpectObject(*services, "services");
        for (auto it = services->begin(); it != services->end(); ++it) {
            const std::string at = Keyed("services", it.key());
            ExpectObject(it.value(), at);
            OnlyMembers(it.value(), at, {"display_name", "binary", "type", "start", "marked_for_delete"});
            Service service;
            service.name = Widen(it.key());
            if (service.name.empty())
                Fail(at, "empty service name");
            if (machine.services.count(Fold(service.name)))
                Fail(at, "duplicate service name");
            const json &s = it.value();
            if (const json *v = Find(s, "display_name"))
                service.displayName = ReadText(*v, Member(at, "display_name"));
            if (const json *v = Find(s, "binary"))
                service.binary = ReadText(*v, Member(at, "binary"));
            if (const json *v = Find(s, "type"))
                service.type = ReadU32(*v, Member(at, "type"));
            if (const json *v = Find(s, "start"))
                service.start = ReadU32(*v, Member(at, "start"));
            if (const json *v = Find(s, "marked_for_delete"))
                service.markedForDelete = ReadBool(*v, Member(at, "marked_for_delete"));
            machine.services[Fold(service.name)] = std::move(service);
        }
    }
    if (const json *features = Find(root, "features")) {
        ExpectObject(*features, "features");
        for (auto it = features->begin(); it != features->end(); ++it) {
            const std::string at = Keyed("features", it.key());
            std::string state = ReadString(it.value(), at);
            bool known = false;
            for (const char *name : kFeatureStates)
                if (state == name)
                    known = true;
            if (!known)
                Fail(at, "unknown state \"" + state +
                             "\" (Enabled, Disabled, EnablePending or DisablePending)");
            machine.features[it.key()] = state;
        }
    }
    if (const json *dism = Find(root, "dism")) {
        ExpectObject(*dism, "dism");
        OnlyMembers(*dism, "dism", {"exit_status", "on_disable"});
        if (const json *v = Find(*dism, "exit_status"))
            machine.dism.exitStatus =
                static_cast<int>(static_cast<uint32_t>(ReadInteger(*v, "dism.exit_status", INT32_MIN, 0xFFFFFFFFLL)));
        if (const json *v = Find(*dism, "on_disable")) {
            std::string mode = ReadString(*v, "dism.on_disable");
            if (mode != "mark" && mode != "remove" && mode != "keep")
                Fail("dism.on_disable", "unknown mode \"" + mode + "\" (mark, remove or keep)");
            machine.dism.onDisable = mode;
        }
    }
    if (const json *answers = Find(root, "message_box_answers")) {
        ExpectArray(*answers, "message_box_answers");
        for (size_t i = 0; i < answers->size(); i++)
            machine.messageBoxAnswers.push_back(ReadAnswer((*answers)[i], Index("message_box_answers", i)));
    }
    if (const json *v = Find(root, "shutdown_privilege"))
        machine.shutdownPrivilege = ReadBool(*v, "shutdown_privilege");
    // A described machine may ask on the terminal unless it says otherwise;
    // MessageBoxW still asks only when standard input is a terminal.
    machine.interactive = true;
    if (const json *v = Find(root, "interactive"))
        machine.interactive = ReadBool(*v, "interactive");

    if (const json *faults = Find(root, "faults")) {
        ExpectArray(*faults, "faults");
        for (size_t i = 0; i < faults->size(); i++) {
            const std::string at = Index("faults", i);
            const json &f = (*faults)[i];
            ExpectObject(f, at);
            OnlyMembers(f, at, {"function", "error", "call", "every", "subject"});
            Fault fault;
            const json *function = Find(f, "function");
            if (!function)
                Fail(Member(at, "function"), "missing");
            fault.function = ReadString(*function, Member(at, "function"));
            if (fault.function.empty())
                Fail(Member(at, "function"), "empty");
            const json *error = Find(f, "error");
            if (!error)
                Fail(Member(at, "error"), "missing");
            fault.error = static_cast<uint32_t>(ReadInteger(*error, Member(at, "error"), INT32_MIN, 0xFFFFFFFFLL));
            if (const json *v = Find(f, "call")) {
                fault.onCall = ReadU32(*v, Member(at, "call"));
                if (fault.onCall == 0)
                    Fail(Member(at, "call"), "calls count from 1");
            }
            if (const json *v = Find(f, "every"))
                fault.everyCall = ReadBool(*v, Member(at, "every"));
            if (const json *v = Find(f, "subject"))
                fault.subject = ReadText(*v, Member(at, "subject"));
            machine.faults.push_back(std::move(fault));
        }
    }
    if (const json *boxes = Find(root, "message_boxes")) {
        ExpectArray(*boxes, "message_boxes");
        for (size_t i = 0; i < boxes->size(); i++) {
            const std::string at = Index("message_boxes", i);
            const json &b = (*boxes)[i];
            ExpectObject(b, at);
            OnlyMembers(b, at, {"text", "caption", "type", "answer"});
            MessageBoxRecord record;
            if (const json *v = Find(b, "text"))
                record.text = ReadText(*v, Member(at, "text"));
            if (const json *v = Find(b, "caption"))
                record.caption = ReadText(*v, Member(at, "caption"));
            if (const json *v = Find(b, "type"))
                record.type = ReadU32(*v, Member(at, "type"));
            if (const json *v = Find(b, "answer"))
                record.answer = static_cast<int>(ReadInteger(*v, Member(at, "answer"), 0, 11));
            machine.messageBoxes.push_back(std::move(record));
        }
    }
    if (const json *reboots = Find(root, "reboots")) {
        ExpectArray(*reboots, "reboots");
        for (size_t i = 0; i < reboots->size(); i++) {
            const std::string at = Index("reboots", i);
            const json &r = (*reboots)[i];
            ExpectObject(r, at);
            OnlyMembers(r, at, {"flags", "reason"});
            RebootRecord record;
            if (const json *v = Find(r, "flags"))
                record.flags = ReadU32(*v, Member(at, "flags"));
            if (const json *v = Find(r, "reason"))
                record.reason = ReadU32(*v, Member(at, "reason"));
            machine.reboots.push_back(record);
        }
    }
    if (const json *store = Find(root, "driver_store")) {
        ExpectArray(*store, "driver_store");
        for (size_t i = 0; i < store->size(); i++) {
            const std::string at = Index("driver_store", i);
            const json &e = (*store)[i];
            ExpectObject(e, at);
            OnlyMembers(e, at, {"published_name", "original_path", "content", "content_hex"});
            DriverStoreEntry entry;
            const json *name = Find(e, "published_name");
            if (!name)
                Fail(Member(at, "published_name"), "missing");
            entry.publishedName = ReadText(*name, Member(at, "published_name"));
            if (const json *v = Find(e, "original_path"))
                entry.originalPath = ReadText(*v, Member(at, "original_path"));
            const json *content = Find(e, "content");
            const json *contentHex = Find(e, "content_hex");
            if (content && contentHex)
                Fail(at, "give either \"content\" or \"content_hex\", not both");
            if (content)
                entry.content = ReadString(*content, Member(at, "content"));
            if (contentHex) {
                auto bytes = ReadHex(*contentHex, Member(at, "content_hex"));
                entry.content.assign(bytes.begin(), bytes.end());
            }
            machine.driverStore.push_back(std::move(entry));
        }
    }
    if (const json *files = Find(root, "files")) {
        ExpectArray(*files, "files");
        for (size_t i = 0; i < files->size(); i++) {
            const std::string at = Index("files", i);
            const json &f = (*files)[i];
            ExpectObject(f, at);
            OnlyMembers(f, at, {"destination", "source", "deleted"});
            CopiedFile file;
            if (const json *v = Find(f, "destination"))
                file.destination = ReadText(*v, Member(at, "destination"));
            if (const json *v = Find(f, "source"))
                file.source = ReadText(*v, Member(at, "source"));
            if (const json *v = Find(f, "deleted"))
                file.deleted = ReadBool(*v, Member(at, "deleted"));
            machine.files.push_back(std::move(file));
        }
    }
    if (const json *v = Find(root, "reboot_pending"))
        machine.rebootPending = ReadBool(*v, "reboot_pending");
}

// ---------------------------------------------------------------------------
// Serializing
// ---------------------------------------------------------------------------
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

std::string TypeToName(uint32_t type, bool &known)
{
    for (const auto &t : kTypeNames)
        if (t.type == type) {
            known = true;
            return t.name;
        }
    known = false;
    return std::string();
}

ojson ValueToJson(const RegValue &value)
{
    ojson out;
    bool known;
    std::string name = TypeToName(value.type, known);
    if (known)
        out["type"] = name;
    else
        out["type"] = value.type;
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (auto text = WellFormedString(value.data)) {
            out["data"] = Narrow(*text);
            return out;
        }
        break;
    case REG_MULTI_SZ:
        if (auto strings = WellFormedMultiSz(value.data)) {
            out["data"] = TextList(*strings);
            return out;
        }
        break;
    case REG_DWORD:
    case REG_QWORD:
        // Little-endian, 4 or 8 bytes.
        if (value.data.size() == (value.type == REG_DWORD ? 4u : 8u)) {
            uint64_t v = 0;
            for (size_t i = 0; i < value.data.size(); i++)
                v |= static_cast<uint64_t>(value.data[i]) << (8 * i);
            out["data"] = v;
            return out;
        }
        break;
    default:
        break;
    }
    out["hex"] = HexBytes(value.data);
    return out;
}

void KeysToJson(const RegKey &key, const Text &path, ojson &out)
{
    if (!path.empty() && (!key.values.empty() || key.denyAccess || key.subkeys.empty())) {
        ojson entry = ojson::object();
        if (!key.values.empty()) {
            ojson values = ojson::object();
            for (const auto &[folded, named] : key.values)
                values[Narrow(named.first)] = ValueToJson(named.second);
            entry["values"] = values;
        }
        if (key.denyAccess)
            entry["deny_access"] = true;
        out[Narrow(path)] = entry;
    }
    for (const auto &[folded, child] : key.subkeys)
        KeysToJson(child, path.empty() ? child.name : path + u"\\" + child.name, out);
}

ojson DeviceToJson(const Device &device)
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

std::string AnswerToName(int answer)
{
    for (const auto &known : kAnswers)
        if (known.id == answer)
            return known.name;
    return std::string();
}

bool ValidUtf8(const std::string &bytes)
{
    return Narrow(Widen(bytes)) == bytes;
}

}  // namespace

namespace {

// The library's text without its "[json.exception.parse_error.101] " tag.
std::string JsonFault(const json::exception &error)
{
    const std::string message = error.what();
    const size_t tagEnd = message.find("] ");
    return message.rfind("[json.exception.", 0) == 0 && tagEnd != std::string::npos ? message.substr(tagEnd + 2)
                                                                                      : message;
}

}  // namespace

Machine ParseMachine(const std::string &text)
{
    json root;
    try {
        root = json::parse(text, nullptr, true, /*ignore_comments=*/true);
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
    Machine machine;
    machine.interactive = true;
    try {
        ParseTop(root, machine);
    } catch (const json::exception &error) {
        throw std::runtime_error("malformed description: " + JsonFault(error));
    }
    return machine;
}

std::string SerializeMachine(const Machine &machine)
{
    ojson root;
    root["os"] = {{"major", machine.os.major},
                  {"minor", machine.os.minor},
                  {"build", machine.os.build},
                  {"csd", Narrow(machine.os.csd)}};
    if (!machine.os.arch.empty())
        root["os"]["arch"] = machine.os.arch;
    char time[64];
    const SYSTEMTIME &c = machine.clock;
    std::snprintf(time, sizeof time, "%04u-%02u-%02u %02u:%02u:%02u.%03u", c.wYear, c.wMonth, c.wDay, c.wHour,
                  c.wMinute, c.wSecond, c.wMilliseconds);
    root["clock"] = {{"time", time}, {"step_ms", machine.clockStepMs}};

    ojson devices = ojson::array();
    // An element that was never registered belongs to its set, not the machine.
    for (const auto &device : machine.devices)
        if (!device.removed && device.registered)
            devices.push_back(DeviceToJson(device));
    root["devices"] = devices;

    ojson registry = ojson::object();
    KeysToJson(machine.hklm, Text(), registry);
    root["registry"] = registry;

    ojson services = ojson::object();
    for (const auto &[folded, service] : machine.services) {
        ojson s;
        s["display_name"] = Narrow(service.displayName);
        s["binary"] = Narrow(service.binary);
        s["type"] = service.type;
        s["start"] = service.start;
        if (service.markedForDelete)
            s["marked_for_delete"] = true;
        services[Narrow(service.name)] = s;
    }
    root["services"] = services;

    ojson features = ojson::object();
    for (const auto &[name, state] : machine.features)
        features[name] = state;
    root["features"] = features;

    root["dism"] = {{"exit_status", machine.dism.exitStatus}, {"on_disable", machine.dism.onDisable}};
    if (!machine.messageBoxAnswers.empty()) {
        ojson answers = ojson::array();
        for (int answer : machine.messageBoxAnswers) {
            std::string name = AnswerToName(answer);
            if (name.empty())
                answers.push_back(answer);
            else
                answers.push_back(name);
        }
        root["message_box_answers"] = answers;
    }
    root["shutdown_privilege"] = machine.shutdownPrivilege;
    root["interactive"] = machine.interactive;

    if (!machine.faults.empty()) {
        ojson faults = ojson::array();
        for (const auto &fault : machine.faults) {
            ojson f;
            f["function"] = fault.function;
            f["error"] = Code(fault.error);
            if (fault.onCall)
                f["call"] = fault.onCall;
            if (fault.everyCall)
                f["every"] = true;
            if (!fault.subject.empty())
                f["subject"] = Narrow(fault.subject);
            faults.push_back(f);
        }
        root["faults"] = faults;
    }
    if (!machine.messageBoxes.empty()) {
        ojson boxes = ojson::array();
        for (const auto &box : machine.messageBoxes)
            boxes.push_back({{"text", Narrow(box.text)},
                             {"caption", Narrow(box.caption)},
                             {"type", box.type},
                             {"answer", box.answer}});
        root["message_boxes"] = boxes;
    }
    if (!machine.reboots.empty()) {
        ojson reboots = ojson::array();
        for (const auto &reboot : machine.reboots)
            reboots.push_back({{"flags", reboot.flags}, {"reason", Hex32(reboot.reason)}});
        root["reboots"] = reboots;
    }
    if (!machine.driverStore.empty()) {
        ojson store = ojson::array();
        for (const auto &entry : machine.driverStore) {
            ojson e;
            e["published_name"] = Narrow(entry.publishedName);
            e["original_path"] = Narrow(entry.originalPath);
            // INF files may be UTF-16; such bytes are kept as hex.
            if (ValidUtf8(entry.content))
                e["content"] = entry.content;
            else
                e["content_hex"] = HexBytes(std::vector<uint8_t>(entry.content.begin(), entry.content.end()));
            store.push_back(e);
        }
        root["driver_store"] = store;
    }
    if (!machine.files.empty()) {
        ojson files = ojson::array();
        for (const auto &file : machine.files) {
            ojson f;
            f["destination"] = Narrow(file.destination);
            f["source"] = Narrow(file.source);
            if (file.deleted)
                f["deleted"] = true;
            files.push_back(f);
        }
        root["files"] = files;
    }
    root["reboot_pending"] = machine.rebootPending;
    return root.dump(2, ' ', false, ojson::error_handler_t::replace);
}

// ---------------------------------------------------------------------------
// The built-in machine
// ---------------------------------------------------------------------------
namespace {

Device MakeDevice(const Text &instanceId, const GUID &cls, std::vector<Text> hardwareIds, const Text &description,
                  const Text &service)
{
    Device device;
    device.instanceId = instanceId;
    device.classGuid = cls;
    device.hardwareIds = std::move(hardwareIds);
    device.description = description;
    device.enumerator = EnumeratorOf(instanceId);
    device.configFlags = 0;
    device.service = service;
    return device;
}

Device MakeScsiDisk(const std::string &vendor, const std::string &product, const std::string &rev,
                    const Text &instanceSuffix)
{
    auto underscored = [](std::string text) {
        for (auto &c : text)
            if (c == ' ')
                c = '_';
        return text;
    };
    auto trimmed = [](std::string text) {
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        return text;
    };
    const std::string v = underscored(vendor), p = underscored(product);
    std::vector<Text> ids = {
        Widen("SCSI\\Disk" + v + p + rev), Widen("SCSI\\Disk" + v + p), Widen("SCSI\\Disk" + v),
        Widen("SCSI\\" + v + p + rev.substr(0, 1)), Widen(v + p + rev.substr(0, 1)), u"GenDisk"};
    Text instance = Widen("SCSI\\DISK&VEN_" + trimmed(vendor) + "&PROD_" + trimmed(product) + "&REV_" + rev +
                          "\\") +
                    instanceSuffix;
    return MakeDevice(instance, GUID_DEVCLASS_DISKDRIVE, ids,
                      Widen(trimmed(vendor) + " " + trimmed(product) + " SCSI Disk Device"), u"disk");
}

}  // namespace

Machine DefaultMachine()
{
    Machine m;
    m.os = OsInfo{10, 0, 17763, Text(), std::string()};
    m.interactive = true;

    m.devices.push_back(MakeDevice(u"PCI\\VEN_1D7A&DEV_0A31&SUBSYS_00011D7A&REV_01\\4&1C2B3A4D&0&0010",
                                   GUID_DEVCLASS_SCSIADAPTER,
                                   {u"PCI\\VEN_1D7A&DEV_0A31&SUBSYS_00011D7A&REV_01",
                                    u"PCI\\VEN_1D7A&DEV_0A31&SUBSYS_00011D7A", u"PCI\\VEN_1D7A&DEV_0A31&CC_010700",
                                    u"PCI\\VEN_1D7A&DEV_0A31&CC_0107"},
                                   u"Brightwater 12G SAS Host Bus Adapter", u"bwsas"));
    m.devices.push_back(MakeDevice(u"PCI\\VEN_1E4B&DEV_2210&SUBSYS_22101E4B&REV_02\\4&3F0E9A12&0&0018",
                                   GUID_DEVCLASS_SCSIADAPTER,
                                   {u"PCI\\VEN_1E4B&DEV_2210&SUBSYS_22101E4B&REV_02",
                                    u"PCI\\VEN_1E4B&DEV_2210&SUBSYS_22101E4B", u"PCI\\VEN_1E4B&DEV_2210&CC_0C0400",
                                    u"PCI\\VEN_1E4B&DEV_2210&CC_0C04"},
                                   u"Korvane 16Gb Fibre Channel Adapter", u"korvfc"));
    m.devices.push_back(MakeScsiDisk("QUORVEX ", "LUMENSTRIDE     ", "0100", u"5&2B3C4D5E&0&000000"));
    m.devices.push_back(MakeScsiDisk("QUORVEX ", "LUMENSTRIDE     ", "0100", u"5&2B3C4D5E&0&000100"));
    m.devices.push_back(MakeScsiDisk("TESSELLA", "ORBIT-2         ", "0220", u"5&11A0C3F7&0&010000"));
    m.devices.push_back(MakeDevice(u"ACPI\\PNP0A08\\0", GUID_DEVCLASS_SYSTEM, {u"ACPI\\PNP0A08", u"*PNP0A08"},
                                   u"PCI Express Root Complex", u"pci"));
    m.devices.push_back(MakeDevice(u"ROOT\\VOLMGR\\0000", GUID_DEVCLASS_SYSTEM, {u"ROOT\\VOLMGR"},
                                   u"Volume Manager", u"volmgr"));
    m.devices.back().status |= DN_ROOT_ENUMERATED;
    m.devices.push_back(MakeDevice(u"ACPI\\ACPI0010\\2&DABA3FF&1", GUID_DEVCLASS_SYSTEM,
                                   {u"ACPI\\ACPI0010", u"*ACPI0010"}, u"Generic Bus", Text()));

    const Text classRoot = u"SYSTEM\\CurrentControlSet\\Control\\Class\\";
    for (const KnownClass &known : kKnownClasses)
        SetValueIn(*FindKeyIn(m.hklm, classRoot + Widen(GuidToString(known.guid)), true), u"Class", REG_SZ,
                   StringBytes(known.name));

    struct {
        const char16_t *name, *display, *binary;
        uint32_t start;
    } services[] = {
        {u"bwsas", u"Brightwater SAS Miniport", u"System32\\drivers\\bwsas.sys", 0},
        {u"korvfc", u"Korvane Fibre Channel Miniport", u"System32\\drivers\\korvfc.sys", 0},
        {u"disk", u"Disk Driver", u"System32\\drivers\\disk.sys", 0},
        {u"pci", u"PCI Bus Driver", u"System32\\drivers\\pci.sys", 0},
        {u"volmgr", u"Volume Manager Driver", u"System32\\drivers\\volmgr.sys", 0},
    };
    for (const auto &s : services) {
        Service service;
        service.name = s.name;
        service.displayName = s.display;
        service.binary = s.binary;
        service.type = 1;
        service.start = s.start;
        m.services[Fold(service.name)] = service;
        RegKey &key = *FindKeyIn(m.hklm, u"SYSTEM\\CurrentControlSet\\Services\\" + service.name, true);
        std::vector<uint8_t> one = {1, 0, 0, 0}, start = {static_cast<uint8_t>(s.start), 0, 0, 0};
        SetValueIn(key, u"Type", REG_DWORD, one);
        SetValueIn(key, u"Start", REG_DWORD, start);
        SetValueIn(key, u"ImagePath", REG_EXPAND_SZ, StringBytes(service.binary));
    }
    m.features["MultipathIo"] = "Disabled";
    m.dism = DismConfig{0, "mark"};
    return m;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
Machine LoadMachineFile(const std::string &path)
{
    // A directory opens as an empty stream, which would read as malformed JSON.
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        throw std::runtime_error("a directory, not a machine file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(std::string("cannot read the file: ") + std::strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw std::runtime_error(std::string("cannot read the file: ") + std::strerror(errno));
    Machine machine = ParseMachine(text.str());
    machine.path = path;
    return machine;
}

void SaveMachineFile(const Machine &machine, const std::string &path)
{
    // The new file takes the old one's permission bits; a file its owner may
    // not write is read-only and is not replaced.
    struct stat existing;
    const bool exists = stat(path.c_str(), &existing) == 0;
    if (exists && (existing.st_mode & S_IWUSR) == 0)
        throw std::runtime_error("the file is read-only");

    const std::string text = SerializeMachine(machine) + "\n";
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    auto fail = [&](const char *what) {
        std::string message = std::string(what) + " " + temp + ": " + std::strerror(errno);
        unlink(temp.c_str());
        throw std::runtime_error(message);
    };
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("cannot create");
    if (exists && fchmod(fd, existing.st_mode & 07777) != 0) {
        close(fd);
        fail("cannot set the mode of");
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            fail("cannot write");
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) {
        close(fd);
        fail("cannot flush");
    }
    if (close(fd) != 0)
        fail("cannot close");
    if (rename(temp.c_str(), path.c_str()) != 0)
        fail("cannot rename");
    // Make the rename itself durable.
    std::string dir = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    if (dir.empty())
        dir = "/";
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
}

}  // namespace winsim
