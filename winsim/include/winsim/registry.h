// The machine's registry: HKEY_LOCAL_MACHINE as a tree of keys whose names
// compare without ASCII case, and the UTF-16LE data of its values.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "winsim/text.h"

namespace winsim {

struct Machine;

struct RegValue {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

// A registry key; names of subkeys and values compare without ASCII case.
struct RegKey {
    Text name;                                    // as created
    std::map<Text, RegKey> subkeys;               // by folded name
    std::map<Text, std::pair<Text, RegValue>> values;  // folded name -> (name, value)
    bool denyAccess = false;                      // every open of this key fails with 5
};

// A key under HKLM ('\'-separated path; empty names are skipped), created
// with the keys above it when asked; null when absent.
RegKey *FindKey(Machine &machine, const Text &path, bool create = false);
const RegKey *FindKey(const Machine &machine, const Text &path);
RegKey *FindKey(const Text &path, bool create = false);   // of the current machine
// A value of a key under HKLM; null when the key or the value is absent.
const RegValue *FindValue(Machine &machine, const Text &keyPath, const Text &valueName);
// A key path as the registry resolves it: its key names joined by '\',
// without the empty names that a doubled, leading or trailing '\' makes.
Text CanonicalKeyPath(const Text &path);
// Sets a value of a key, under the name as the caller spells it.
void SetValueIn(RegKey &key, const Text &name, uint32_t type, std::vector<uint8_t> data);

// UTF-16LE data.  The units of some bytes (an odd last byte is no unit); a
// string and its NUL; the strings and their NULs, then the NUL that closes
// the list (an empty list is the closing NUL alone).
Text UnitsOf(const uint8_t *bytes, size_t size);
std::vector<uint8_t> StringBytes(const Text &text);
std::vector<uint8_t> MultiStringBytes(const std::vector<Text> &strings);
// The multi-string reader: what device matching and the setup library make
// of a multi-string, the strings up to the first empty one; a last string
// without its NUL still counts.
std::vector<Text> ParseMultiString(const uint8_t *bytes, size_t size);
inline std::vector<Text> ParseMultiString(const std::vector<uint8_t> &bytes)
{
    return ParseMultiString(bytes.data(), bytes.size());
}
// A REG_DWORD's four little-endian bytes; the number a value holds when it
// is a REG_DWORD of four bytes.
std::vector<uint8_t> DwordBytes(uint32_t value);
std::optional<uint32_t> DwordOf(const RegValue &value);
// A value of a key by name, ASCII case aside; null when absent.
const RegValue *FindValue(const RegKey &key, const Text &name);
// The strings of a value under HKLM read so; none when it is absent.
std::vector<Text> ReadMultiString(Machine &machine, const Text &keyPath, const Text &valueName);

}  // namespace winsim
