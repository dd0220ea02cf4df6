// The install engine's registry: the DelReg and AddReg directives of an
// install section, applied to the keys under HKLM they name.
#include <cstring>

#include "setupapi_internal.h"

namespace winsim::setup {

namespace {

// Registry paths: always joined with '\\'.
Text JoinKey(const Text &a, const Text &b)
{
    if (a.empty() || b.empty())
        return a.empty() ? b : a;
    return a + u"\\" + b;
}

// Opens (or creates) a key under HKLM as the registry functions would: any
// key on the way that refuses access refuses the whole operation.
uint32_t OpenKey(const Text &path, bool create, RegKey *&key)
{
    key = &Current().hklm;
    for (const Text &part : SplitKeyPath(path)) {
        if (key->denyAccess)
            return ERROR_ACCESS_DENIED;
        auto found = key->subkeys.find(Fold(part));
        if (found == key->subkeys.end()) {
            if (!create) {
                key = nullptr;
                return 0;
            }
            RegKey child;
            child.name = part;
            found = key->subkeys.emplace(Fold(part), std::move(child)).first;
        }
        key = &found->second;
    }
    if (key->denyAccess)
        return ERROR_ACCESS_DENIED;
    return 0;
}

uint32_t DeleteKey(const Text &path)
{
    std::vector<Text> parts = SplitKeyPath(path);
    if (parts.empty())
        return ERROR_ACCESS_DENIED;   // the root itself cannot go
    Text parentPath;
    for (size_t i = 0; i + 1 < parts.size(); i++)
        parentPath = JoinKey(parentPath, parts[i]);
    RegKey *parent;
    if (uint32_t error = OpenKey(parentPath, false, parent))
        return error;
    if (parent == nullptr)
        return 0;
    auto found = parent->subkeys.find(Fold(parts.back()));
    if (found == parent->subkeys.end())
        return 0;
    if (found->second.denyAccess)
        return ERROR_ACCESS_DENIED;
    parent->subkeys.erase(found);
    return 0;
}

// The key path a line names: its root and subkey.  Nothing for a root this
// machine does not hold (HKCU, HKU).
uint32_t LineKeyPath(const inf::RegistryLine &line, const std::optional<Text> &hkr, std::optional<Text> &path)
{
    Text base;
    if (EqualNoCase(line.root, u"HKLM")) {
        base.clear();
    } else if (EqualNoCase(line.root, u"HKCR")) {
        base = u"SOFTWARE\\Classes";
    } else if (EqualNoCase(line.root, u"HKR")) {
        if (!hkr)
            return ERROR_BADKEY;
        base = *hkr;
    } else if (EqualNoCase(line.root, u"HKCU") || EqualNoCase(line.root, u"HKU")) {
        path.reset();
        return 0;
    } else {
        return ERROR_BADKEY;
    }
    path = JoinKey(base, line.subkey);
    return 0;
}

// The data of a binary AddReg line: a number for a DWORD given as one,
// else one byte per field, written in hexadecimal.
uint32_t BinaryData(uint32_t type, const std::vector<Text> &fields, std::vector<uint8_t> &data)
{
    auto number = fields.size() == 1 ? inf::ParseInt(fields[0]) : std::nullopt;
    if (type == REG_DWORD && number) {
        uint32_t dword = static_cast<uint32_t>(*number);
        data.resize(4);
        std::memcpy(data.data(), &dword, 4);
        return 0;
    }
    for (const Text &byte : fields) {
        auto parsed = inf::ParseInt(u"0x" + byte);
        if (!parsed)
            return ERROR_INVALID_DATA;
        data.push_back(static_cast<uint8_t>(*parsed));
    }
    return 0;
}

// The value an AddReg line writes, its type from the flags; 'existing' is
// the value it replaces, if any (an append adds to its strings).
uint32_t LineValue(const inf::RegistryLine &line, const RegValue *existing, RegValue &value)
{
    value.type = inf::AddRegType(line.flags);
    if (line.flags & FLG_ADDREG_BINVALUETYPE)
        return BinaryData(value.type, line.values, value.data);
    if (inf::WritesMultiString(line)) {
        std::vector<Text> strings;
        if ((line.flags & FLG_ADDREG_APPEND) && existing)
            strings = ParseMultiString(existing->data);
        for (const Text &s : line.values)
            if (!(line.flags & FLG_ADDREG_APPEND) || !ContainsNoCase(strings, s))
                strings.push_back(s);
        value.data = MultiStringBytes(strings);
        return 0;
    }
    value.data = StringBytes(line.values.empty() ? Text() : line.values[0]);
    return 0;
}

// Applies an AddReg line to the key it names, at 'path'.
uint32_t AddRegLine(const inf::RegistryLine &line, const Text &path)
{
    const uint32_t flags = line.flags;
    const auto &valueName = line.valueName;
    RegKey *key;
    if (flags & FLG_ADDREG_DELVAL) {
        if (!valueName)
            return DeleteKey(path);
        if (uint32_t error = OpenKey(path, false, key))
            return error;
        if (key)
            key->values.erase(Fold(*valueName));
        return 0;
    }
    if (uint32_t error = OpenKey(path, true, key))
        return error;
    if (!valueName || (flags & (FLG_ADDREG_KEYONLY | FLG_ADDREG_KEYONLY_COMMON)))
        return 0;

    const Text folded = Fold(*valueName);
    auto existing = key->values.find(folded);
    const bool exists = existing != key->values.end();
    if (((flags & FLG_ADDREG_NOCLOBBER) && exists) || ((flags & FLG_ADDREG_OVERWRITEONLY) && !exists))
        return 0;
    RegValue value;
    if (uint32_t error = LineValue(line, exists ? &existing->second.second : nullptr, value))
        return error;
    Text name = exists ? existing->second.first : *valueName;
    key->values[folded] = {name, std::move(value)};
    return 0;
}

// Applies a DelReg line to the key it names, at 'path', as the machine's
// setup library reads the line.
uint32_t DelRegLine(const inf::RegistryLine &line, const Text &path)
{
    const inf::DelRegAction action = inf::ClassifyDelReg(line, Current().os);
    if (action == inf::DelRegAction::DeleteKey)
        return DeleteKey(path);
    RegKey *key;
    if (uint32_t error = OpenKey(path, false, key))
        return error;
    if (key == nullptr)
        return 0;
    auto found = key->values.find(Fold(*line.valueName));
    if (found == key->values.end())
        return 0;
    if (action == inf::DelRegAction::DeleteValue) {
        key->values.erase(found);
        return 0;
    }
    // Every string equal to the one named goes, whatever its letter case.
    const Text victim = line.values.empty() ? Text() : line.values[0];
    std::vector<Text> kept;
    bool changed = false;
    RegValue &value = found->second.second;
    for (const Text &s : ParseMultiString(value.data)) {
        if (EqualNoCase(s, victim))
            changed = true;
        else
            kept.push_back(s);
    }
    if (changed) {
        value.type = REG_MULTI_SZ;
        value.data = MultiStringBytes(kept);   // no strings: the closing NUL alone
    }
    return 0;
}

uint32_t RunRegistrySections(const LoadedInf &inf, const inf::Section &section, const Text &directive,
                             const std::optional<Text> &hkr, bool add)
{
    for (const inf::RegistryEntry &entry : inf::RegistryLines(*inf.file, section, directive)) {
        if (entry.section == nullptr)
            return ERROR_SECTION_NOT_FOUND;
        std::optional<Text> path;
        if (uint32_t error = LineKeyPath(entry.line, hkr, path))
            return error;
        if (!path)
            continue;
        if (uint32_t error = add ? AddRegLine(entry.line, *path) : DelRegLine(entry.line, *path))
            return error;
    }
    return 0;
}

}  // namespace

uint32_t InstallRegistry(const LoadedInf &inf, const inf::Section &section, const std::optional<Text> &hkr)
{
    if (uint32_t error = RunRegistrySections(inf, section, u"DelReg", hkr, false))
        return error;
    return RunRegistrySections(inf, section, u"AddReg", hkr, true);
}

}  // namespace winsim::setup
