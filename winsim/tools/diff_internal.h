// Pieces the sections of the difference share: pairing two lists by a key,
// readable texts, and one change per field that differs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "diff.h"

namespace winsim::diff {

inline constexpr size_t kUnpaired = static_cast<size_t>(-1);

// Which entry of 'after' each entry of 'before' pairs with (kUnpaired: none)
// and which entries of 'after' are paired.  Entries pair by key; among
// entries of one key the first pairs with the first, and so on.
struct Pairing {
    std::vector<size_t> afterOf;
    std::vector<bool> afterPaired;
};

template <typename T, typename KeyOf>
Pairing PairByKey(const std::vector<T> &before, const std::vector<T> &after, KeyOf keyOf)
{
    using Key = std::decay_t<decltype(keyOf(after[0]))>;
    // The first entry of each key in 'after', and from each entry the next
    // one of its key: no list per key.
    std::unordered_map<Key, size_t> first;
    std::vector<size_t> next(after.size(), kUnpaired);
    first.reserve(after.size());
    for (size_t i = after.size(); i-- > 0;) {
        auto [at, added] = first.try_emplace(keyOf(after[i]), i);
        if (!added) {
            next[i] = at->second;
            at->second = i;
        }
    }
    Pairing pairing{std::vector<size_t>(before.size(), kUnpaired), std::vector<bool>(after.size(), false)};
    for (size_t i = 0; i < before.size(); i++) {
        auto found = first.find(keyOf(before[i]));
        if (found == first.end() || found->second == kUnpaired)
            continue;
        pairing.afterOf[i] = found->second;
        pairing.afterPaired[found->second] = true;
        found->second = next[found->second];
    }
    return pairing;
}

// Readable texts: a text in quotes (a line break as \n), an absent one as
// "absent"; a word in hex; a flag.
std::string Quoted(const Text &text);
std::string QuotedOrAbsent(const std::optional<Text> &text);
std::string Hex32(uint32_t value);
const char *YesNo(bool flag);   // "true", "false": the description's words
// Texts in quotes, separated by blanks.
std::string QuotedList(const std::vector<Text> &texts);

// A change of a field when its readable texts differ.
void CompareField(std::vector<Change> &changes, const std::string &subject, const char *field,
                  const std::string &before, const std::string &after);
// A change of a list of texts: its entries added and removed, or, when
// only their order changed, the lists before and after; absent lists read
// "absent".
void CompareList(std::vector<Change> &changes, const std::string &subject, const char *field,
                 const std::vector<Text> *before, const std::vector<Text> *after);
// The entries of 'after' that 'before' lacks and those it lost, counting
// repeated entries; in their lists' orders.
void EntriesDiff(const std::vector<Text> &before, const std::vector<Text> &after, std::vector<std::string> &added,
                 std::vector<std::string> &removed);

// A difference held whole, given to a sink as Compare gives it.
void Replay(const MachineDiff &diff, Sink &sink);

Change Added(const std::string &subject, const std::string &what);
Change Removed(const std::string &subject, const std::string &what);

// The sections, in the order printed.
// The devices section goes to the sink a device at a time: it is the one
// that grows with the machine.
void DeviceSection(const Machine &before, const Machine &after, Summary &summary, Sink &sink);
Section RegistrySection(const Machine &before, const Machine &after);
Section ServiceSection(const Machine &before, const Machine &after, Summary &summary);
// features, files, driver_store, reboots, message_boxes, reboot_pending.
void AppendRecordSections(const Machine &before, const Machine &after, std::vector<Section> &sections,
                          Summary &summary);

}  // namespace winsim::diff
