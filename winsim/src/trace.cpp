// The trace of platform calls, for tests to assert on what was asked.
#include <cstdio>

#include "core_internal.h"
#include "winsim/machine.h"

namespace winsim {

void Trace(const char *function, const std::string &args)
{
    Machine &machine = Current();
    if (machine.recordTrace)
        machine.trace.push_back(TraceEntry{function, args});
}

bool TraceHas(const char *function, const std::string &argsPart)
{
    for (const auto &entry : Current().trace)
        if (entry.function == function && entry.args.find(argsPart) != std::string::npos)
            return true;
    return false;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string TextArg(const WCHAR *text)
{
    return text ? Narrow(text) : std::string("null");
}

size_t TraceCount(const char *function)
{
    size_t count = 0;
    for (const auto &entry : Current().trace)
        if (entry.function == function)
            count++;
    return count;
}

}  // namespace winsim
