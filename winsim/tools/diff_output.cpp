// The difference as text, a line a change under its section's name, and as
// one JSON object; the summary line ends the text always.
#include <nlohmann/json.hpp>

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

}  // namespace

std::string SummaryLine(const Summary &summary)
{
    return "summary: " + std::to_string(summary.adaptersRestarted) + " adapters restarted, " +
           std::to_string(summary.disksClaimed) + " disks claimed, " + std::to_string(summary.disksReleased) +
           " disks released, reboot needed: " + (summary.rebootNeeded ? "yes" : "no");
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
    using json = nlohmann::ordered_json;
    json out = json::object();
    for (const Section &section : diff.sections) {
        json records = json::array();
        for (const Change &change : section.changes) {
            json record = {{"change", KindWord(change.kind)}};
            if (section.subjectName)
                record[section.subjectName] = change.subject;
            if (change.value)
                record["value"] = *change.value;
            if (!change.field.empty())
                record["field"] = change.field;
            if (!change.before.empty())
                record["before"] = change.before;
            if (!change.after.empty())
                record["after"] = change.after;
            if (!change.added.empty())
                record["added"] = change.added;
            if (!change.removed.empty())
                record["removed"] = change.removed;
            records.push_back(std::move(record));
        }
        out[section.name] = std::move(records);
    }
    out["summary"] = {{"adapters_restarted", diff.summary.adaptersRestarted},
                      {"disks_claimed", diff.summary.disksClaimed},
                      {"disks_released", diff.summary.disksReleased},
                      {"reboot_needed", diff.summary.rebootNeeded}};
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace winsim::diff
