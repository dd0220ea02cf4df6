// Loads a machine description and exits; with a second file, saves the
// machine there.  For scripts/bench.sh: the host loader (and saver) timed
// as a whole process, beside Python's json load and dump of the same file.
//
//   load-machine FILE [OUT]
#include <cstdio>
#include <exception>

#include "winsim/description.h"
#include "winsim/machine.h"

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: load-machine FILE [OUT]\n");
        return 2;
    }
    try {
        const winsim::Machine machine = winsim::LoadMachineFile(argv[1]);
        if (argc == 3)
            winsim::SaveMachineFile(machine, argv[2]);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "load-machine: %s\n", error.what());
        return 1;
    }
    return 0;
}
