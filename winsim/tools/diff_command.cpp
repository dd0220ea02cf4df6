// `winsim diff BEFORE AFTER [--json]`: both machines loaded as the program
// loads them, the difference printed; the exit status as diff(1) gives it.
#include <exception>
#include <ostream>

#include "diff.h"
#include "winsim/description.h"

namespace winsim::diff {

namespace {

constexpr int kSame = 0;
constexpr int kDifferent = 1;
constexpr int kTrouble = 2;

const char kUsage[] =
    "usage: winsim diff BEFORE AFTER [--json]\n"
    "What changed from the machine BEFORE to the machine AFTER, section by section, then a summary line.\n"
    "Exit status 0: no difference; 1: differences; 2: trouble (usage, a machine that cannot be read).\n";

}  // namespace

int Command(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    bool asJson = false;
    std::vector<std::string> files;
    for (const std::string &arg : args) {
        if (arg == "--json") {
            asJson = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            err << "winsim diff: unknown option " << arg << "\n" << kUsage;
            return kTrouble;
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) {
        err << kUsage;
        return kTrouble;
    }
    Machine machines[2];
    for (size_t i = 0; i < 2; i++) {
        try {
            machines[i] = LoadMachineFile(files[i]);
        } catch (const std::exception &error) {
            err << "winsim: " << files[i] << ": " << error.what() << "\n";
            return kTrouble;
        }
    }
    const std::unique_ptr<Sink> sink = asJson ? JsonSink(out) : TextSink(out);
    const bool differ = Compare(machines[0], machines[1], *sink);
    out.flush();
    if (!out) {
        err << "winsim diff: cannot write the difference\n";
        return kTrouble;
    }
    return differ ? kDifferent : kSame;
}

}  // namespace winsim::diff
