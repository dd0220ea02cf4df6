// The machine description reader on arbitrary text.  A malformed description
// must be refused with std::runtime_error (the host binary reports its text
// and exits 2); any other exception escaping is a finding.  A description
// that was read must save and read back to the same machine, as the host
// binary saves it after every run and reads it at the next.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

#include "winsim/machine.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "machine reader: %s: %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    winsim::Machine machine;
    try {
        machine = winsim::ParseMachine(text);
    } catch (const std::runtime_error &) {
        return 0;
    } catch (const std::exception &error) {
        Fail("a malformed description escaped as another exception than std::runtime_error", error.what());
    }

    std::string saved = winsim::SerializeMachine(machine);
    try {
        std::string again = winsim::SerializeMachine(winsim::ParseMachine(saved));
        if (again != saved)
            Fail("a saved machine reads back different", saved + "\n---\n" + again);
    } catch (const std::exception &error) {
        Fail("a saved machine does not read back", std::string(error.what()) + "\n---\n" + saved);
    }
    return 0;
}
