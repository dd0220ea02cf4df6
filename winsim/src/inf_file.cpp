// The INF model's queries: lines by key, sections by name, the [Version]
// values, and the integers and directory ids of INF fields.
#include <array>

#include "winsim/inf.h"

namespace winsim::inf {

bool Line::MatchesKey(const Text &name) const
{
    if (key)
        return EqualNoCase(*key, name);
    return fields.size() == 1 && EqualNoCase(fields[0], name);
}

std::optional<Text> Line::Field(uint32_t index) const
{
    if (index == 0) {
        if (key)
            return *key;
        if (fields.size() == 1)
            return fields[0];
        return std::nullopt;
    }
    if (index > fields.size())
        return std::nullopt;
    return fields[index - 1];
}

Text Line::CompactText() const
{
    Text text;
    for (size_t i = 0; i < fields.size(); i++) {
        if (i > 0)
            text.push_back(u',');
        text += fields[i];
    }
    return text;
}

const Section *InfFile::FindSection(const Text &name) const
{
    int index = SectionIndex(name);
    return index < 0 ? nullptr : &sections_[static_cast<size_t>(index)];
}

int InfFile::SectionIndex(const Text &name) const
{
    auto found = byName_.find(Fold(name));
    return found == byName_.end() ? -1 : static_cast<int>(found->second);
}

const Line *InfFile::FindLine(const Text &section, const Text &key) const
{
    const Section *found = FindSection(section);
    if (found == nullptr)
        return nullptr;
    for (const Line &line : found->lines)
        if (line.MatchesKey(key))
            return &line;
    return nullptr;
}

std::optional<Text> InfFile::VersionValue(const Text &key) const
{
    const Line *line = FindLine(u"Version", key);
    if (line == nullptr || line->fields.empty())
        return std::nullopt;
    return line->fields[0];
}

bool InfFile::HasWin4Signature() const
{
    auto signature = VersionValue(u"Signature");
    return signature && (EqualNoCase(*signature, u"$Windows NT$") || EqualNoCase(*signature, u"$Chicago$"));
}

std::optional<int32_t> ParseInt(const Text &text)
{
    size_t k = 0;
    bool negative = false;
    if (k < text.size() && (text[k] == u'+' || text[k] == u'-')) {
        negative = text[k] == u'-';
        k++;
    }
    uint32_t base = 10;
    if (k + 1 < text.size() && text[k] == u'0' && (text[k + 1] == u'x' || text[k + 1] == u'X')) {
        base = 16;
        k += 2;
    }
    if (k == text.size())
        return std::nullopt;
    uint32_t value = 0;
    for (; k < text.size(); k++) {
        char16_t c = text[k];
        uint32_t digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return std::nullopt;
        if (digit >= base)
            return std::nullopt;
        value = value * base + digit;
    }
    if (negative)
        value = 0u - value;
    return static_cast<int32_t>(value);
}

std::optional<Text> DirIdPath(uint32_t dirId)
{
    static const std::array<std::pair<uint32_t, const char16_t *>, 10> kDirs{{
        {10, u"C:\\Windows"},
        {11, u"C:\\Windows\\System32"},
        {12, u"C:\\Windows\\System32\\drivers"},
        {17, u"C:\\Windows\\INF"},
        {18, u"C:\\Windows\\Help"},
        {20, u"C:\\Windows\\Fonts"},
        {24, u"C:\\"},
        {25, u"C:\\Windows"},
        {30, u"C:\\"},
        {50, u"C:\\Windows\\System"},
    }};
    for (const auto &entry : kDirs)
        if (entry.first == dirId)
            return Text(entry.second);
    return std::nullopt;
}

}  // namespace winsim::inf
