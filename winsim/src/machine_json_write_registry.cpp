// Writing the registry of the machine description: each key by its full
// path, each value readable where its bytes allow it, else as hex bytes.
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

void WriteKey(JsonWriter &w, const RegKey &key)
{
    w.BeginObject();
    if (!key.values.empty()) {
        std::vector<const Text *> names;
        std::vector<const RegValue *> values;
        for (const auto &[folded, named] : key.values) {
            names.push_back(&named.first);
            values.push_back(&named.second);
        }
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

// The keys the registry member lists: every key with values, a denied key
// and every leaf, by its full path, depth first in the order of folded names.
void SavedKeys(const RegKey &key, const Text &path, std::vector<std::pair<Text, const RegKey *>> &out)
{
    if (!path.empty() && (!key.values.empty() || key.denyAccess || key.subkeys.empty()))
        out.emplace_back(path, &key);
    for (const auto &[folded, child] : key.subkeys)
        SavedKeys(child, path.empty() ? child.name : path + u"\\" + child.name, out);
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

void WriteRegistry(JsonWriter &w, const RegKey &hklm)
{
    std::vector<std::pair<Text, const RegKey *>> keys;
    SavedKeys(hklm, Text(), keys);
    std::vector<const Text *> paths;
    paths.reserve(keys.size());
    for (const auto &key : keys)
        paths.push_back(&key.first);
    w.BeginObject();
    for (const auto &[path, index] : Utf8Names(paths)) {
        w.Key(path);
        WriteKey(w, *keys[index].second);
    }
    w.EndObject();
}

}  // namespace winsim::description
