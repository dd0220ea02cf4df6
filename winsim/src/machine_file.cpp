// The machine between runs: loading and atomically saving its description
// file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core_internal.h"
#include "winsim/machine.h"

namespace winsim {

namespace {

[[noreturn]] void FailFile(const std::string &what, const std::string &path)
{
    std::string message = what + " " + path + ": " + std::strerror(errno);
    unlink(path.c_str());
    throw std::runtime_error(message);
}

// Writes the whole text to a new file of the given permission bits and
// flushes it to the disk.
void WriteDurably(const std::string &path, const std::string &text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        FailFile("cannot create", path);
    // open() applies the umask; the file must have the old file's bits.
    if (fchmod(fd, mode) != 0) {
        close(fd);
        FailFile("cannot set the mode of", path);
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            FailFile("cannot write", path);
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) {
        close(fd);
        FailFile("cannot flush", path);
    }
    if (close(fd) != 0)
        FailFile("cannot close", path);
}

// Makes a rename in the file's directory durable.
void SyncDirectoryOf(const std::string &path)
{
    std::string dir = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    if (dir.empty())
        dir = "/";
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
}

}  // namespace

Machine LoadMachineFile(const std::string &path)
{
    // A directory opens as an empty stream, which would read as malformed JSON.
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        throw std::runtime_error("a directory, not a machine file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(std::string("cannot read the file: ") + std::strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw std::runtime_error(std::string("cannot read the file: ") + std::strerror(errno));
    Machine machine = ParseMachine(text.str());
    machine.path = path;
    return machine;
}

void SaveMachineFile(const Machine &machine, const std::string &path)
{
    // The new file takes the old one's permission bits; a file its owner may
    // not write is read-only and is not replaced.
    struct stat existing;
    mode_t mode = 0644;
    if (stat(path.c_str(), &existing) == 0) {
        if ((existing.st_mode & S_IWUSR) == 0)
            throw std::runtime_error("the file is read-only");
        mode = existing.st_mode & 07777;
    }
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    WriteDurably(temp, SerializeMachine(machine) + "\n", mode);
    if (rename(temp.c_str(), path.c_str()) != 0)
        FailFile("cannot rename", temp);
    SyncDirectoryOf(path);
}

}  // namespace winsim
