// winsim captured IN OUT: the part of the machine IN that capture.exe
// records of it (winsim::CapturedView), written as a machine description to
// OUT, so that a capture of a real server and its twin compare as text.
#include <cstdio>
#include <exception>
#include <string>

#include "winsim/description.h"
#include "winsim/machine.h"

int CapturedCommand(const std::string &in, const std::string &out)
{
    winsim::Machine machine;
    try {
        machine = winsim::LoadMachineFile(in);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "winsim: %s: %s\n", in.c_str(), error.what());
        return 2;
    }
    try {
        winsim::SaveMachineFile(winsim::CapturedView(machine), out);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "winsim: %s: %s\n", out.c_str(), error.what());
        return 1;
    }
    std::printf("Wrote what a capture records of %s to %s\n", in.c_str(), out.c_str());
    return 0;
}
