// The host toolkit of the tests, pkgcheck and the benchmarks: running a
// program, a scratch directory, reading a file whole and masking the time
// stamps of the program's log.  Linux only; nothing here touches the
// simulated machine.
#pragma once

#include <csignal>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hosttools {

// ---------------------------------------------------------------------------
// Running a program
// ---------------------------------------------------------------------------
struct Process {
    std::string program;                  // a path; it is not searched for
    std::vector<std::string> args;        // after the program's name
    std::string cwd;                      // empty: this process's
    // Set (or replaced) in the inherited environment.
    std::vector<std::pair<std::string, std::string>> environment;
    // While the program runs, a signal that interrupts the wait ends it
    // (SIGTERM) when *stop is non-zero; the result then says so.
    const volatile std::sig_atomic_t *stop = nullptr;
};

struct ProcessResult {
    // The 8-bit exit status read back as signed, so that 255 and 254 are -1
    // and -2; -1000 - signal for a program killed by a signal.
    int exitCode = 0;
    int waitStatus = 0;      // as waitpid gave it
    std::string output;      // standard output
    std::string errors;      // standard error
    bool interrupted = false;
};

// Runs the program with standard input from /dev/null and waits for it;
// throws std::runtime_error when it cannot be started.
ProcessResult Run(const Process &process);

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
// A file's bytes; nothing when it cannot be read.
std::optional<std::string> ReadFile(const std::string &path);
// Writes the bytes, creating the parent directories; throws when it cannot.
void WriteFile(const std::string &path, const std::string &bytes);

// A fresh directory under $TMPDIR (else /tmp), named PREFIX.XXXXXX, removed
// with everything in it (read-only entries too) when the object goes.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &prefix);
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &Dir() const { return dir_; }
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// Makes a directory the current one for the object's life.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string &dir);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory &) = delete;
    WorkingDirectory &operator=(const WorkingDirectory &) = delete;

private:
    std::string previous_;
};

// ---------------------------------------------------------------------------
// The program's log
// ---------------------------------------------------------------------------
// Replaces every time stamp "[MM/DD/YYYY HH:MM:SS.mmm]" with 'mask'.
std::string MaskTimes(const std::string &log, const std::string &mask = "[T]");

}  // namespace hosttools
