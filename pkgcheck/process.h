// The scratch space of one pkgcheck run and the installer runs inside it:
// everything pkgcheck writes goes into one temporary directory that is
// removed when the run ends, also when it fails or is interrupted.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace pkgcheck {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents by
// the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// SIGINT, SIGTERM or SIGHUP arrived: the run unwinds (removing its
// temporary directory) and the signal is raised again at the end.
struct Interrupted {
    int signal;
};
void CatchInterrupts();
void ThrowIfInterrupted();
[[noreturn]] void RaiseAgain(const Interrupted &interrupted);

struct ProcessResult {
    int exitCode = 0;        // the 8-bit status read as signed: 255 is -1, 254 is -2
    int signal = 0;          // non-zero when the process was killed by a signal
    std::string output;      // standard output
    std::string errors;      // standard error
};

// Runs a program in 'cwd' with extra environment variables, standard input
// from /dev/null, and waits for it; throws std::runtime_error when it cannot
// start and Interrupted when an interrupt arrives meanwhile.
ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &args,
                         const std::filesystem::path &cwd,
                         const std::vector<std::pair<std::string, std::string>> &environment);

}  // namespace pkgcheck
