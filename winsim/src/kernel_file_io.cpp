// Files as the kernel opens, reads, writes, moves and deletes them.  The
// published INFs in C:\Windows\INF are the driver store's entries, to read
// only; every other path is a file of the host file system, found as NTFS
// finds names (see FindHostPath), with Windows' answers: a missing folder
// 3, a missing file 2, a folder or a read-only place 5, a file another
// handle keeps without sharing 32.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

constexpr DWORD kErrorTooManyOpenFiles = 4;
constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;
constexpr DWORD kFileAppendData = 0x0004;
constexpr DWORD kKnownMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;

bool WantsRead(DWORD access)
{
    return access & (GENERIC_READ | GENERIC_ALL | kFileReadData);
}

bool WantsWrite(DWORD access)
{
    return access & (GENERIC_WRITE | GENERIC_ALL | kFileWriteData | kFileAppendData);
}

// The Windows error of a failed host call.
DWORD ErrorOfErrno(int error)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return kErrorTooManyOpenFiles;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// A host file open through a handle: its identity, for the sharing rules.
class HostFile : public winsim::KernelObject {
public:
    HostFile(int fd, DWORD access, DWORD share) : fd_(fd), access_(access), share_(share)
    {
        struct stat info;
        if (fstat(fd, &info) == 0) {
            device_ = info.st_dev;
            inode_ = info.st_ino;
        }
    }
    ~HostFile() override { ::close(fd_); }

    uint32_t Read(void *buffer, DWORD size, DWORD &done) override
    {
        if (!WantsRead(access_))
            return ERROR_ACCESS_DENIED;
        ssize_t n = ::read(fd_, buffer, size);
        if (n < 0)
            return ErrorOfErrno(errno);
        done = static_cast<DWORD>(n);
        return 0;
    }
    uint32_t Write(const void *buffer, DWORD size, DWORD &done) override
    {
        if (!WantsWrite(access_))
            return ERROR_ACCESS_DENIED;
        const char *bytes = static_cast<const char *>(buffer);
        while (done < size) {
            ssize_t n = ::write(fd_, bytes + done, size - done);
            if (n < 0)
                return ErrorOfErrno(errno);
            done += static_cast<DWORD>(n);
        }
        return 0;
    }

