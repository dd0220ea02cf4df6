// The difference as text, a line a change under its section's name, and as
// one JSON object; the summary line ends the text always.
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

std::string FormatText(const MachineDiff &diff)
{
    std::string text;
    for (const Section &section : diff.sections) {
        if (section.changes.empty())
            continue;
        text += section.name;
        text += '\n';
        for (const Change &change : section.changes)
            text += Line(change) + '\n';
    }
    return text + SummaryLine(diff.summary) + '\n';
}

std::string FormatJson(const MachineDiff &diff)
{
    std::string out = "{\n";
    for (const Section &section : diff.sections) {
        out += "  ";
        AppendJsonString(out, section.name);
        out += ": [";
        const char *separator = "\n";
        for (const Change &change : section.changes) {
            out += separator;
            separator = ",\n";
            out += "    {";
            AppendMember(out, "change", KindWord(change.kind));
            if (section.subjectName)
                AppendMember(out, section.subjectName, change.subject);
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
            out += "}";
        }
        out += section.changes.empty() ? "],\n" : "\n  ],\n";
    }
    const Summary &summary = diff.summary;
    out += "  \"summary\": {\"adapters_restarted\": " + std::to_string(summary.adaptersRestarted) +
           ", \"disks_claimed\": " + std::to_string(summary.disksClaimed) +
           ", \"disks_released\": " + std::to_string(summary.disksReleased) +
           ", \"reboot_needed\": " + (summary.rebootNeeded ? "true" : "false") + "}\n}\n";
    return out;
}

}  // namespace winsim::diff
