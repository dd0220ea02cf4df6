// Writing the registry of the machine description: each key by its full
// path, each value readable where its bytes allow it, else as hex bytes;
// and the services, whose usual values the "services" member carries.
#include <algorithm>
#include <unordered_map>

#include "machine_json.h"

namespace winsim::description {

namespace {

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

// The value's data in the form its type reads; false when the bytes do not
// fit that form (they go as hex then).
bool WriteReadableData(JsonWriter &w, const RegValue &value)
{
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (auto text = WellFormedString(value.data)) {
            w.Member("data", Narrow(*text));
            return true;
        }
        return false;
    case REG_MULTI_SZ:
        if (auto strings = WellFormedMultiSz(value.data)) {
            w.Key("data");
            WriteTextList(w, *strings);
            return true;
        }
        return false;
    case REG_DWORD:
    case REG_QWORD: {
        // Little-endian, 4 or 8 bytes.
        if (value.data.size() != (value.type == REG_DWORD ? 4u : 8u))
            return false;
        uint64_t v = 0;
        for (size_t i = 0; i < value.data.size(); i++)
            v |= static_cast<uint64_t>(value.data[i]) << (8 * i);
        w.Member("data", v);
        return true;
    }
    default:
        return false;
    }
}

void WriteValue(JsonWriter &w, const RegValue &value)
{
    w.BeginObject();
    w.Key("type");
    WriteName(w, kTypeNames, &TypeName::type, value.type);
    if (!WriteReadableData(w, value))
        w.Member("hex", HexBytes(value.data.data(), value.data.size()));
    w.EndObject();
}

// A key's values, less those the "services" member carries.
void WriteKey(JsonWriter &w, const RegKey &key, const SavedService *service)
{
    w.BeginObject();
    std::vector<const Text *> names;
    std::vector<const RegValue *> values;
    for (const auto &[folded, named] : key.values) {
        if (service && std::find(service->carried.begin(), service->carried.end(), &named.second) !=
                           service->carried.end())
            continue;
        names.push_back(&named.first);
        values.push_back(&named.second);
    }
    if (!values.empty()) {
        w.Key("values");
        w.BeginObject();
        for (const auto &[name, index] : Utf8Names(names)) {
            w.Key(name);
            WriteValue(w, *values[index]);
        }
        w.EndObject();
    }
    if (key.denyAccess)
        w.Flag("deny_access", true);
    w.EndObject();
}

struct SavedKey {
    Text path;
    const RegKey *key;
    const SavedService *service;   // the service the key is, when the services member carries it
};

// The keys the registry member lists: every key with values of its own, a
// denied key and every leaf not given whole by the services member, by its
// full path, depth first in the order of folded names.
void SavedKeys(const RegKey &key, const Text &path, const std::unordered_map<const RegKey *, const SavedService *> &services,
               std::vector<SavedKey> &out)
{
    auto found = services.empty() ? services.end() : services.find(&key);
    const SavedService *service = found == services.end() ? nullptr : found->second;
    const size_t own = key.values.size() - (service ? service->carried.size() : 0);
    if (!path.empty() && (own > 0 || key.denyAccess || (key.subkeys.empty() && !service)))
        out.push_back({path, &key, service});
    for (const auto &[folded, child] : key.subkeys)
        SavedKeys(child, path.empty() ? child.name : path + u"\\" + child.name, services, out);
}

// The value of a key under exactly this name, when it reads as 'type' does.
const RegValue *Named(const RegKey &key, const char16_t *name, uint32_t type)
{
    auto found = key.values.find(Fold(name));
    if (found == key.values.end() || found->second.first != name || found->second.second.type != type)
        return nullptr;
    return &found->second.second;
}

std::optional<SavedService> SavedServiceOf(const RegKey &key)
{
    SavedService saved;
    saved.key = &key;
    const struct {
        const char16_t *name;
        uint32_t *out;
    } numbers[] = {{u"Type", &saved.type}, {u"Start", &saved.start}, {u"ErrorControl", &saved.errorControl}};
    for (const auto &number : numbers) {
        const RegValue *value = Named(key, number.name, REG_DWORD);
        if (value == nullptr || value->data.size() != 4)
            return std::nullopt;
        *number.out = *DwordOf(*value);
        saved.carried.push_back(value);
    }
    const struct {
        const char16_t *name;
        uint32_t type;
        std::optional<Text> *out;
    } texts[] = {{u"DisplayName", REG_SZ, &saved.displayName}, {u"ImagePath", REG_EXPAND_SZ, &saved.binary}};
    for (const auto &text : texts) {
        const RegValue *value = Named(key, text.name, text.type);
        if (value && (*text.out = WellFormedString(value->data)))
            saved.carried.push_back(value);
    }
    const RegValue *deleteFlag = Named(key, u"DeleteFlag", REG_DWORD);
    if (deleteFlag && DwordOf(*deleteFlag) == std::optional<uint32_t>(1)) {
        saved.markedForDelete = true;
        saved.carried.push_back(deleteFlag);
    }
    return saved;
}

}  // namespace

