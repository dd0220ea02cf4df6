// The registry section: the two HKLM trees walked side by side (keys and
// values compare without ASCII case), keys and values added and removed,
// values whose type or data changed, keys whose access changed.  The values
// a service's fields are read from are the services section's.
#include <algorithm>
#include <map>
#include <string>

#include "diff_internal.h"

namespace winsim::diff {

namespace {

// The registry's types by number.
const char *const kTypeNames[] = {"REG_NONE",
                                  "REG_SZ",
                                  "REG_EXPAND_SZ",
                                  "REG_BINARY",
                                  "REG_DWORD",
                                  "REG_DWORD_BIG_ENDIAN",
                                  "REG_LINK",
                                  "REG_MULTI_SZ",
                                  "REG_RESOURCE_LIST",
                                  "REG_FULL_RESOURCE_DESCRIPTOR",
                                  "REG_RESOURCE_REQUIREMENTS_LIST",
                                  "REG_QWORD"};

std::string TypeName(uint32_t type)
{
    return type < sizeof kTypeNames / sizeof kTypeNames[0] ? kTypeNames[type] : "type " + std::to_string(type);
}

std::string HexText(const std::vector<uint8_t> &bytes)
{
    if (bytes.empty())
        return "(no data)";
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "hex";
    for (uint8_t byte : bytes) {
        text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

// The strings of a multi-string stored exactly as the description's "data"
// form stores them; nothing for other bytes.
std::optional<std::vector<Text>> Strings(const RegValue &value)
{
    if (value.type != REG_MULTI_SZ)
        return std::nullopt;
    std::vector<Text> strings = ParseMultiString(value.data);
    if (MultiStringBytes(strings) != value.data)
        return std::nullopt;
    return strings;
}

// The data as it reads: a number of four or eight bytes (REG_DWORD,
// REG_QWORD) in decimal, one terminated text, a multi-string's entries;
// other bytes in hex.
std::string DataText(const RegValue &value)
{
    const std::vector<uint8_t> &data = value.data;
    if ((value.type == REG_DWORD && data.size() == 4) || (value.type == REG_QWORD && data.size() == 8)) {
        uint64_t number = 0;
        for (size_t i = 0; i < data.size(); i++)
            number |= static_cast<uint64_t>(data[i]) << (8 * i);
        return std::to_string(number);
    }
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        Text text = UnitsOf(data.data(), data.size());
        text.resize(std::min(text.size(), text.find(u'\0')));
        if (StringBytes(text) == data)
            return Quoted(text);
    }
    if (auto strings = Strings(value))
        return QuotedList(*strings);
    return HexText(data);
}

std::string ValueText(const RegValue &value)
{
    return TypeName(value.type) + " " + DataText(value);
}

Change ValueChange(Kind kind, const std::string &path, const Text &name)
{
    Change change;
    change.kind = kind;
    change.subject = path;
    change.value = Narrow(name);
    return change;
}

// A value of a service key that the service's fields read: its numbers as
// REG_DWORDs of four bytes, its texts as REG_SZ or REG_EXPAND_SZ.
bool ReadAsService(const Text &foldedName, const RegValue &value)
{
    if (foldedName == u"TYPE" || foldedName == u"START" || foldedName == u"ERRORCONTROL" ||
        foldedName == u"DELETEFLAG")
        return DwordOf(value).has_value();
    if (foldedName == u"IMAGEPATH" || foldedName == u"DISPLAYNAME")
        return value.type == REG_SZ || value.type == REG_EXPAND_SZ;
    return false;
}

struct Side {
    const RegKey *key;
    bool service;   // the key is a service of its machine
};

class Walk {
public:
    explicit Walk(std::vector<Change> &changes) : changes_(changes) {}

    void Keys(Side b, Side a, const std::string &path, const Text &foldedPath);

private:
    void Values(Side b, Side a, const std::string &path);
    void Value(Side b, Side a, const std::string &path, const Text &folded);

    std::vector<Change> &changes_;
    const Text servicesPath_ = Fold(kServicesKeyPath);
};

void Walk::Value(Side b, Side a, const std::string &path, const Text &folded)
{
    auto find = [&](const Side &side) -> const std::pair<Text, RegValue> * {
        if (side.key == nullptr)
            return nullptr;
        auto it = side.key->values.find(folded);
        return it == side.key->values.end() ? nullptr : &it->second;
    };
    const auto *before = find(b), *after = find(a);
    if ((!before || (b.service && ReadAsService(folded, before->second))) &&
        (!after || (a.service && ReadAsService(folded, after->second))))
        return;
    if (!after) {
        Change change = ValueChange(Kind::Removed, path, before->first);
        change.before = ValueText(before->second);
        changes_.push_back(std::move(change));
        return;
    }
    if (!before) {
        Change change = ValueChange(Kind::Added, path, after->first);
        change.after = ValueText(after->second);
        changes_.push_back(std::move(change));
        return;
    }
    const RegValue &bv = before->second, &av = after->second;
    if (bv.type == av.type && bv.data == av.data)
        return;
    std::vector<Change> one;
    if (bv.type != av.type) {
        CompareField(one, path, "type", ValueText(bv), ValueText(av));
    } else if (auto bs = Strings(bv), as = Strings(av); bs && as) {
        CompareList(one, path, "REG_MULTI_SZ", &*bs, &*as);
    } else {
        CompareField(one, path, TypeName(av.type).c_str(), DataText(bv), DataText(av));
    }
    for (Change &change : one) {
        change.value = Narrow(after->first);
        changes_.push_back(std::move(change));
    }
}

// The values of both keys by folded name, in order.
void Walk::Values(Side b, Side a, const std::string &path)
{
    static const std::map<Text, std::pair<Text, RegValue>> kNone;
    const auto &bv = b.key ? b.key->values : kNone, &av = a.key ? a.key->values : kNone;
    auto bi = bv.begin(), ai = av.begin();
    while (bi != bv.end() || ai != av.end()) {
        const bool takeB = ai == av.end() || (bi != bv.end() && bi->first <= ai->first);
        const bool takeA = bi == bv.end() || (ai != av.end() && ai->first <= bi->first);
        Value(b, a, path, takeB ? bi->first : ai->first);
        if (takeB)
            ++bi;
        if (takeA)
            ++ai;
    }
}

void Walk::Keys(Side b, Side a, const std::string &path, const Text &foldedPath)
{
    if (!path.empty()) {
        if (!a.key && !b.service) {
            changes_.push_back(Removed(path, b.key->denyAccess ? "key, deny_access" : "key"));
        } else if (!b.key && !a.service) {
            changes_.push_back(Added(path, a.key->denyAccess ? "key, deny_access" : "key"));
        } else if (a.key && b.key) {
            CompareField(changes_, path, "deny_access", YesNo(b.key->denyAccess), YesNo(a.key->denyAccess));
        }
    }
    Values(b, a, path);

    static const std::map<Text, RegKey> kNone;
    const auto &bs = b.key ? b.key->subkeys : kNone, &as = a.key ? a.key->subkeys : kNone;
    const bool services = foldedPath == servicesPath_;
    auto bi = bs.begin(), ai = as.begin();
    while (bi != bs.end() || ai != as.end()) {
        const bool takeB = ai == as.end() || (bi != bs.end() && bi->first <= ai->first);
        const bool takeA = bi == bs.end() || (ai != as.end() && ai->first <= bi->first);
        const RegKey *bk = takeB ? &bi->second : nullptr, *ak = takeA ? &ai->second : nullptr;
        const RegKey &named = ak ? *ak : *bk;
        const Text &folded = takeB ? bi->first : ai->first;
        Keys({bk, services && bk && ServiceOf(*bk)}, {ak, services && ak && ServiceOf(*ak)},
             path.empty() ? Narrow(named.name) : path + "\\" + Narrow(named.name),
             foldedPath.empty() ? folded : foldedPath + u"\\" + folded);
        if (takeB)
            ++bi;
        if (takeA)
            ++ai;
    }
}

}  // namespace

Section RegistrySection(const Machine &before, const Machine &after)
{
    Section section{"registry", "key", {}};
    Walk(section.changes).Keys({&before.hklm, false}, {&after.hklm, false}, std::string(), Text());
    return section;
}

}  // namespace winsim::diff
