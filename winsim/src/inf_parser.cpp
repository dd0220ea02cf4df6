// INF parsing: decode the file, cut it into sections and entries (quotes,
// comments, line continuation), then expand every key and field against the
// [Strings] section and the system directory ids.
#include "inf_parser.h"

#include <array>

namespace winsim::inf {

namespace {

constexpr size_t kMaxSectionName = 255;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f'; }

Text Trim(const Text &text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        begin++;
    while (end > begin && IsBlank(text[end - 1]))
        end--;
    return text.substr(begin, end - begin);
}

void AppendCodePoint(Text &out, uint32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

// Strict UTF-8 decoding; nothing when the bytes are not UTF-8.
std::optional<Text> DecodeUtf8(const std::string &bytes, size_t start)
{
    Text out;
    size_t i = start;
    while (i < bytes.size()) {
        auto b = static_cast<uint8_t>(bytes[i]);
        size_t extra;
        uint32_t cp;
        if (b < 0x80) {
            out.push_back(b);
            i++;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            cp = b & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + extra >= bytes.size())
            return std::nullopt;
        for (size_t k = 1; k <= extra; k++) {
            auto c = static_cast<uint8_t>(bytes[i + k]);
            if ((c & 0xC0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;
        AppendCodePoint(out, cp);
        i += extra + 1;
    }
    return out;
}

Text Decode(const std::string &bytes)
{
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        Text out;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            out.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                                (static_cast<uint8_t>(bytes[i + 1]) << 8)));
        return out;
    }
    size_t start = 0;
    if (bytes.size() >= 3 && static_cast<uint8_t>(bytes[0]) == 0xEF && static_cast<uint8_t>(bytes[1]) == 0xBB &&
        static_cast<uint8_t>(bytes[2]) == 0xBF)
        start = 3;
    if (auto text = DecodeUtf8(bytes, start))
        return *text;
    Text out;
    for (size_t i = start; i < bytes.size(); i++)
        out.push_back(static_cast<uint8_t>(bytes[i]));
    return out;
}

// An entry as written: key and fields still hold their quotes and tokens.
struct RawEntry {
    std::optional<Text> key;
    std::vector<Text> fields;
    uint32_t line = 0;
};

struct RawSection {
    Text name;
    std::vector<RawEntry> entries;
};

}  // namespace

struct Parser {
    std::vector<RawSection> raw;
    std::map<Text, size_t> rawIndex;
    std::map<Text, Text> strings;    // folded key -> value
    Text sourceDir;
    ParseResult result;

    bool Fail(uint32_t error, uint32_t line)
    {
        result.error = error;
        result.errorLine = line;
        return false;
    }

    // First pass: sections and raw entries.
    bool Split(const Text &text)
    {
        std::vector<Text> lines;
        Text current;
        for (char16_t c : text) {
            if (c == u'\n') {
                lines.push_back(current);
                current.clear();
            } else if (c == 0x1A) {   // end-of-file mark of old editors
                break;
            } else {
                current.push_back(c);
            }
        }
        lines.push_back(current);

        RawSection *section = nullptr;
        bool continuing = false;
        RawEntry entry;
        Text field;
        bool afterKey = false;       // saw '=' (the key is set)
        bool separated = false;      // saw a ',' in this entry

        for (size_t n = 0; n < lines.size(); n++) {
            const Text &s = lines[n];
            const uint32_t lineNo = static_cast<uint32_t>(n + 1);
            size_t k = 0;
            if (!continuing) {
                while (k < s.size() && IsBlank(s[k]))
                    k++;
                if (k == s.size() || s[k] == u';')
                    continue;
                if (s[k] == u'[') {
                    size_t close = s.find(u']', k + 1);
                    if (close == Text::npos)
                        return Fail(ERROR_BAD_SECTION_NAME_LINE, lineNo);
                    Text name = s.substr(k + 1, close - k - 1);
                    if (name.size() > kMaxSectionName)
                        return Fail(ERROR_SECTION_NAME_TOO_LONG, lineNo);
                    Text folded = Fold(name);
                    auto found = rawIndex.find(folded);
                    if (found == rawIndex.end()) {
                        rawIndex[folded] = raw.size();
                        raw.push_back(RawSection{name, {}});
                        section = &raw.back();
                    } else {
                        section = &raw[found->second];
                    }
                    continue;
                }
                if (section == nullptr)
                    return Fail(ERROR_EXPECTED_SECTION_NAME, lineNo);
                entry = RawEntry{};
                entry.line = lineNo;
                field.clear();
                afterKey = false;
                separated = false;
            }
            bool inQuotes = false;
            while (k < s.size()) {
                char16_t c = s[k];
                if (inQuotes) {
                    field.push_back(c);
                    if (c == u'"') {
                        if (k + 1 < s.size() && s[k + 1] == u'"') {
                            field.push_back(u'"');
                            k += 2;
                            continue;
                        }
                        inQuotes = false;
                    }
                    k++;
                    continue;
                }
                if (c == u'"') {
                    inQuotes = true;
                    field.push_back(c);
                    k++;
                } else if (c == u';') {
                    break;
                } else if (c == u'%') {
                    // A %strkey% token is taken whole: a ';' or ',' inside it is not special.
                    size_t close = s.find(u'%', k + 1);
                    if (close == Text::npos) {
                        field.push_back(c);
                        k++;
                    } else {
                        field.append(s, k, close - k + 1);
                        k = close + 1;
                    }
                } else if (c == u'=' && !afterKey && !separated) {
                    entry.key = field;
                    field.clear();
                    afterKey = true;
                    k++;
                } else if (c == u',') {
                    entry.fields.push_back(field);
                    field.clear();
                    separated = true;
                    k++;
                } else {
                    field.push_back(c);
                    k++;
                }
            }
            if (inQuotes)
                return Fail(ERROR_GENERAL_SYNTAX, lineNo);
            // A '\' as the last visible character outside quotes joins the next line.
            size_t end = field.size();
            while (end > 0 && IsBlank(field[end - 1]))
                end--;
            if (end > 0 && field[end - 1] == u'\\') {
                field.resize(end - 1);
                continuing = true;
                if (n + 1 < lines.size())
                    continue;
            }
            continuing = false;
            Text last = Trim(field);
            if (!last.empty() || separated)
                entry.fields.push_back(field);
            if (entry.key || !entry.fields.empty())
                section->entries.push_back(entry);
        }
        return true;
    }

