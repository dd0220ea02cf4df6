// File search, as the kernel's FindFirstFileW, FindNextFileW and FindClose
// give it: "\\" is the separator, names compare without case, in the
// directory part as in the last.  The folder of the published INFs
// (C:\Windows\INF) lists the driver store's entries; every other path is
// searched on the host file system.
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

// What a search found, in the order it hands them out.
struct FindState {
    std::vector<WIN32_FIND_DATAW> found;
    size_t next = 1;   // the first went back with FindFirstFileW
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

WIN32_FIND_DATAW FindData(const std::string &name, DWORD attributes, uint64_t size)
{
    WIN32_FIND_DATAW data;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = attributes;
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    winsim::Text wide = winsim::Widen(name);
    size_t n = std::min<size_t>(wide.size(), MAX_PATH - 1);
    std::copy(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(n), data.cFileName);
    data.cFileName[n] = 0;
    return data;
}

WIN32_FIND_DATAW HostFindData(const std::string &dir, const std::string &name)
{
    struct stat st;
    if (stat((dir + "/" + name).c_str(), &st) != 0)
        return FindData(name, 0, 0);
    WIN32_FIND_DATAW data = FindData(name, S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL,
                                     static_cast<uint64_t>(st.st_size));
    data.ftCreationTime = ToFileTime(st.st_mtim);
    data.ftLastAccessTime = ToFileTime(st.st_atim);
    data.ftLastWriteTime = ToFileTime(st.st_mtim);
    return data;
}

// "." and ".." first, then the names in byte order.
void SortNames(std::vector<std::string> &names)
{
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        bool aDots = a == "." || a == "..", bDots = b == "." || b == "..";
        if (aDots != bDots)
            return aDots;
        return a < b;
    });
}

// The host directory's entries that match; 0 or the error to fail with.
uint32_t SearchHost(const winsim::Text &windowsPath, size_t slash, const std::string &pattern,
                    std::vector<WIN32_FIND_DATAW> &found)
{
    // The directory is found as NTFS finds it, without regard to case.
    const auto dir = slash == winsim::Text::npos
                         ? std::optional<std::string>(".")
                         : winsim::FindHostPath(slash == 0 ? u"/" : windowsPath.substr(0, slash));
    if (!dir || !IsDirectory(*dir))
        return ERROR_PATH_NOT_FOUND;
    std::vector<std::string> names;
    if (DIR *stream = opendir(dir->c_str())) {
        while (struct dirent *entry = readdir(stream))
            if (winsim::MatchesPattern(pattern, entry->d_name))
                names.push_back(entry->d_name);
        closedir(stream);
    }
    SortNames(names);
    for (const std::string &name : names)
        found.push_back(HostFindData(*dir, name));
    return 0;
}

// The published INFs that match, in the order NTFS lists a folder (by name,
// letter case aside), after the folder's own "." and "..".
void SearchInfDirectory(const std::string &pattern, std::vector<WIN32_FIND_DATAW> &found)
{
    for (const char *dots : {".", ".."})
        if (winsim::MatchesPattern(pattern, dots))
            found.push_back(FindData(dots, FILE_ATTRIBUTE_DIRECTORY, 0));
    std::vector<const winsim::DriverStoreEntry *> entries;
    for (const winsim::DriverStoreEntry &entry : winsim::Current().driverStore)
        if (winsim::MatchesPattern(pattern, winsim::Narrow(entry.publishedName)))
            entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](const auto *a, const auto *b) {
        return winsim::Fold(a->publishedName) < winsim::Fold(b->publishedName);
    });
    for (const winsim::DriverStoreEntry *entry : entries)
        found.push_back(FindData(winsim::Narrow(entry->publishedName), FILE_ATTRIBUTE_ARCHIVE, entry->content.size()));
}

}  // namespace

namespace winsim {

bool MatchesPattern(const std::string &pattern, const std::string &name)
{
    // Windows matches names without a dot to "*.*" too.
    const std::string effective = pattern == "*.*" ? "*" : pattern;
    return fnmatch(effective.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
}

bool InInfDirectory(const Text &path, Text *name)
{
    const size_t slash = path.find_last_of(u"\\/");
    if (slash == Text::npos)
        return false;
    Text dir = path.substr(0, slash);
    std::replace(dir.begin(), dir.end(), u'/', u'\\');
    if (!EqualNoCase(dir, kInfDirectory))
        return false;
    if (name)
        *name = path.substr(slash + 1);
    return true;
}

const DriverStoreEntry *StoreEntryAt(const Machine &machine, const Text &path)
{
    Text name;
    if (!InInfDirectory(path, &name))
        return nullptr;
    for (const DriverStoreEntry &entry : machine.driverStore)
        if (EqualNoCase(entry.publishedName, name))
            return &entry;
    return nullptr;
}

size_t OpenFindHandles()
{
    return FindHandles().Count();
}

}  // namespace winsim

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
    const std::string pattern =
        winsim::Narrow(slash == winsim::Text::npos ? windowsPath : windowsPath.substr(slash + 1));
    auto state = std::make_unique<FindState>();
    if (winsim::InInfDirectory(windowsPath)) {
        SearchInfDirectory(pattern, state->found);
    } else if (uint32_t error = SearchHost(windowsPath, slash, pattern, state->found)) {
        return winsim::FailHandle(error);
    }
    // A trailing separator names no file.
    if (pattern.empty() || state->found.empty())
        return winsim::FailHandle(ERROR_FILE_NOT_FOUND);
    *findData = state->found.front();
    return FindHandles().Add(std::move(state));
}

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData)
{
    winsim::Trace("FindNextFileW", "");
    if (auto fault = winsim::CheckFault("FindNextFileW"))
        return winsim::FailBool(*fault);
    FindState *state = FindHandles().Find(findFile);
    if (state == nullptr)
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    if (findData == nullptr)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    if (state->next >= state->found.size())
        return winsim::FailBool(ERROR_NO_MORE_FILES);
    *findData = state->found[state->next++];
    return TRUE;
}

BOOL FindClose(HANDLE findFile)
{
    winsim::Trace("FindClose", "");
    if (!FindHandles().Remove(findFile))
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    return TRUE;
}
