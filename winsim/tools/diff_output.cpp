// The difference as text, a line a change under its section's name, and as
// one JSON object; the summary line ends the text always.
#include <ostream>
#include <sstream>

#include "diff_internal.h"

namespace winsim::diff {

namespace {

const char *KindWord(Kind kind)
{
    switch (kind) {
    case Kind::Added:
        return "added";
    case Kind::Removed:
        return "removed";
    case Kind::Changed:
        break;
    }
    return "changed";
}

std::string Entries(const Change &change)
{
    std::string text;
    auto append = [&](char sign, const std::string &entry) {
        text += (text.empty() ? "" : " ") + std::string(1, sign) +
                (change.quoteEntries ? Quoted(Widen(entry)) : entry);
    };
    for (const std::string &entry : change.added)
        append('+', entry);
    for (const std::string &entry : change.removed)
        append('-', entry);
    return text;
}

// "  changed SUBJECT[, VALUE]: [FIELD ][BEFORE -> AFTER][ (ENTRIES)]"
std::string Line(const Change &change)
{
    std::string line = "  " + std::string(KindWord(change.kind));
    line.resize(10, ' ');
    line += change.subject;
    if (change.value)
        line += ", " + (change.value->empty() ? std::string("(default)") : *change.value);
    line += ":";
    if (change.kind == Kind::Added)
        return line + " " + change.after;
    if (change.kind == Kind::Removed)
        return line + " " + change.before;
    if (!change.field.empty())
        line += " " + change.field;
    const std::string entries = Entries(change);
    if (change.before.empty() && change.after.empty())
        return line + " " + entries;
    line += " " + change.before + " -> " + change.after;
    return entries.empty() ? line : line + " (" + entries + ")";
}

// A JSON string of UTF-8 text (the machine's texts are valid UTF-8 once
// narrowed).
void AppendJsonString(std::string &out, const std::string &text)
{
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20) {
            out += "\\u00";
            out += digits[byte >> 4];
            out += digits[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

// ", " before every member but the first of a record.
void AppendMember(std::string &out, const char *name, const std::string &value)
{
    if (out.back() != '{')
        out += ", ";
    AppendJsonString(out, name);
    out += ": ";
    AppendJsonString(out, value);
}

void AppendMember(std::string &out, const char *name, const std::vector<std::string> &values)
{
    out += ", ";
    AppendJsonString(out, name);
    out += ": [";
    for (size_t i = 0; i < values.size(); i++) {
        if (i)
            out += ", ";
        AppendJsonString(out, values[i]);
    }
    out += "]";
}

}  // namespace

std::string SummaryLine(const Summary &summary)
{
    auto count = [](size_t n, const char *one, const char *many) { return std::to_string(n) + (n == 1 ? one : many); };
    return "summary: " + count(summary.adaptersRestarted, " adapter restarted, ", " adapters restarted, ") +
           count(summary.disksClaimed, " disk claimed, ", " disks claimed, ") +
           count(summary.disksReleased, " disk released, ", " disks released, ") +
           "reboot needed: " + (summary.rebootNeeded ? "yes" : "no");
}

namespace {

class TextWriter : public Sink {
public:
    explicit TextWriter(std::ostream &out) : out_(out) {}
    void BeginSection(const char *name, const char *) override
    {
        name_ = name;
        named_ = false;
    }
    void Add(const Change &change) override
    {
        if (!named_)
            out_ << name_ << '\n';
        named_ = true;
        out_ << Line(change) << '\n';
    }
    void EndSection() override {}
    void End(const Summary &summary) override { out_ << SummaryLine(summary) << '\n'; }

private:
    std::ostream &out_;
    const char *name_ = "";
    bool named_ = false;   // the section's name is written
};

class JsonWriter : public Sink {
public:
    explicit JsonWriter(std::ostream &out) : out_(out) { out_ << "{\n"; }
    void BeginSection(const char *name, const char *subjectName) override
    {
        std::string text = "  ";
        AppendJsonString(text, name);
        out_ << text << ": [";
        subjectName_ = subjectName;
        separator_ = "\n";
    }
    void Add(const Change &change) override
    {
        std::string out = separator_;
        separator_ = ",\n";
        out += "    {";
        AppendMember(out, "change", KindWord(change.kind));
        if (subjectName_)
            AppendMember(out, subjectName_, change.subject);
        if (change.value)
            AppendMember(out, "value", *change.value);
        if (!change.field.empty())
            AppendMember(out, "field", change.field);
        if (!change.before.empty())
            AppendMember(out, "before", change.before);
        if (!change.after.empty())
            AppendMember(out, "after", change.after);
        if (!change.added.empty())
            AppendMember(out, "added", change.added);
        if (!change.removed.empty())
            AppendMember(out, "removed", change.removed);
        out_ << out << "}";
    }
    void EndSection() override { out_ << (*separator_ == '\n' ? "],\n" : "\n  ],\n"); }
    void End(const Summary &summary) override
    {
        out_ << "  \"summary\": {\"adapters_restarted\": " << summary.adaptersRestarted
             << ", \"disks_claimed\": " << summary.disksClaimed << ", \"disks_released\": " << summary.disksReleased
             << ", \"reboot_needed\": " << (summary.rebootNeeded ? "true" : "false") << "}\n}\n";
    }

private:
    std::ostream &out_;
    const char *subjectName_ = nullptr;
    const char *separator_ = "\n";   // before the next record: none yet, or a comma
};

}  // namespace

std::unique_ptr<Sink> TextSink(std::ostream &out)
{
    return std::make_unique<TextWriter>(out);
}

std::unique_ptr<Sink> JsonSink(std::ostream &out)
{
    return std::make_unique<JsonWriter>(out);
}

std::string FormatText(const MachineDiff &diff)
{
    std::ostringstream out;
    Replay(diff, *TextSink(out));
    return out.str();
}

std::string FormatJson(const MachineDiff &diff)
{
    std::ostringstream out;
    Replay(diff, *JsonSink(out));
    return out.str();
}

}  // namespace winsim::diff
