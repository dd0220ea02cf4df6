// The machine's JSON description (docs/machine-description.md): reading and
// writing it, its files, and the built-in default machine.
#pragma once

#include <string>

namespace winsim {

struct Machine;

// Parse a JSON description; throws std::runtime_error naming the fault.
Machine ParseMachine(const std::string &json);
std::string SerializeMachine(const Machine &machine);
Machine DefaultMachine();
// Load from a file (throws on a malformed one) and save atomically.
Machine LoadMachineFile(const std::string &path);
void SaveMachineFile(const Machine &machine, const std::string &path);

// The part of a machine that capture.exe records of it, as a machine of its
// own (docs/machine-description.md, "What a capture records"): a capture of
// the machine, loaded and without its own notes, equals it.
Machine CapturedView(const Machine &machine);

}  // namespace winsim