    bool Is(const struct stat &info) const { return device_ == info.st_dev && inode_ == info.st_ino; }
    DWORD access() const { return access_; }
    DWORD share() const { return share_; }

private:
    int fd_;
    DWORD access_;
    DWORD share_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// A published INF opened for reading: the store entry's bytes as they were.
class StoreFile : public winsim::KernelObject {
public:
    explicit StoreFile(std::string bytes) : bytes_(std::move(bytes)) {}
    uint32_t Read(void *buffer, DWORD size, DWORD &done) override
    {
        done = static_cast<DWORD>(std::min<size_t>(size, bytes_.size() - position_));
        std::memcpy(buffer, bytes_.data() + position_, done);
        position_ += done;
        return 0;
    }
    uint32_t Write(const void *, DWORD, DWORD &) override { return ERROR_ACCESS_DENIED; }

private:
    std::string bytes_;
    size_t position_ = 0;
};

// Whether opening the file at 'info' for 'access', sharing 'share', meets an
// open handle that refuses it (or that it refuses); DELETE asks for the
// handles' FILE_SHARE_DELETE.
bool SharingViolation(const struct stat &info, DWORD access, DWORD share)
{
    bool refused = false;
    winsim::KernelObjects().ForEach([&](const winsim::KernelObject &object) {
        const auto *open = dynamic_cast<const HostFile *>(&object);
        if (open == nullptr || !open->Is(info))
            return;
        refused = refused || (WantsRead(access) && !(open->share() & FILE_SHARE_READ)) ||
                  (WantsWrite(access) && !(open->share() & FILE_SHARE_WRITE)) ||
                  ((access & DELETE) && !(open->share() & FILE_SHARE_DELETE)) ||
                  (WantsRead(open->access()) && !(share & FILE_SHARE_READ)) ||
                  (WantsWrite(open->access()) && !(share & FILE_SHARE_WRITE));
    });
    return refused;
}

// Where a Windows path lies on the host: the existing file or folder it
// names, else the name it would have in its (existing) folder.  0, or 3
// when the folder does not exist.
struct HostPlace {
    std::string path;
    bool exists = false;
    struct stat info {};
};

DWORD Locate(const winsim::Text &windowsPath, HostPlace &place)
{
    if (auto found = winsim::FindHostPath(windowsPath)) {
        place.path = *found;
        place.exists = lstat(found->c_str(), &place.info) == 0;
        return 0;
    }
    const size_t slash = windowsPath.find_last_of(u"\\/");
    const winsim::Text name = slash == winsim::Text::npos ? windowsPath : windowsPath.substr(slash + 1);
    std::optional<std::string> dir =
        slash == winsim::Text::npos ? std::optional<std::string>(".")
                                    : winsim::FindHostPath(slash == 0 ? u"/" : windowsPath.substr(0, slash));
    struct stat info;
    if (!dir || stat(dir->c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || name.empty())
        return ERROR_PATH_NOT_FOUND;
    place.path = *dir + "/" + winsim::Narrow(name);
    return 0;
}

// The error when a file is missing: 2, or 3 when its folder is missing too.
DWORD MissingFileError(const winsim::Text &windowsPath)
{
    HostPlace place;
    return Locate(windowsPath, place) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
}

bool ReadOnlyFile(const struct stat &info)
{
    return S_ISREG(info.st_mode) && !(info.st_mode & S_IWUSR);
}

HANDLE OpenStoreFile(const winsim::Text &path, DWORD access, DWORD disposition)
{
    const winsim::DriverStoreEntry *entry = winsim::StoreEntryAt(winsim::Current(), path);
    // The folder is the setup library's to write.
    if (WantsWrite(access) || (access & DELETE) || disposition == CREATE_NEW || disposition == CREATE_ALWAYS ||
        disposition == TRUNCATE_EXISTING || (!entry && disposition == OPEN_ALWAYS))
        return winsim::FailHandle(ERROR_ACCESS_DENIED);
    if (!entry)
        return winsim::FailHandle(ERROR_FILE_NOT_FOUND);
    SetLastError(disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return winsim::KernelObjects().Add(std::make_unique<StoreFile>(entry->content));
}

// open(2)'s flags for a disposition; false for one that is not known.
bool OpenFlags(DWORD access, DWORD disposition, int &flags)
{
    flags = O_CLOEXEC;
    if (WantsRead(access) && WantsWrite(access))
        flags |= O_RDWR;
    else if (WantsWrite(access))
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    switch (disposition) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        return true;
    case CREATE_ALWAYS:
        flags |= O_CREAT | O_TRUNC;
        return true;
    case OPEN_EXISTING:
        return true;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        return true;
    case TRUNCATE_EXISTING:
        flags |= O_TRUNC;
        return WantsWrite(access);
    default:
        return false;
    }
}

}  // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE)
{
    const winsim::Text path = winsim::TextOf(fileName);
    winsim::Trace("CreateFileW", "path=" + winsim::Narrow(path) + " access=" + winsim::Hex(desiredAccess) +
                                     " share=" + winsim::Hex(shareMode) + " disposition=" +
                                     std::to_string(disposition));
    if (auto fault = winsim::CheckFault("CreateFileW", path))
        return winsim::FailHandle(*fault);
    int flags = 0;
    if (!fileName || !OpenFlags(desiredAccess, disposition, flags))
        return winsim::FailHandle(ERROR_INVALID_PARAMETER);
    if (path.empty())
        return winsim::FailHandle(ERROR_PATH_NOT_FOUND);
    if (winsim::InInfDirectory(path))
        return OpenStoreFile(path, desiredAccess, disposition);

    HostPlace place;
    if (DWORD error = Locate(path, place))
        return winsim::FailHandle(error);
    if (place.exists) {
        if (S_ISDIR(place.info.st_mode))
            return winsim::FailHandle(ERROR_ACCESS_DENIED);
        if (disposition == CREATE_NEW)
            return winsim::FailHandle(ERROR_FILE_EXISTS);
        if (ReadOnlyFile(place.info) && (WantsWrite(desiredAccess) || disposition == CREATE_ALWAYS))
            return winsim::FailHandle(ERROR_ACCESS_DENIED);
        if (SharingViolation(place.info, desiredAccess, shareMode))
            return winsim::FailHandle(ERROR_SHARING_VIOLATION);
    } else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        return winsim::FailHandle(ERROR_FILE_NOT_FOUND);
    }
    const mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    const int fd = ::open(place.path.c_str(), flags, mode);
    if (fd < 0)
        return winsim::FailHandle(ErrorOfErrno(errno));
    HANDLE handle = winsim::KernelObjects().Add(std::make_unique<HostFile>(fd, desiredAccess, shareMode));
    const bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(place.exists && reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags)
{
    const winsim::Text from = winsim::TextOf(existingFileName);
    const winsim::Text to = winsim::TextOf(newFileName);
    winsim::Trace("MoveFileExW", "from=" + winsim::Narrow(from) + " to=" + winsim::Narrow(to) +
                                     " flags=" + winsim::Hex(flags));
    if (auto fault = winsim::CheckFault("MoveFileExW", from))
        return winsim::FailBool(*fault);
    // A delayed move (and none without a new name) is not modelled.
    if (!existingFileName || !newFileName || (flags & ~kKnownMoveFlags))
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    if (winsim::InInfDirectory(from) || winsim::InInfDirectory(to))
        return winsim::FailBool(ERROR_ACCESS_DENIED);
    HostPlace source, target;
    if (Locate(from, source) || !source.exists)
        return winsim::FailBool(MissingFileError(from));
    if (SharingViolation(source.info, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return winsim::FailBool(ERROR_SHARING_VIOLATION);
    if (DWORD error = Locate(to, target))
        return winsim::FailBool(error);
    if (target.exists && target.path != source.path) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING))
            return winsim::FailBool(ERROR_ALREADY_EXISTS);
        if (S_ISDIR(target.info.st_mode) || ReadOnlyFile(target.info))
            return winsim::FailBool(ERROR_ACCESS_DENIED);
        if (SharingViolation(target.info, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
            return winsim::FailBool(ERROR_SHARING_VIOLATION);
    }
    // Across file systems the move fails with 17: copying is not modelled.
    if (std::rename(source.path.c_str(), target.path.c_str()) != 0)
        return winsim::FailBool(ErrorOfErrno(errno));
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName)
{
    const winsim::Text path = winsim::TextOf(fileName);
    winsim::Trace("DeleteFileW", "path=" + winsim::Narrow(path));
    if (auto fault = winsim::CheckFault("DeleteFileW", path))
        return winsim::FailBool(*fault);
    if (!fileName)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    if (winsim::InInfDirectory(path))
        return winsim::FailBool(ERROR_ACCESS_DENIED);
    HostPlace place;
    if (path.empty() || Locate(path, place) || !place.exists)
        return winsim::FailBool(path.empty() ? ERROR_PATH_NOT_FOUND : MissingFileError(path));
    if (S_ISDIR(place.info.st_mode) || ReadOnlyFile(place.info))
        return winsim::FailBool(ERROR_ACCESS_DENIED);
    if (SharingViolation(place.info, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return winsim::FailBool(ERROR_SHARING_VIOLATION);
    if (::unlink(place.path.c_str()) != 0)
        return winsim::FailBool(ErrorOfErrno(errno));
    return TRUE;
}
