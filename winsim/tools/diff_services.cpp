// The services section: the services as the service control manager reads
// them from the registry, paired by name without ASCII case; a service newly
// marked for deletion waits for a reboot.
#include <string>

#include "diff_internal.h"

namespace winsim::diff {

namespace {

std::string Number(const std::optional<uint32_t> &number)
{
    return number ? std::to_string(*number) : std::string("absent");
}

std::string Describe(const Service &service)
{
    std::string text = "type " + std::to_string(service.type) + ", start " + Number(service.start) +
                       ", error_control " + Number(service.errorControl);
    if (service.imagePath)
        text += ", binary " + Quoted(*service.imagePath);
    if (service.displayName)
        text += ", display_name " + Quoted(*service.displayName);
    if (service.markedForDelete)
        text += ", marked_for_delete";
    return text;
}

void CompareService(std::vector<Change> &changes, const Service &b, const Service &a)
{
    const std::string subject = Narrow(a.name);
    CompareField(changes, subject, "display_name", QuotedOrAbsent(b.displayName), QuotedOrAbsent(a.displayName));
    CompareField(changes, subject, "binary", QuotedOrAbsent(b.imagePath), QuotedOrAbsent(a.imagePath));
    CompareField(changes, subject, "type", std::to_string(b.type), std::to_string(a.type));
    CompareField(changes, subject, "start", Number(b.start), Number(a.start));
    CompareField(changes, subject, "error_control", Number(b.errorControl), Number(a.errorControl));
    CompareField(changes, subject, "marked_for_delete", YesNo(b.markedForDelete), YesNo(a.markedForDelete));
}

}  // namespace

Section ServiceSection(const Machine &before, const Machine &after, Summary &summary)
{
    Section section{"services", "service", {}};
    const std::vector<Service> b = Services(before), a = Services(after);
    const Pairing pairing = PairByKey(b, a, [](const Service &service) { return Fold(service.name); });
    for (size_t i = 0; i < b.size(); i++) {
        if (pairing.afterOf[i] == kUnpaired) {
            section.changes.push_back(Removed(Narrow(b[i].name), Describe(b[i])));
            continue;
        }
        const Service &paired = a[pairing.afterOf[i]];
        CompareService(section.changes, b[i], paired);
        if (paired.markedForDelete && !b[i].markedForDelete)
            summary.rebootNeeded = true;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (pairing.afterPaired[i])
            continue;
        section.changes.push_back(Added(Narrow(a[i].name), Describe(a[i])));
        if (a[i].markedForDelete)
            summary.rebootNeeded = true;
    }
    return section;
}

}  // namespace winsim::diff
