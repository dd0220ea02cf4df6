// Files of the host: reading and writing them whole, scratch directories,
// the current directory, and the program's log without its time stamps.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "hosttools/hosttools.h"

namespace fs = std::filesystem;

namespace hosttools {

std::optional<std::string> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return bytes.str();
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty())
        fs::create_directories(parent);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    // Closed here so that a failure to flush the last bytes is seen too.
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

ScratchDir::ScratchDir(const std::string &prefix)
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory in " + pattern + ": " + std::strerror(errno));
    dir_ = pattern;
}

ScratchDir::~ScratchDir()
{
    // Entries a test made read-only must go too.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(dir_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
}

WorkingDirectory::WorkingDirectory(const std::string &dir) : previous_(fs::current_path().string())
{
    fs::current_path(dir);
}

WorkingDirectory::~WorkingDirectory()
{
    std::error_code ignored;
    fs::current_path(previous_, ignored);
}

namespace {

bool Digits(const std::string &text, size_t at, size_t count)
{
    for (size_t i = at; i < at + count; i++)
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

// The length of a time stamp starting at 'at', or 0: "[MM/DD/" and a year of
// one or more digits, then " HH:MM:SS.mmm]".
size_t StampAt(const std::string &log, size_t at)
{
    if (log[at] != '[' || !Digits(log, at + 1, 2) || log.compare(at + 3, 1, "/") != 0 || !Digits(log, at + 4, 2) ||
        log.compare(at + 6, 1, "/") != 0 || !Digits(log, at + 7, 1))
        return 0;
    size_t k = at + 7;
    while (Digits(log, k, 1))
        k++;
    static const char kTime[] = " 00:00:00.000]";
    for (size_t i = 0; i + 1 < sizeof kTime; i++, k++) {
        if (k >= log.size() || (kTime[i] == '0' ? !Digits(log, k, 1) : log[k] != kTime[i]))
            return 0;
    }
    return k - at;
}

}  // namespace

std::string MaskTimes(const std::string &log, const std::string &mask)
{
    std::string out;
    out.reserve(log.size());
    for (size_t i = 0; i < log.size(); i++) {
        if (size_t length = StampAt(log, i)) {
            out += mask;
            i += length - 1;
            continue;
        }
        out.push_back(log[i]);
    }
    return out;
}

}  // namespace hosttools
