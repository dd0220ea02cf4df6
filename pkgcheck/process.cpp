#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace pkgcheck {

namespace {

volatile sig_atomic_t pendingSignal = 0;

void NoteSignal(int signal) { pendingSignal = signal; }

std::string ReadAndRemove(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    in.close();
    std::error_code error;
    std::filesystem::remove(path, error);
    return bytes.str();
}

// Waits for the child; an interrupt ends it first and is then thrown.
int WaitFor(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        if (pendingSignal) {
            kill(child, SIGTERM);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            throw Interrupted{pendingSignal};
        }
    }
    return status;
}

}  // namespace

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/pkgcheck.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory in " + pattern + ": " + std::strerror(errno));
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

void CatchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no restart: a wait returns at once with EINTR
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

void ThrowIfInterrupted()
{
    if (pendingSignal)
        throw Interrupted{pendingSignal};
}

void RaiseAgain(const Interrupted &interrupted)
{
    signal(interrupted.signal, SIG_DFL);
    raise(interrupted.signal);
    _exit(128 + interrupted.signal);
}

ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &args,
                         const std::filesystem::path &cwd,
                         const std::vector<std::pair<std::string, std::string>> &environment)
{
    ThrowIfInterrupted();
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings;
    for (char **entry = environ; *entry; entry++) {
        bool replaced = false;
        for (const auto &[name, value] : environment)
            replaced = replaced || std::strncmp(*entry, (name + "=").c_str(), name.size() + 1) == 0;
        if (!replaced)
            envStrings.push_back(*entry);
    }
    for (const auto &[name, value] : environment)
        envStrings.push_back(name + "=" + value);
    std::vector<char *> argv, envp;
    for (std::string &arg : argStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (std::string &entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const std::filesystem::path outPath = cwd / ".pkgcheck-stdout", errPath = cwd / ".pkgcheck-stderr";
    // The child reports a failed exec through this pipe; a successful exec closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (child == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in >= 0 && out >= 0 && err >= 0 && chdir(cwd.c_str()) == 0 && dup2(in, 0) >= 0 && dup2(out, 1) >= 0 &&
            dup2(err, 2) >= 0)
            execve(program.c_str(), argv.data(), envp.data());
        int code = errno;
        ssize_t written = write(report[1], &code, sizeof code);
        (void)written;
        _exit(127);
    }
    close(report[1]);
    int childErrno = 0;
    ssize_t got;
    while ((got = read(report[0], &childErrno, sizeof childErrno)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    const int status = WaitFor(child);
    ProcessResult result;
    result.output = ReadAndRemove(outPath);
    result.errors = ReadAndRemove(errPath);
    if (got == static_cast<ssize_t>(sizeof childErrno))
        throw std::runtime_error("cannot run " + program + ": " + std::strerror(childErrno));
    if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
        result.exitCode = -1000 - result.signal;
    } else {
        result.exitCode = static_cast<signed char>(WEXITSTATUS(status));
    }
    return result;
}

}  // namespace pkgcheck
