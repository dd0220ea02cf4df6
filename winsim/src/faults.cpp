// Fault injection: every platform function of the stand-in asks here first.
#include "winsim/machine.h"

namespace winsim {

std::optional<uint32_t> CheckFault(const char *function, const Text &subject)
{
    std::optional<uint32_t> result;
    for (auto &fault : Current().faults) {
        if (fault.function != function)
            continue;
        if (!fault.subject.empty() && !EqualNoCase(fault.subject, subject))
            continue;
        // Count only the calls this fault concerns, so "call": 2 with a
        // subject means the second call about that subject.
        fault.calls++;
        bool fires;
        if (fault.onCall == 0)
            fires = true;                       // every call (of the subject)
        else if (fault.everyCall)
            fires = fault.calls >= fault.onCall;  // from the Nth call on
        else
            fires = fault.calls == fault.onCall;  // the Nth call only
        if (fires && !result)
            result = fault.error;
    }
    return result;
}

}  // namespace winsim
