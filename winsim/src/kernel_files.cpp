// File search on the host file system, as the kernel's FindFirstFileW and
// FindClose give it: "\\" is the separator, names compare without case, in
// the directory part as in the last.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

struct FindState {
    std::vector<std::string> names;
};

winsim::HandleTable<FindState> &FindHandles()
{
    static winsim::HandleTable<FindState> handles;
    return handles;
}

bool IsDirectory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FILETIME ToFileTime(const struct timespec &ts)
{
    // 100 ns intervals since 1601-01-01.
    const uint64_t epochDelta = 11644473600ULL;
    uint64_t ticks = (static_cast<uint64_t>(ts.tv_sec) + epochDelta) * 10000000ULL +
                     static_cast<uint64_t>(ts.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

void FillFindData(const std::string &dir, const std::string &name, WIN32_FIND_DATAW &data)
{
    std::memset(&data, 0, sizeof data);
    struct stat st;
    if (stat((dir + "/" + name).c_str(), &st) == 0) {
        data.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        data.ftCreationTime = ToFileTime(st.st_mtim);
        data.ftLastAccessTime = ToFileTime(st.st_atim);
        data.ftLastWriteTime = ToFileTime(st.st_mtim);
        data.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
        data.nFileSizeLow = static_cast<DWORD>(st.st_size);
    }
    winsim::Text wide = winsim::Widen(name);
    size_t n = std::min<size_t>(wide.size(), MAX_PATH - 1);
    std::copy(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(n), data.cFileName);
    data.cFileName[n] = 0;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData)
{
    if (!fileName || !findData)
        return winsim::FailHandle(ERROR_INVALID_PARAMETER);
    const winsim::Text windowsPath(fileName);
    winsim::Trace("FindFirstFileW", "path=" + winsim::Narrow(windowsPath));
    if (auto fault = winsim::CheckFault("FindFirstFileW", windowsPath))
        return winsim::FailHandle(*fault);
    if (windowsPath.empty())
        return winsim::FailHandle(ERROR_PATH_NOT_FOUND);
    const size_t slash = windowsPath.find_last_of(u"\\/");
    // The directory is found as NTFS finds it, without regard to case.
    const auto dir = slash == winsim::Text::npos ? std::optional<std::string>(".")
                                                 : winsim::FindHostPath(slash == 0 ? u"/" : windowsPath.substr(0, slash));
    std::string pattern = winsim::Narrow(slash == winsim::Text::npos ? windowsPath : windowsPath.substr(slash + 1));
    if (!dir || !IsDirectory(*dir))
        return winsim::FailHandle(ERROR_PATH_NOT_FOUND);
    // A trailing separator names no file.
    if (pattern.empty())
        return winsim::FailHandle(ERROR_FILE_NOT_FOUND);
    if (pattern == "*.*")
        pattern = "*";  // Windows matches names without a dot too
    std::vector<std::string> names;
    if (DIR *stream = opendir(dir->c_str())) {
        while (struct dirent *entry = readdir(stream)) {
            // File names compare without case, as on Windows.
            if (fnmatch(pattern.c_str(), entry->d_name, FNM_CASEFOLD) == 0)
                names.push_back(entry->d_name);
        }
        closedir(stream);
    }
    if (names.empty())
        return winsim::FailHandle(ERROR_FILE_NOT_FOUND);
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        bool aDots = a == "." || a == "..", bDots = b == "." || b == "..";
        if (aDots != bDots)
            return aDots;
        return a < b;
    });
    FillFindData(*dir, names.front(), *findData);
    return FindHandles().Add(std::make_unique<FindState>(FindState{names}));
}

BOOL FindClose(HANDLE findFile)
{
    winsim::Trace("FindClose", "");
    if (!FindHandles().Remove(findFile))
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    return TRUE;
}