    // Removes quotes ("" inside quotes is one quote) and, when asked,
    // substitutes %strkey% and %dirid% tokens (%% is one percent sign).
    Text Expand(const Text &rawText, bool substitute) const
    {
        Text text = Trim(rawText);
        Text out;
        bool inQuotes = false;
        size_t k = 0;
        while (k < text.size()) {
            char16_t c = text[k];
            if (c == u'"') {
                if (inQuotes && k + 1 < text.size() && text[k + 1] == u'"') {
                    out.push_back(u'"');
                    k += 2;
                } else {
                    inQuotes = !inQuotes;
                    k++;
                }
                continue;
            }
            if (c == u'%' && substitute) {
                if (k + 1 < text.size() && text[k + 1] == u'%') {
                    out.push_back(u'%');
                    k += 2;
                    continue;
                }
                size_t close = text.find(u'%', k + 1);
                if (close == Text::npos) {
                    out.push_back(c);
                    k++;
                    continue;
                }
                Text name = text.substr(k + 1, close - k - 1);
                if (auto value = Lookup(name))
                    out += *value;
                else
                    out += text.substr(k, close - k + 1);   // unknown tokens stay as written
                k = close + 1;
                continue;
            }
            out.push_back(c);
            k++;
        }
        return out;
    }

    std::optional<Text> Lookup(const Text &name) const
    {
        auto found = strings.find(Fold(name));
        if (found != strings.end())
            return found->second;
        if (name.empty() || name.size() > 5)
            return std::nullopt;
        uint32_t id = 0;
        for (char16_t c : name) {
            if (c < u'0' || c > u'9')
                return std::nullopt;
            id = id * 10 + (c - u'0');
        }
        if (id == 1)
            return sourceDir;
        return DirIdPath(id);
    }

    void CollectStrings()
    {
        // The undecorated section first; the one for this machine's locale wins.
        for (const char16_t *name : {u"Strings", u"Strings.0409"}) {
            auto found = rawIndex.find(Fold(name));
            if (found == rawIndex.end())
                continue;
            for (const RawEntry &entry : raw[found->second].entries) {
                if (!entry.key)
                    continue;
                Text value;
                for (size_t i = 0; i < entry.fields.size(); i++) {
                    if (i > 0)
                        value.push_back(u',');
                    value += Expand(entry.fields[i], false);
                }
                strings[Fold(Expand(*entry.key, false))] = value;
            }
        }
    }

    std::shared_ptr<InfFile> Build() const
    {
        auto file = std::make_shared<InfFile>();
        for (const RawSection &section : raw) {
            Section out{section.name, {}};
            for (const RawEntry &entry : section.entries) {
                Line line;
                if (entry.key)
                    line.key = Expand(*entry.key, true);
                for (const Text &f : entry.fields)
                    line.fields.push_back(Expand(f, true));
                line.sourceLine = entry.line;
                out.lines.push_back(std::move(line));
            }
            file->byName_[Fold(section.name)] = file->sections_.size();
            file->sections_.push_back(std::move(out));
        }
        return file;
    }
};

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

ParseResult Parse(const std::string &bytes, const Text &sourceDir)
{
    Parser parser;
    parser.sourceDir = sourceDir;
    if (!parser.Split(Decode(bytes)))
        return parser.result;
    parser.CollectStrings();
    parser.result.file = parser.Build();
    return parser.result;
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
