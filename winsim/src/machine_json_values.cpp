// Reading single values of the machine description: numbers, flags, texts,
// hex bytes, setup classes and registry values, each fault naming its place.
#include <cstdint>
#include <stdexcept>

#include "machine_json.h"

namespace winsim::description {

std::string Path::ToString() const
{
    std::string text = parent_ ? parent_->ToString() : std::string();
    switch (kind_) {
    case Kind::Member:
        return (text.empty() ? text : text + ".").append(name_);
    case Kind::Index:
        return text + "[" + std::to_string(index_) + "]";
    case Kind::Key:
        return (text + "[\"").append(name_) + "\"]";
    }
    return text;
}

[[noreturn]] void Fail(const Path &where, const std::string &fault)
{
    const std::string place = where.ToString();
    throw std::runtime_error(place.empty() ? fault : place + ": " + fault);
}

void ExpectObject(const json &j, const Path &where)
{
    if (!j.is_object())
        Fail(where, "must be an object");
}

void ExpectArray(const json &j, const Path &where)
{
    if (!j.is_array())
        Fail(where, "must be an array");
}

namespace {

uint64_t ReadHexNumber(const std::string &text, const Path &where)
{
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || text.size() > 18)
        Fail(where, "must be a number or a \"0x...\" hex string");
    uint64_t value = 0;
    if (!ParseHexDigits(text, 2, text.size() - 2, value))
        Fail(where, "bad hex number \"" + text + "\"");
    return value;
}

}  // namespace

int64_t ReadInteger(const json &j, const Path &where, int64_t low, int64_t high)
{
    int64_t value = 0;
    if (j.is_number_unsigned() || j.is_string()) {
        const uint64_t u = j.is_string() ? ReadHexNumber(j.get_ref<const std::string &>(), where) : j.get<uint64_t>();
        if (u > static_cast<uint64_t>(high))
            Fail(where, "out of range");
        value = static_cast<int64_t>(u);
    } else if (j.is_number_integer()) {
        value = j.get<int64_t>();
    } else {
        Fail(where, "must be a number or a \"0x...\" hex string");
    }
    if (value < low || value > high)
        Fail(where, "out of range");
    return value;
}

void ReadInto(const json &j, const Path &where, uint32_t &out)
{
    out = static_cast<uint32_t>(ReadInteger(j, where, 0, 0xFFFFFFFFLL));
}

void ReadInto(const json &j, const Path &where, bool &out)
{
    if (!j.is_boolean())
        Fail(where, "must be true or false");
    out = j.get<bool>();
}

void ReadInto(const json &j, const Path &where, std::string &out)
{
    if (!j.is_string())
        Fail(where, "must be a string");
    out = j.get_ref<const std::string &>();
}

void ReadInto(const json &j, const Path &where, Text &out)
{
    if (!j.is_string())
        Fail(where, "must be a string");
    out = Widen(j.get_ref<const std::string &>());
}

void ReadInto(const json &j, const Path &where, std::vector<Text> &out)
{
    ExpectArray(j, where);
    out.clear();
    for (size_t i = 0; i < j.size(); i++) {
        Text text;
        ReadInto(j[i], where.Index(i), text);
        out.push_back(std::move(text));
    }
}

TextList TextListPool::Intern(std::vector<Text> texts)
{
    size_t hash = texts.size();
    for (const Text &text : texts)
        hash = hash * 31 + std::hash<Text>()(text);
    std::vector<TextList> &equalHash = byHash_[hash];
    for (const TextList &list : equalHash)
        if (list == texts)
            return list;
    equalHash.emplace_back(std::move(texts));
    return equalHash.back();
}

