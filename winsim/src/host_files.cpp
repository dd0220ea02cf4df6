// The machine's file system is the host's, with Windows' way of finding
// names: '\' separates them as '/' does, and a name is found whatever the
// letter case of its ASCII letters, as NTFS finds it.  Names keep the case
// they were written in.
#include <dirent.h>
#include <sys/stat.h>

#include "core_internal.h"
#include "winsim/machine.h"

namespace winsim {

namespace {

bool Exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool SameNameNoCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (FoldUnit(static_cast<unsigned char>(a[i])) != FoldUnit(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The entry of 'dir' named 'name' in another case; of several, the first in
// byte order, so that the choice does not depend on the directory's order.
std::optional<std::string> EntryNoCase(const std::string &dir, const std::string &name)
{
    DIR *stream = opendir(dir.empty() ? "." : dir.c_str());
    if (stream == nullptr)
        return std::nullopt;
    std::optional<std::string> found;
    while (struct dirent *entry = readdir(stream)) {
        const std::string candidate = entry->d_name;
        if (SameNameNoCase(candidate, name) && (!found || candidate < *found))
            found = candidate;
    }
    closedir(stream);
    return found;
}

}  // namespace

std::optional<std::string> FindHostPath(const Text &path)
{
    std::string text = Narrow(path);
    for (char &c : text)
        if (c == '\\')
            c = '/';
    if (text.empty())
        return std::nullopt;
    std::string found = text[0] == '/' ? "/" : "";
    for (size_t start = 0, end; start <= text.size(); start = end + 1) {
        end = std::min(text.find('/', start), text.size());
        const std::string name = text.substr(start, end - start);
        if (name.empty() || name == ".")
            continue;
        const std::string dir = found;
        if (!found.empty() && found.back() != '/')
            found += '/';
        if (name == ".." || Exists(found + name)) {
            found += name;
            continue;
        }
        auto entry = EntryNoCase(dir, name);
        if (!entry)
            return std::nullopt;
        found += *entry;
    }
    return found.empty() ? std::string(".") : found;
}

}  // namespace winsim
