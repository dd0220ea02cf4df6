// What a run changed: the difference of two machines, section by section,
// and the one summary an administrator reads first.  `winsim diff` prints it
// as text or as JSON; docs/machine-description.md describes both.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace winsim::diff {

enum class Kind { Added, Removed, Changed };

// One line of the difference.  Texts are as the line shows them: a text
// value in quotes, an absent one as "absent", numbers in decimal, status
// and flag words in hex.
struct Change {
    Kind kind = Kind::Changed;
    std::string subject;                 // the device, key, service, feature, file, INF or record
    std::optional<std::string> value;    // registry: the value's name; none for the key itself
    std::string field;                   // what of the subject changed; empty for the whole of it
    std::string before, after;           // empty when not shown (an added thing has no before)
    // The entries of a list that came and went (hardware IDs, a
    // multi-string's strings), or the status bits set and cleared.
    std::vector<std::string> added, removed;
    bool quoteEntries = true;            // entries are texts (not bit names)
};

struct Section {
    const char *name;          // "devices", "registry", ...
    const char *subjectName;   // its subject's member in JSON: "instance_id", "key", ...; null: none
    std::vector<Change> changes;
};

struct Summary {
    size_t adaptersRestarted = 0;
    size_t disksClaimed = 0;
    size_t disksReleased = 0;
    bool rebootNeeded = false;
};

struct MachineDiff {
    std::vector<Section> sections;   // always every section, in the order printed
    Summary summary;
    bool Empty() const;
};

// Takes the difference as it is found: every section in order, its changes
// one at a time, then the summary.  A server's difference runs to hundreds of
// thousands of lines, which are written as they come instead of being held.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void BeginSection(const char *name, const char *subjectName) = 0;
    virtual void Add(const Change &change) = 0;
    virtual void EndSection() = 0;
    virtual void End(const Summary &summary) = 0;
};

// The text: each section that has changes under its name, a line a change,
// then the summary line (always).  The JSON: one object, each section an
// array of change records, and "summary".
std::unique_ptr<Sink> TextSink(std::ostream &out);
std::unique_ptr<Sink> JsonSink(std::ostream &out);

// The difference of two machines, given to 'sink'; true when they differ.
// Linear in their size: lists are paired through hash tables by their keys,
// the registry trees walked side by side.
bool Compare(const Machine &before, const Machine &after, Sink &sink);
// The same, held whole.
MachineDiff Compare(const Machine &before, const Machine &after);

std::string FormatText(const MachineDiff &diff);
std::string FormatJson(const MachineDiff &diff);
std::string SummaryLine(const Summary &summary);

// `winsim diff BEFORE AFTER [--json]`: 0 when the machines do not differ,
// 1 when they do, 2 for a usage error or a machine that cannot be loaded
// (the message on 'err' names the file).
int Command(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace winsim::diff