std::vector<uint8_t> ReadHex(const json &j, const Path &where)
{
    std::string text;
    ReadInto(j, where, text);
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits += c;
    if (digits.size() % 2)
        Fail(where, "odd number of hex digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned hi, lo;
        if (!HexDigitValue(digits[i], hi) || !HexDigitValue(digits[i + 1], lo))
            Fail(where, "bad hex digit");
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return bytes;
}

GUID ReadClass(const json &j, const Path &where)
{
    std::string text;
    ReadInto(j, where, text);
    if (auto guid = GuidFromString(text))
        return *guid;
    for (const KnownClass &known : kKnownClasses)
        if (EqualNoCase(Widen(text), known.name))
            return known.guid;
    Fail(where, "unknown class \"" + text + "\"");
}

// A name from a table, unless the text is a "0x..." number; nothing then.
template <typename Entry, size_t N, typename Value>
std::optional<Value> ReadName(const json &j, const Path &where, const Entry (&table)[N],
                              Value Entry::*value, const char *what)
{
    if (!j.is_string())
        return std::nullopt;
    const std::string &text = j.get_ref<const std::string &>();
    if (text.rfind("0x", 0) == 0)
        return std::nullopt;
    for (const Entry &entry : table)
        if (text == entry.name)
            return entry.*value;
    Fail(where, std::string("unknown ") + what + " \"" + text + "\"");
}

int ReadAnswer(const json &j, const Path &where)
{
    if (auto id = ReadName(j, where, kAnswers, &AnswerName::id, "answer"))
        return *id;
    return static_cast<int>(ReadInteger(j, where, 1, 11));
}

namespace {

uint32_t ReadType(const json &j, const Path &where)
{
    if (auto type = ReadName(j, where, kTypeNames, &TypeName::type, "type"))
        return *type;
    uint32_t type;
    ReadInto(j, where, type);
    return type;
}

std::vector<uint8_t> LittleEndian(uint64_t value, size_t size)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < size; i++)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return bytes;
}

// The bytes of a value given as "data", in the form its type reads.
std::vector<uint8_t> ReadValueData(const json &data, const Path &at, uint32_t type)
{
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        Text text;
        ReadInto(data, at, text);
        return StringBytes(text);
    }
    case REG_MULTI_SZ: {
        std::vector<Text> strings;
        ReadInto(data, at, strings);
        for (size_t i = 0; i < strings.size(); i++)
            if (strings[i].empty())
                Fail(at.Index(i), "empty string inside a multi-string (use \"hex\")");
        return MultiStringBytes(strings);
    }
    case REG_DWORD: {
        uint32_t value;
        ReadInto(data, at, value);
        return LittleEndian(value, 4);
    }
    case REG_QWORD:
        return LittleEndian(data.is_number_unsigned() ? data.get<uint64_t>()
                                                      : static_cast<uint64_t>(ReadInteger(data, at, 0, INT64_MAX)),
                            8);
    default:
        Fail(at, "not accepted for this type; use \"hex\"");
    }
}

}  // namespace

RegValue ReadValue(const json &j, const Path &where)
{
    ObjectReader value(j, where, {"type", "data", "hex"});
    RegValue out;
    out.type = ReadType(value.Need("type"), value.At("type"));
    const json *data = value.Find("data");
    const json *hex = value.Find("hex");
    if (data && hex)
        Fail(where, "give either \"data\" or \"hex\", not both");
    if (!data && !hex)
        Fail(where, "missing \"data\" or \"hex\"");
    out.data = hex ? ReadHex(*hex, value.At("hex")) : ReadValueData(*data, value.At("data"), out.type);
    return out;
}

ObjectReader::ObjectReader(const json &object, const Path &where, std::initializer_list<const char *> known)
    : object_(object), where_(where)
{
    ExpectObject(object, where);
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool found = false;
        for (const char *name : known)
            found = found || it.key() == name;
        if (!found)
            Fail(where.Member(it.key()), "unknown member");
    }
}

const json *ObjectReader::Find(const char *name) const
{
    auto it = object_.find(name);
    return it == object_.end() ? nullptr : &*it;
}

const json &ObjectReader::Need(const char *name) const
{
    const json *value = Find(name);
    if (value == nullptr)
        Fail(At(name), "missing");
    return *value;
}

}  // namespace winsim::description
