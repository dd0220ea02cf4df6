// The sections of what runs record and switch: the features, the files
// copied and deleted, the driver store, the reboots asked for and the
// message boxes shown (records a run appends), and the pending reboot.
#include <string>

#include "diff_internal.h"

namespace winsim::diff {

namespace {

bool Pending(const std::string &state)
{
    const std::string suffix = "Pending";
    return state.size() >= suffix.size() && state.compare(state.size() - suffix.size(), suffix.size(), suffix) == 0;
}

Section FeatureSection(const Machine &before, const Machine &after, Summary &summary)
{
    Section section{"features", "feature", {}};
    auto bi = before.features.begin(), ai = after.features.begin();
    while (bi != before.features.end() || ai != after.features.end()) {
        const bool takeB = ai == after.features.end() || (bi != before.features.end() && bi->first <= ai->first);
        const bool takeA = bi == before.features.end() || (ai != after.features.end() && ai->first <= bi->first);
        if (takeB && !takeA)
            section.changes.push_back(Removed(bi->first, bi->second));
        else if (takeA && !takeB)
            section.changes.push_back(Added(ai->first, ai->second));
        else
            CompareField(section.changes, ai->first, "", bi->second, ai->second);
        if (takeA && Pending(ai->second) && (!takeB || bi->second != ai->second))
            summary.rebootNeeded = true;
        if (takeB)
            ++bi;
        if (takeA)
            ++ai;
    }
    return section;
}

std::string Describe(const CopiedFile &file)
{
    return "from " + Narrow(file.source) + (file.deleted ? ", deleted" : "");
}

Section FileSection(const Machine &before, const Machine &after)
{
    Section section{"files", "destination", {}};
    const auto &b = before.files, &a = after.files;
    const Pairing pairing = PairByKey(b, a, [](const CopiedFile &file) { return Fold(file.destination); });
    for (size_t i = 0; i < b.size(); i++) {
        if (pairing.afterOf[i] == kUnpaired) {
            section.changes.push_back(Removed(Narrow(b[i].destination), Describe(b[i])));
            continue;
        }
        const CopiedFile &paired = a[pairing.afterOf[i]];
        const std::string subject = Narrow(paired.destination);
        CompareField(section.changes, subject, "source", Quoted(b[i].source), Quoted(paired.source));
        CompareField(section.changes, subject, "deleted", YesNo(b[i].deleted), YesNo(paired.deleted));
    }
    for (size_t i = 0; i < a.size(); i++)
        if (!pairing.afterPaired[i])
            section.changes.push_back(Added(Narrow(a[i].destination), Describe(a[i])));
    return section;
}

std::string Describe(const DriverStoreEntry &entry)
{
    return "from " + Narrow(entry.originalPath);
}

Section DriverStoreSection(const Machine &before, const Machine &after)
{
    Section section{"driver_store", "published_name", {}};
    const auto &b = before.driverStore, &a = after.driverStore;
    const Pairing pairing = PairByKey(b, a, [](const DriverStoreEntry &entry) { return Fold(entry.publishedName); });
    for (size_t i = 0; i < b.size(); i++) {
        if (pairing.afterOf[i] == kUnpaired) {
            section.changes.push_back(Removed(Narrow(b[i].publishedName), Describe(b[i])));
            continue;
        }
        const DriverStoreEntry &paired = a[pairing.afterOf[i]];
        const std::string subject = Narrow(paired.publishedName);
        CompareField(section.changes, subject, "original_path", Quoted(b[i].originalPath),
                     Quoted(paired.originalPath));
        if (b[i].content != paired.content) {
            const std::string sizeBefore = std::to_string(b[i].content.size()) + " bytes";
            const std::string sizeAfter = std::to_string(paired.content.size()) + " bytes";
            CompareField(section.changes, subject, "content", sizeBefore,
                         sizeAfter == sizeBefore ? sizeAfter + ", other bytes" : sizeAfter);
        }
    }
    for (size_t i = 0; i < a.size(); i++)
        if (!pairing.afterPaired[i])
            section.changes.push_back(Added(Narrow(a[i].publishedName), Describe(a[i])));
    return section;
}

bool operator==(const RebootRecord &a, const RebootRecord &b)
{
    return a.flags == b.flags && a.reason == b.reason;
}

bool operator==(const MessageBoxRecord &a, const MessageBoxRecord &b)
{
    return a.text == b.text && a.caption == b.caption && a.type == b.type && a.answer == b.answer;
}

std::string Describe(const RebootRecord &record)
{
    return "flags " + Hex32(record.flags) + ", reason " + Hex32(record.reason);
}

std::string Describe(const MessageBoxRecord &record)
{
    return "caption " + Quoted(record.caption) + ", text " + Quoted(record.text) + ", type " +
           std::to_string(record.type) + ", answer " + std::to_string(record.answer);
}

// A list runs append to: the records past the part both lists begin with
// are removed from BEFORE and added in AFTER; each named by its position
// in its list, from 1.
template <typename Record>
Section AppendedRecords(const char *name, const std::vector<Record> &b, const std::vector<Record> &a)
{
    Section section{name, "position", {}};
    size_t common = 0;
    while (common < b.size() && common < a.size() && b[common] == a[common])
        common++;
    for (size_t i = common; i < b.size(); i++)
        section.changes.push_back(Removed("#" + std::to_string(i + 1), Describe(b[i])));
    for (size_t i = common; i < a.size(); i++)
        section.changes.push_back(Added("#" + std::to_string(i + 1), Describe(a[i])));
    return section;
}

}  // namespace

void AppendRecordSections(const Machine &before, const Machine &after, std::vector<Section> &sections,
                          Summary &summary)
{
    sections.push_back(FeatureSection(before, after, summary));
    sections.push_back(FileSection(before, after));
    sections.push_back(DriverStoreSection(before, after));
    sections.push_back(AppendedRecords("reboots", before.reboots, after.reboots));
    for (const Change &change : sections.back().changes)
        if (change.kind == Kind::Added)
            summary.rebootNeeded = true;
    sections.push_back(AppendedRecords("message_boxes", before.messageBoxes, after.messageBoxes));

    Section pending{"reboot_pending", nullptr, {}};
    CompareField(pending.changes, "reboot_pending", "", YesNo(before.rebootPending), YesNo(after.rebootPending));
    sections.push_back(std::move(pending));
    if (after.rebootPending)
        summary.rebootNeeded = true;
}

}  // namespace winsim::diff
