// Writes a generated machine description to standard output, for
// scripts/bench.sh:
//
//   make-machine [--os 5.2] [--disks N] [--list M] [--keys K] > machine.json
//   make-machine --server ADAPTERSxLUNS [--os 5.2] [--services S] > capture.json
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "machines.h"

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: make-machine [--os MAJOR.MINOR] [--disks N] [--list M] [--keys K]\n"
                         "       make-machine --server ADAPTERSxLUNS [--os 5.2|6.1|10.0] [--services S]\n");
    return 2;
}

bool ParseCount(const char *text, size_t *count)
{
    char *end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != 0)
        return false;
    *count = static_cast<size_t>(value);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    bench::MachineShape shape;
    bench::ServerShape server;
    bool isServer = false;
    for (int i = 1; i < argc; i++) {
        if (i + 1 >= argc)
            return Usage();
        const char *value = argv[++i];
        const char *option = argv[i - 1];
        bool ok = true;
        if (std::strcmp(option, "--os") == 0)
            ok = std::sscanf(value, "%u.%u", &shape.osMajor, &shape.osMinor) == 2;
        else if (std::strcmp(option, "--disks") == 0)
            ok = ParseCount(value, &shape.disks);
        else if (std::strcmp(option, "--list") == 0)
            ok = ParseCount(value, &shape.listEntries);
        else if (std::strcmp(option, "--keys") == 0)
            ok = ParseCount(value, &shape.registryKeys);
        else if (std::strcmp(option, "--server") == 0)
            ok = isServer = std::sscanf(value, "%zux%zu", &server.adapters, &server.luns) == 2;
        else if (std::strcmp(option, "--services") == 0)
            ok = ParseCount(value, &server.services);
        else
            ok = false;
        if (!ok)
            return Usage();
    }
    server.osMajor = shape.osMajor;
    server.osMinor = shape.osMinor;
    const std::string json = isServer ? bench::ServerCaptureJson(server) : bench::MachineJson(shape);
    if (json.empty())
        return Usage();
    return std::fwrite(json.data(), 1, json.size(), stdout) == json.size() ? 0 : 1;
}
