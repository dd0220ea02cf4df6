// The machine between runs: loading and atomically saving its description
// file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>
#include <optional>
#include <streambuf>
#include <vector>
#include <stdexcept>

#include "json_writer.h"
#include "machine_json.h"
#include "winsim/machine.h"

namespace winsim {

namespace {

[[noreturn]] void FailFile(const std::string &what, const std::string &path)
{
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

// The new file being written, removed again unless it was completed: a
// save that fails half-way, by an error or an exception, leaves nothing.
class NewFile {
public:
    // A new file of the given permission bits.
    NewFile(std::string path, mode_t mode) : path_(std::move(path))
    {
        fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0)
            FailFile("cannot create", path_);
        // open() applies the umask; the file must have the old file's bits.
        if (fchmod(fd_, mode) != 0) {
            const int error = errno;
            close(fd_);
            unlink(path_.c_str());
            errno = error;
            FailFile("cannot set the mode of", path_);
        }
    }
    ~NewFile()
    {
        if (fd_ >= 0)
            close(fd_);
        if (!completed_)
            unlink(path_.c_str());
    }
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    void Write(std::string_view text)
    {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                FailFile("cannot write", path_);
            done += static_cast<size_t>(n);
        }
    }

    // Flushes the file to the disk and closes it.
    void Complete()
    {
        if (fsync(fd_) != 0)
            FailFile("cannot flush", path_);
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0)
            FailFile("cannot close", path_);
        completed_ = true;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool completed_ = false;
};

// A file's bytes for a stream, read a block at a time.  A failed open or
// read keeps its error; a failed read ends the stream.
class FileReadBuffer : public std::streambuf {
public:
    explicit FileReadBuffer(const std::string &path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)), block_(1 << 16)
    {
        if (fd_ < 0)
            error_ = errno;
    }
    ~FileReadBuffer() override
    {
        if (fd_ >= 0)
            close(fd_);
    }
    FileReadBuffer(const FileReadBuffer &) = delete;
    FileReadBuffer &operator=(const FileReadBuffer &) = delete;

    int error() const { return error_; }

protected:
    int_type underflow() override
    {
        if (fd_ < 0 || error_ != 0)
            return traits_type::eof();
        ssize_t n;
        do
            n = read(fd_, block_.data(), block_.size());
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            error_ = n < 0 ? errno : 0;
            return traits_type::eof();
        }
        setg(block_.data(), block_.data(), block_.data() + n);
        return traits_type::to_int_type(block_[0]);
    }

private:
    int fd_;
    std::vector<char> block_;
    int error_ = 0;
};

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
    FileReadBuffer buffer(path);
    if (buffer.error() != 0)
        throw std::runtime_error(std::string("cannot read the file: ") + std::strerror(buffer.error()));
    // Read as it is parsed: the text is never whole in memory.  A read that
    // fails ends the text early; that, not the broken JSON, is the fault.
    std::istream in(&buffer);
    std::optional<Machine> machine;
    std::optional<std::runtime_error> fault;
    try {
        machine = description::ParseMachineStream(in);
    } catch (const std::runtime_error &error) {
        fault = error;
    }
    if (buffer.error() != 0)
        throw std::runtime_error(std::string("cannot read the file: ") + std::strerror(buffer.error()));
    if (fault)
        throw *fault;
    machine->path = path;
    return std::move(*machine);
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
    {
        NewFile file(temp, mode);
        std::string buffer;
        JsonWriter w(buffer, [&file](std::string_view text) { file.Write(text); });
        description::WriteMachine(w, machine);
        buffer += '\n';
        w.Flush();
        file.Complete();
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(temp.c_str());
        errno = error;
        FailFile("cannot rename", temp);
    }
    SyncDirectoryOf(path);
}

}  // namespace winsim
