// Registry functions over the machine's HKEY_LOCAL_MACHINE tree.  A handle
// remembers the key's path and the access it was opened with, or holds a key
// of its own: a device's driver key as the setup library opens it.
#include <cstring>
#include <memory>
#include <string>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kRegOptionOpenLink = 0x8;
constexpr DWORD kRegOptionVolatile = 0x1;
constexpr LSTATUS kErrorBadPathname = ERROR_BAD_PATHNAME;

struct OpenKey {
    winsim::Text path;   // under HKLM, as the caller spelled it
    REGSAM access = 0;
    // A key that is not in the tree, read through this handle only.
    std::shared_ptr<winsim::RegKey> detached;
};

winsim::HandleTable<OpenKey> &OpenKeys()
{
    static winsim::HandleTable<OpenKey> keys;
    return keys;
}

REGSAM Granted(REGSAM access)
{
    if (access & (kMaximumAllowed | kGenericAll))
        return KEY_ALL_ACCESS;
    return access;
}

// The open key a handle refers to, or null for a stale or foreign handle.
OpenKey *Handle(HKEY key)
{
    static OpenKey root{winsim::Text(), KEY_ALL_ACCESS, nullptr};
    if (key == HKEY_LOCAL_MACHINE)
        return &root;
    return OpenKeys().Find(key);
}

// The full path of 'subKey' below 'key'; false for a handle that is not open.
bool Resolve(HKEY key, const winsim::Text &subKey, winsim::Text &path)
{
    const OpenKey *open = Handle(key);
    if (!open)
        return false;
    if (open->detached)
        return false;   // opening keys from a detached one is not modelled
    path = open->path;
    if (!subKey.empty())
        path = path.empty() ? subKey : path + u"\\" + subKey;
    return true;
}

// The key behind an open handle that grants 'needed'.
LSTATUS OpenedKey(HKEY key, REGSAM needed, winsim::RegKey *&found)
{
    const OpenKey *open = Handle(key);
    if (!open)
        return ERROR_INVALID_HANDLE;
    if (!(open->access & needed))
        return ERROR_ACCESS_DENIED;
    found = open->detached ? open->detached.get() : winsim::FindKey(open->path);
    if (!found)
        return ERROR_INVALID_HANDLE;  // the key went away under the handle
    return ERROR_SUCCESS;
}

HKEY NewHandle(const winsim::Text &path, REGSAM access)
{
    return reinterpret_cast<HKEY>(OpenKeys().Add(std::make_unique<OpenKey>(OpenKey{path, Granted(access), nullptr})));
}

}  // namespace

