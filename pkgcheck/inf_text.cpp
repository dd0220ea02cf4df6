#include "inf_text.h"

#include <cstdio>

namespace pkgcheck {

using winsim::EqualNoCase;

bool StartsWithNoCase(const Text &text, const Text &prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(const Text &text, const Text &suffix)
{
    return text.size() >= suffix.size() && EqualNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::string InQuotes(const Text &text) { return "\"" + winsim::Narrow(text) + "\""; }

std::string InBrackets(const Text &section) { return "[" + winsim::Narrow(section) + "]"; }

std::string HexText(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace pkgcheck
