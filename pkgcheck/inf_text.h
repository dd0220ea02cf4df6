// Texts of a package as pkgcheck compares them and names them in the
// reasons of its findings.
#pragma once

#include <cstdint>
#include <string>

#include "winsim/text.h"

namespace pkgcheck {

using winsim::Text;

// Texts compared as Windows compares names, without regard to case.
bool StartsWithNoCase(const Text &text, const Text &prefix);
bool EndsWithNoCase(const Text &text, const Text &suffix);

// A text in quotes ("QUORVEX LUMENSTRIDE     "), a section in brackets
// ([DefaultUninstall]) and a number as eight hexadecimal digits
// (0x00018002), as reasons name them.
std::string InQuotes(const Text &text);
std::string InBrackets(const Text &section);
std::string HexText(uint32_t value);

}  // namespace pkgcheck