namespace winsim {

HKEY OpenDetachedKey(const Text &path, RegKey key, REGSAM access)
{
    return reinterpret_cast<HKEY>(OpenKeys().Add(
        std::make_unique<OpenKey>(OpenKey{path, Granted(access), std::make_shared<RegKey>(std::move(key))})));
}

size_t OpenRegistryKeys()
{
    return OpenKeys().Count();
}

}  // namespace winsim

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    const winsim::Text sub = winsim::TextOf(subKey);
    winsim::Text path;
    bool known = Resolve(key, sub, path);
    winsim::Trace("RegOpenKeyExW", "path=" + winsim::Narrow(path) + " access=" + winsim::Hex(access));
    if (auto fault = winsim::CheckFault("RegOpenKeyExW", path))
        return static_cast<LSTATUS>(*fault);
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (!known)
        return Handle(key) ? ERROR_CALL_NOT_IMPLEMENTED : ERROR_INVALID_HANDLE;
    if (options & ~kRegOptionOpenLink)
        return ERROR_INVALID_PARAMETER;
    if (!sub.empty() && sub.front() == u'\\')
        return kErrorBadPathname;
    winsim::RegKey *found = winsim::FindKey(path);
    if (!found)
        return ERROR_FILE_NOT_FOUND;
    if (found->denyAccess)
        return ERROR_ACCESS_DENIED;
    *result = NewHandle(path, access);
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options, REGSAM access,
                        const LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition)
{
    (void)className;
    (void)security;
    const winsim::Text sub = winsim::TextOf(subKey);
    winsim::Text path;
    bool known = Resolve(key, sub, path);
    winsim::Trace("RegCreateKeyExW", "path=" + winsim::Narrow(path) + " access=" + winsim::Hex(access) +
                                         " options=" + winsim::Hex(options));
    if (auto fault = winsim::CheckFault("RegCreateKeyExW", path))
        return static_cast<LSTATUS>(*fault);
    if (!result || reserved != 0 || !subKey)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (!known)
        return Handle(key) ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
    if (options & ~(kRegOptionVolatile | kRegOptionOpenLink))
        return ERROR_INVALID_PARAMETER;
    if (!sub.empty() && sub.front() == u'\\')
        return kErrorBadPathname;

    // Walk down, creating what is missing; a denied key refuses both being
    // opened and having keys created below it.
    winsim::Text walked;
    winsim::RegKey *current = winsim::FindKey(winsim::Text());
    bool created = false;
    for (const winsim::Text &part : winsim::SplitKeyPath(path)) {
        walked = walked.empty() ? part : walked + u"\\" + part;
        winsim::RegKey *next = winsim::FindKey(walked);
        if (!next) {
            if (current->denyAccess)
                return ERROR_ACCESS_DENIED;
            next = winsim::FindKey(walked, true);
            created = true;
        }
        current = next;
    }
    if (current->denyAccess)
        return ERROR_ACCESS_DENIED;
    *result = NewHandle(path, access);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize)
{
    const winsim::Text name = winsim::TextOf(valueName);
    winsim::Trace("RegQueryValueExW", "name=" + winsim::Narrow(name) +
                                          " size=" + (dataSize ? std::to_string(*dataSize) : "null"));
    if (auto fault = winsim::CheckFault("RegQueryValueExW", name))
        return static_cast<LSTATUS>(*fault);
    if (reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    winsim::RegKey *found;
    if (LSTATUS status = OpenedKey(key, KEY_QUERY_VALUE, found))
        return status;
    auto it = found->values.find(winsim::Fold(name));
    if (it == found->values.end())
        return ERROR_FILE_NOT_FOUND;
    const winsim::RegValue &value = it->second.second;
    const DWORD needed = static_cast<DWORD>(value.data.size());
    if (type)
        *type = value.type;
    if (!data) {
        if (dataSize)
            *dataSize = needed;
        return ERROR_SUCCESS;
    }
    if (*dataSize < needed) {
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    std::copy(value.data.begin(), value.data.end(), data);
    *dataSize = needed;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE *data, DWORD dataSize)
{
    const winsim::Text name = winsim::TextOf(valueName);
    winsim::Trace("RegSetValueExW", "name=" + winsim::Narrow(name) + " type=" + std::to_string(type) +
                                        " size=" + std::to_string(dataSize));
    if (auto fault = winsim::CheckFault("RegSetValueExW", name))
        return static_cast<LSTATUS>(*fault);
    if (reserved != 0 || (!data && dataSize))
        return ERROR_INVALID_PARAMETER;
    winsim::RegKey *found;
    if (LSTATUS status = OpenedKey(key, KEY_SET_VALUE, found))
        return status;
    winsim::SetValueIn(*found, name, type, std::vector<uint8_t>(data, data + dataSize));
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key)
{
    winsim::Trace("RegCloseKey", "");
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;  // predefined keys need no closing
    if (!OpenKeys().Remove(key))
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameUnits, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    const OpenKey *open = Handle(key);
    const winsim::Text path = open ? open->path : winsim::Text();
    winsim::Trace("RegEnumValueW", "path=" + winsim::Narrow(path) + " index=" + std::to_string(index));
    if (auto fault = winsim::CheckFault("RegEnumValueW", path))
        return static_cast<LSTATUS>(*fault);
    if (reserved || !valueName || !valueNameUnits || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    winsim::RegKey *found;
    if (LSTATUS status = OpenedKey(key, KEY_QUERY_VALUE, found))
        return status;
    if (index >= found->values.size())
        return ERROR_NO_MORE_ITEMS;
    // Values in the registry's order: by name, ASCII case aside.
    auto it = std::next(found->values.begin(), static_cast<std::ptrdiff_t>(index));
    const winsim::Text &name = it->second.first;
    const winsim::RegValue &value = it->second.second;
    // A name that does not fit is not stored, nor its size.
    if (*valueNameUnits < name.size() + 1)
        return ERROR_MORE_DATA;
    std::memcpy(valueName, name.data(), name.size() * sizeof(WCHAR));
    valueName[name.size()] = 0;
    *valueNameUnits = static_cast<DWORD>(name.size());
    if (type)
        *type = value.type;
    const DWORD needed = static_cast<DWORD>(value.data.size());
    if (data && *dataSize < needed) {
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    if (data)
        std::copy(value.data.begin(), value.data.end(), data);
    if (dataSize)
        *dataSize = needed;
    return ERROR_SUCCESS;
}
