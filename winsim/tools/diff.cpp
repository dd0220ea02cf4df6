// The difference of two machines: its sections in order, and the helpers
// they share.
#include <cstdio>

#include "diff_internal.h"

namespace winsim::diff {

std::string Quoted(const Text &text)
{
    std::string out = "\"";
    for (char c : Narrow(text))
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out + "\"";
}

std::string QuotedOrAbsent(const std::optional<Text> &text)
{
    return text ? Quoted(*text) : std::string("absent");
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

const char *YesNo(bool flag)
{
    return flag ? "true" : "false";
}

std::string QuotedList(const std::vector<Text> &texts)
{
    std::string out;
    for (const Text &text : texts)
        out += (out.empty() ? "" : " ") + Quoted(text);
    return out.empty() ? std::string("(no entries)") : out;
}

void CompareField(std::vector<Change> &changes, const std::string &subject, const char *field,
                  const std::string &before, const std::string &after)
{
    if (before == after)
        return;
    Change change;
    change.subject = subject;
    change.field = field;
    change.before = before;
    change.after = after;
    changes.push_back(std::move(change));
}

void EntriesDiff(const std::vector<Text> &before, const std::vector<Text> &after, std::vector<std::string> &added,
                 std::vector<std::string> &removed)
{
    std::unordered_map<Text, long> balance;   // copies in 'after' less copies in 'before'
    for (const Text &entry : after)
        balance[entry]++;
    for (const Text &entry : before)
        balance[entry]--;
    for (const Text &entry : before) {
        long &left = balance[entry];
        if (left < 0) {
            removed.push_back(Narrow(entry));
            left++;
        }
    }
    for (const Text &entry : after) {
        long &left = balance[entry];
        if (left > 0) {
            added.push_back(Narrow(entry));
            left--;
        }
    }
}

void CompareList(std::vector<Change> &changes, const std::string &subject, const char *field,
                 const std::vector<Text> *before, const std::vector<Text> *after)
{
    if (before == after || (before && after && *before == *after))
        return;
    Change change;
    change.subject = subject;
    change.field = field;
    if (!before || !after) {
        change.before = before ? QuotedList(*before) : "absent";
        change.after = after ? QuotedList(*after) : "absent";
    } else {
        EntriesDiff(*before, *after, change.added, change.removed);
        if (change.added.empty() && change.removed.empty()) {
            // The same entries in another order: the order is the ranking.
            change.before = QuotedList(*before);
            change.after = QuotedList(*after);
        }
    }
    changes.push_back(std::move(change));
}

Change Added(const std::string &subject, const std::string &what)
{
    Change change;
    change.kind = Kind::Added;
    change.subject = subject;
    change.after = what;
    return change;
}

Change Removed(const std::string &subject, const std::string &what)
{
    Change change;
    change.kind = Kind::Removed;
    change.subject = subject;
    change.before = what;
    return change;
}

bool MachineDiff::Empty() const
{
    for (const Section &section : sections)
        if (!section.changes.empty())
            return false;
    return true;
}

namespace {

// Counts the changes on their way to the sink that writes them.
class Counting : public Sink {
public:
    explicit Counting(Sink &to) : to_(to) {}
    void BeginSection(const char *name, const char *subjectName) override { to_.BeginSection(name, subjectName); }
    void Add(const Change &change) override
    {
        changes_++;
        to_.Add(change);
    }
    void EndSection() override { to_.EndSection(); }
    void End(const Summary &summary) override { to_.End(summary); }
    size_t changes_ = 0;

private:
    Sink &to_;
};

// Holds the difference whole.
class Collecting : public Sink {
public:
    explicit Collecting(MachineDiff &diff) : diff_(diff) {}
    void BeginSection(const char *name, const char *subjectName) override
    {
        diff_.sections.push_back(Section{name, subjectName, {}});
    }
    void Add(const Change &change) override { diff_.sections.back().changes.push_back(change); }
    void EndSection() override {}
    void End(const Summary &summary) override { diff_.summary = summary; }

private:
    MachineDiff &diff_;
};

void Give(const Section &section, Sink &sink)
{
    sink.BeginSection(section.name, section.subjectName);
    for (const Change &change : section.changes)
        sink.Add(change);
    sink.EndSection();
}

}  // namespace

bool Compare(const Machine &before, const Machine &after, Sink &sink)
{
    Counting counting(sink);
    Summary summary;
    DeviceSection(before, after, summary, counting);
    Give(RegistrySection(before, after), counting);
    Give(ServiceSection(before, after, summary), counting);
    std::vector<Section> records;
    AppendRecordSections(before, after, records, summary);
    for (const Section &section : records)
        Give(section, counting);
    counting.End(summary);
    return counting.changes_ != 0;
}

MachineDiff Compare(const Machine &before, const Machine &after)
{
    MachineDiff diff;
    Collecting collecting(diff);
    Compare(before, after, collecting);
    return diff;
}

void Replay(const MachineDiff &diff, Sink &sink)
{
    for (const Section &section : diff.sections)
        Give(section, sink);
    sink.End(diff.summary);
}

}  // namespace winsim::diff
