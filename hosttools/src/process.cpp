// Running a program with posix_spawn: its standard output and error read
// through pipes while it runs, so that neither can fill up and stall it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "hosttools/hosttools.h"

extern char **environ;

namespace hosttools {

namespace {

[[noreturn]] void Fail(const std::string &what, int error)
{
    throw std::runtime_error(what + ": " + std::strerror(error));
}

// The inherited environment with the process's variables set or replaced.
std::vector<std::string> Environment(const Process &process)
{
    std::vector<std::string> entries;
    for (char **entry = environ; *entry; entry++) {
        bool replaced = false;
        for (const auto &[name, value] : process.environment)
            replaced = replaced || std::strncmp(*entry, (name + "=").c_str(), name.size() + 1) == 0;
        if (!replaced)
            entries.push_back(*entry);
    }
    for (const auto &[name, value] : process.environment)
        entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char *> Pointers(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (std::string &text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The spawned program: its pipes are closed and it is reaped on every path.
class Child {
public:
    explicit Child(const Process &process)
    {
        if (pipe2(out_, O_CLOEXEC) != 0 || pipe2(err_, O_CLOEXEC) != 0)
            Fail("pipe", errno);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out_[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err_[1], 2);
        if (!process.cwd.empty())
            posix_spawn_file_actions_addchdir_np(&actions, process.cwd.c_str());
        std::vector<std::string> args{process.program};
        args.insert(args.end(), process.args.begin(), process.args.end());
        std::vector<std::string> environment = Environment(process);
        const int error = posix_spawn(&pid_, process.program.c_str(), &actions, nullptr, Pointers(args).data(),
                                      Pointers(environment).data());
        posix_spawn_file_actions_destroy(&actions);
        CloseEnd(out_[1]);
        CloseEnd(err_[1]);
        if (error != 0) {
            pid_ = -1;
            Fail("cannot run " + process.program, error);
        }
    }
    ~Child()
    {
        for (int fd : {out_[0], out_[1], err_[0], err_[1]})
            CloseEnd(fd);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Reads both pipes to their end; an interrupted wait with *stop set ends
    // the program.
    void Drain(ProcessResult &result, const volatile std::sig_atomic_t *stop)
    {
        struct pollfd fds[2] = {{out_[0], POLLIN, 0}, {err_[0], POLLIN, 0}};
        std::string *sinks[2] = {&result.output, &result.errors};
        int open = 2;
        while (open > 0) {
            if (stop && *stop && !result.interrupted) {
                result.interrupted = true;
                kill(pid_, SIGTERM);
            }
            if (poll(fds, 2, -1) < 0) {
                if (errno != EINTR)
                    Fail("poll", errno);
                continue;
            }
            for (int i = 0; i < 2; i++) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    fds[i].fd = -1;
                    open--;
                }
            }
        }
    }

    int Wait()
    {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

private:
    static void CloseEnd(int &fd)
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    pid_t pid_ = -1;
    int out_[2] = {-1, -1};
    int err_[2] = {-1, -1};
};

}  // namespace

ProcessResult Run(const Process &process)
{
    ProcessResult result;
    Child child(process);
    child.Drain(result, process.stop);
    result.waitStatus = child.Wait();
    if (WIFEXITED(result.waitStatus))
        result.exitCode = static_cast<signed char>(WEXITSTATUS(result.waitStatus));
    else
        result.exitCode = -1000 - (WIFSIGNALED(result.waitStatus) ? WTERMSIG(result.waitStatus) : 0);
    return result;
}

}  // namespace hosttools
