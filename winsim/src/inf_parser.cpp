// INF parsing: decode the file, cut it into sections and entries (quotes,
// comments, line continuation), then expand every key and field against the
// [Strings] section and the system directory ids.
#include "winsim/inf.h"

#include "core_internal.h"

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

// Strict UTF-8 decoding; nothing when the bytes are not UTF-8.
std::optional<Text> DecodeUtf8(const std::string &bytes, size_t start)
{
    Text out;
    for (size_t i = start; i < bytes.size();) {
        auto sequence = NextUtf8(bytes, i);
        if (!sequence)
            return std::nullopt;
        AppendUtf16(out, sequence->codePoint);
        i += sequence->length;
    }
    return out;
}

Text Decode(const std::string &bytes)
{
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.data());
    if (bytes.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE)
        return UnitsOf(data + 2, bytes.size() - 2);
    const size_t start = bytes.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
    if (auto text = DecodeUtf8(bytes, start))
        return *text;
    return Text(data + start, data + bytes.size());   // Latin-1
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

// The first pass: the text cut into sections and raw entries.  An entry is
// read field by field; a '\' at its end joins the next line to it.
class Splitter {
public:
    Splitter(std::vector<RawSection> &sections, std::map<Text, size_t> &index) : sections_(sections), index_(index) {}

    // 0, or the parsing code with the 1-based line of the fault.
    uint32_t Split(const Text &text, uint32_t &faultLine)
    {
        const std::vector<Text> lines = SplitText(text.substr(0, text.find(u'\x1A')), u'\n');
        for (size_t n = 0; n < lines.size(); n++) {
            faultLine = static_cast<uint32_t>(n + 1);
            if (uint32_t error = ReadLine(lines[n], faultLine, n + 1 < lines.size()))
                return error;
        }
        return 0;
    }

private:
    uint32_t ReadLine(const Text &line, uint32_t lineNo, bool moreLines)
    {
        size_t k = 0;
        if (!continuing_) {
            while (k < line.size() && IsBlank(line[k]))
                k++;
            if (k == line.size() || line[k] == u';')
                return 0;
            if (line[k] == u'[')
                return ReadSectionHeader(line, k);
            if (section_ == nullptr)
                return ERROR_EXPECTED_SECTION_NAME;
            StartEntry(lineNo);
        }
        if (!ReadFields(line, k))
            return ERROR_GENERAL_SYNTAX;   // a quote left open
        continuing_ = JoinsNextLine() && moreLines;
        if (!continuing_)
            FinishEntry();
        return 0;
    }

    uint32_t ReadSectionHeader(const Text &line, size_t open)
    {
        size_t close = line.find(u']', open + 1);
        if (close == Text::npos)
            return ERROR_BAD_SECTION_NAME_LINE;
        Text name = line.substr(open + 1, close - open - 1);
        if (name.size() > kMaxSectionName)
            return ERROR_SECTION_NAME_TOO_LONG;
        // A section declared again continues the first declaration.
        auto found = index_.emplace(Fold(name), sections_.size());
        if (found.second)
            sections_.push_back(RawSection{name, {}});
        section_ = &sections_[found.first->second];
        return 0;
    }

    void StartEntry(uint32_t lineNo)
    {
        entry_ = RawEntry{};
        entry_.line = lineNo;
        field_.clear();
        afterKey_ = false;
        separated_ = false;
    }

    // Reads the line's characters into the entry up to a comment; false
    // when a quote is left open.
    bool ReadFields(const Text &line, size_t k)
    {
        bool inQuotes = false;
        for (; k < line.size(); k++) {
            const char16_t c = line[k];
            if (inQuotes) {
                field_.push_back(c);
                if (c == u'"' && k + 1 < line.size() && line[k + 1] == u'"')
                    field_.push_back(line[++k]);   // "" inside quotes
                else if (c == u'"')
                    inQuotes = false;
            } else if (c == u';') {
                break;
            } else if (c == u'%') {
                k = ReadToken(line, k);
            } else if (c == u'=' && !afterKey_ && !separated_) {
                entry_.key = field_;
                field_.clear();
                afterKey_ = true;
            } else if (c == u',') {
                entry_.fields.push_back(field_);
                field_.clear();
                separated_ = true;
            } else {
                inQuotes = c == u'"';
                field_.push_back(c);
            }
        }
        return !inQuotes;
    }

    // A %strkey% token is taken whole: a ';' or ',' inside it is not special.
    // Returns the position of its last character.
    size_t ReadToken(const Text &line, size_t percent)
    {
        size_t close = line.find(u'%', percent + 1);
        if (close == Text::npos) {
            field_.push_back(u'%');
            return percent;
        }
        field_.append(line, percent, close - percent + 1);
        return close;
    }

    // A '\' as the last visible character outside quotes joins the next line;
    // it is dropped from the field.
    bool JoinsNextLine()
    {
        size_t end = field_.size();
        while (end > 0 && IsBlank(field_[end - 1]))
            end--;
        if (end == 0 || field_[end - 1] != u'\\')
            return false;
        field_.resize(end - 1);
        return true;
    }

    void FinishEntry()
    {
        if (!Trim(field_).empty() || separated_)
            entry_.fields.push_back(field_);
        if (entry_.key || !entry_.fields.empty())
            section_->entries.push_back(entry_);
    }

    std::vector<RawSection> &sections_;
    std::map<Text, size_t> &index_;
    RawSection *section_ = nullptr;
    bool continuing_ = false;
    RawEntry entry_;
    Text field_;
    bool afterKey_ = false;    // saw '=' (the key is set)
    bool separated_ = false;   // saw a ',' in this entry
};

}  // namespace

struct Parser {
    std::vector<RawSection> raw;
    std::map<Text, size_t> rawIndex;
    std::map<Text, Text> strings;    // folded key -> value
    Text sourceDir;
    ParseResult result;

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

ParseResult Parse(const std::string &bytes, const Text &sourceDir)
{
    Parser parser;
    parser.sourceDir = sourceDir;
    Splitter splitter(parser.raw, parser.rawIndex);
    uint32_t faultLine = 0;
    if (uint32_t error = splitter.Split(Decode(bytes), faultLine)) {
        parser.result.error = error;
        parser.result.errorLine = faultLine;
        return parser.result;
    }
    parser.CollectStrings();
    parser.result.file = parser.Build();
    return parser.result;
}

}  // namespace winsim::inf