std::vector<std::pair<std::string, size_t>> Utf8Names(const std::vector<const Text *> &names)
{
    std::vector<std::pair<std::string, size_t>> out;
    out.reserve(names.size());
    std::unordered_map<std::string, size_t> mayMeet;   // UTF-8 name -> its place in 'out'
    for (size_t i = 0; i < names.size(); i++) {
        std::string utf8 = Narrow(*names[i]);
        if (MayShareUtf8(*names[i])) {
            auto [place, added] = mayMeet.emplace(utf8, out.size());
            if (!added) {
                out[place->second].second = i;
                continue;
            }
        }
        out.emplace_back(std::move(utf8), i);
    }
    return out;
}

std::string HexBytes(const uint8_t *bytes, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (size_t i = 0; i < size; i++) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

void WriteTextList(JsonWriter &w, const std::vector<Text> &list)
{
    w.BeginArray();
    for (const auto &text : list)
        w.String(Narrow(text));
    w.EndArray();
}

std::vector<SavedService> SavedServices(const Machine &machine)
{
    std::vector<SavedService> services;
    if (const RegKey *root = FindKey(machine, kServicesKeyPath))
        for (const auto &[folded, key] : root->subkeys)
            if (auto saved = SavedServiceOf(key))
                services.push_back(std::move(*saved));
    return services;
}

void WriteServices(JsonWriter &w, const std::vector<SavedService> &services)
{
    std::vector<const Text *> names;
    names.reserve(services.size());
    for (const SavedService &service : services)
        names.push_back(&service.key->name);
    w.BeginObject();
    for (const auto &[name, index] : Utf8Names(names)) {
        const SavedService &service = services[index];
        w.Key(name);
        w.BeginObject();
        if (service.displayName)
            w.Member("display_name", Narrow(*service.displayName));
        if (service.binary)
            w.Member("binary", Narrow(*service.binary));
        w.Member("type", service.type);
        w.Member("start", service.start);
        w.Member("error_control", service.errorControl);
        if (service.markedForDelete)
            w.Flag("marked_for_delete", true);
        w.EndObject();
    }
    w.EndObject();
}

void WriteRegistry(JsonWriter &w, const RegKey &hklm, const std::vector<SavedService> &services)
{
    std::unordered_map<const RegKey *, const SavedService *> byKey;
    byKey.reserve(services.size());
    for (const SavedService &service : services)
        byKey.emplace(service.key, &service);
    std::vector<SavedKey> keys;
    SavedKeys(hklm, Text(), byKey, keys);
    std::vector<const Text *> paths;
    paths.reserve(keys.size());
    for (const SavedKey &key : keys)
        paths.push_back(&key.path);
    w.BeginObject();
    for (const auto &[path, index] : Utf8Names(paths)) {
        w.Key(path);
        WriteKey(w, *keys[index].key, keys[index].service);
    }
    w.EndObject();
}

}  // namespace winsim::description
