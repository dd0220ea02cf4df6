// Text of the machine model: UTF-16 as the platform holds it, compared
// without ASCII case as the setup library and the registry compare names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/windows.h"

namespace winsim {

using Text = std::u16string;

// ASCII-only case folding (a to z become A to Z).
Text Fold(const Text &text);
bool EqualNoCase(const Text &a, const Text &b);
// Whether a list holds a text, whatever its ASCII case.
bool ContainsNoCase(const std::vector<Text> &list, const Text &text);
std::string Narrow(const Text &text);   // UTF-16 to UTF-8
Text Widen(const std::string &utf8);    // UTF-8 to UTF-16
std::string GuidToString(const GUID &guid);            // "{4D36E97B-E325-...}"
std::optional<GUID> GuidFromString(const std::string &text);
// UTF-8: the code point of one well-formed sequence at 'at' (< bytes.size())
// and its length in bytes; nothing for a broken, overlong or surrogate one,
// or one past U+10FFFF.
struct Utf8Sequence {
    uint32_t codePoint;
    size_t length;
};
std::optional<Utf8Sequence> NextUtf8(std::string_view bytes, size_t at);

}  // namespace winsim
