// The service control manager over the services of the machine's registry
// (keys of SYSTEM\CurrentControlSet\Services with Type, Start and
// ErrorControl, see InServiceDatabase): opening the manager and a service,
// listing them and reading a service's configuration.  A service marked for
// deletion is listed and read until the reboot takes its key, as Windows
// keeps it.  Whether a driver service runs is whether a started device uses
// it; a Win32 service is reported stopped (their processes are not
// modelled).  Only the local machine's active database is modelled.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

constexpr DWORD kErrorInvalidName = ERROR_INVALID_NAME;
constexpr size_t kLongestServiceName = 256;
constexpr DWORD kKnownTypes = SERVICE_DRIVER | SERVICE_ADAPTER | SERVICE_WIN32;

// What a member of the Users group is granted without elevation.
constexpr DWORD kManagerUserRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                     SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kServiceUserRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

struct Generic {
    DWORD read, write, execute, all;
};
constexpr Generic kManagerMapping = {SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL,
                                     SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG | READ_CONTROL,
                                     SC_MANAGER_CONNECT | SC_MANAGER_LOCK | READ_CONTROL, SC_MANAGER_ALL_ACCESS};
constexpr Generic kServiceMapping = {SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                                         SERVICE_ENUMERATE_DEPENDENTS | READ_CONTROL,
                                     SERVICE_CHANGE_CONFIG | READ_CONTROL,
                                     SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                         SERVICE_USER_DEFINED_CONTROL | READ_CONTROL,
                                     SERVICE_ALL_ACCESS};

// The object behind an SC_HANDLE: the manager, or a service by its name.
struct ScObject {
    bool isService = false;
    DWORD access = 0;
    winsim::Text name;
};

winsim::HandleTable<ScObject> &ScHandles()
{
    static winsim::HandleTable<ScObject> handles;
    return handles;
}

ScObject *Lookup(SC_HANDLE handle, bool service)
{
    ScObject *object = ScHandles().Find(handle);
    return object && object->isService == service ? object : nullptr;
}

SC_HANDLE AddHandle(ScObject object)
{
    return reinterpret_cast<SC_HANDLE>(ScHandles().Add(std::make_unique<ScObject>(std::move(object))));
}

// The rights a request comes to, generic ones mapped; nothing when the
// caller may not have them all (without elevation only the users' rights).
std::optional<DWORD> Grant(DWORD desired, const Generic &mapping, DWORD userRights)
{
    const DWORD allowed = winsim::Current().administrator ? mapping.all | READ_CONTROL | DELETE : userRights;
    if (desired & MAXIMUM_ALLOWED)
        return allowed;
    DWORD rights = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ)
        rights |= mapping.read;
    if (desired & GENERIC_WRITE)
        rights |= mapping.write;
    if (desired & GENERIC_EXECUTE)
        rights |= mapping.execute;
    if (desired & GENERIC_ALL)
        rights |= mapping.all;
    if (rights & ~allowed)
        return std::nullopt;
    return rights;
}

// The services the manager knows, in its order (by name, ASCII case aside).
std::vector<winsim::Service> Database()
{
    std::vector<winsim::Service> services = winsim::Services(winsim::Current());
    std::vector<winsim::Service> known;
    for (auto &service : services)
        if (winsim::InServiceDatabase(service))
            known.push_back(std::move(service));
    return known;
}

std::optional<winsim::Service> FindKnown(const winsim::Text &name)
{
    auto service = winsim::FindService(winsim::Current(), name);
    if (!service || !winsim::InServiceDatabase(*service))
        return std::nullopt;
    return service;
}

// A service without a DisplayName value is shown by its name.
winsim::Text DisplayName(const winsim::Service &service)
{
    return service.displayName ? *service.displayName : service.name;
}

// A driver service runs while a started device uses it.
DWORD CurrentState(const winsim::Service &service)
{
    if (service.type & SERVICE_DRIVER)
        for (const winsim::Device &device : winsim::Current().devices)
            if (!device.removed && device.registered && device.present && (device.status & DN_STARTED) &&
                winsim::EqualNoCase(device.service, service.name))
                return SERVICE_RUNNING;
    return SERVICE_STOPPED;
}

// Strings packed from the end of a caller's buffer, each with its NUL.
class StringArea {
public:
    StringArea(BYTE *buffer, size_t end) : buffer_(buffer), end_(end) {}
    LPWSTR Put(const winsim::Text &text)
    {
        end_ -= (text.size() + 1) * sizeof(WCHAR);
        auto *at = reinterpret_cast<LPWSTR>(buffer_ + end_);
        std::memcpy(at, text.data(), text.size() * sizeof(WCHAR));
        at[text.size()] = 0;
        return at;
    }

private:
    BYTE *buffer_;
    size_t end_;
};

size_t TextBytes(const winsim::Text &text)
{
    return (text.size() + 1) * sizeof(WCHAR);
}

size_t EntryBytes(const winsim::Service &service)
{
    return sizeof(ENUM_SERVICE_STATUS_PROCESSW) + TextBytes(service.name) + TextBytes(DisplayName(service));
}

// A text value of the service's key; the fallback when it has none.
winsim::Text KeyText(const winsim::Service &service, const char16_t *value, const winsim::Text &fallback)
{
    const winsim::RegKey *key =
        winsim::FindKey(winsim::Current(), winsim::Text(winsim::kServicesKeyPath) + u"\\" + service.name);
    const winsim::RegValue *found = key ? winsim::ValueOf(*key, value) : nullptr;
    if (!found || (found->type != REG_SZ && found->type != REG_EXPAND_SZ))
        return fallback;
    winsim::Text text = winsim::UnitsOf(found->data.data(), found->data.size());
    return text.substr(0, text.find(u'\0'));
}

// The dependencies as the manager gives them: the services, then the groups
// with the group mark, each with its NUL, then the list's NUL.
winsim::Text Dependencies(const winsim::Service &service)
{
    const winsim::Text keyPath = winsim::Text(winsim::kServicesKeyPath) + u"\\" + service.name;
    winsim::Text list;
    for (const winsim::Text &name : winsim::ReadMultiString(winsim::Current(), keyPath, u"DependOnService"))
        list += name + u'\0';
    for (const winsim::Text &group : winsim::ReadMultiString(winsim::Current(), keyPath, u"DependOnGroup"))
        list += u'+' + group + u'\0';
    return list;   // the caller's Put adds the closing NUL
}

}  // namespace

size_t winsim::OpenServiceHandles()
{
    return ScHandles().Count();
}

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess)
{
    winsim::Trace("OpenSCManagerW", "machine=" + winsim::TextArg(machineName) + " database=" +
                                        winsim::TextArg(databaseName) + " access=" + winsim::Hex(desiredAccess));
    if (auto fault = winsim::CheckFault("OpenSCManagerW")) {
        SetLastError(*fault);
        return nullptr;
    }
    // Other machines' managers are not modelled.
    if (machineName && machineName[0]) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (databaseName && !winsim::EqualNoCase(databaseName, SERVICES_ACTIVE_DATABASEW)) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    const auto granted = Grant(desiredAccess, kManagerMapping, kManagerUserRights);
    if (!granted) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return AddHandle(ScObject{false, *granted | SC_MANAGER_CONNECT, winsim::Text()});
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess)
{
    const winsim::Text name = winsim::TextOf(serviceName);
    winsim::Trace("OpenServiceW", "name=" + winsim::Narrow(name) + " access=" + winsim::Hex(desiredAccess));
    if (auto fault = winsim::CheckFault("OpenServiceW", name)) {
        SetLastError(*fault);
        return nullptr;
    }
    if (!Lookup(manager, false)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!serviceName || name.empty() || name.size() > kLongestServiceName ||
        name.find_first_of(u"\\/") != winsim::Text::npos) {
        SetLastError(kErrorInvalidName);
        return nullptr;
    }
    auto service = FindKnown(name);
    if (!service) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    const auto granted = Grant(desiredAccess, kServiceMapping, kServiceUserRights);
    if (!granted) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return AddHandle(ScObject{true, *granted, service->name});
}

BOOL EnumServicesStatusExW(SC_HANDLE manager, SC_ENUM_TYPE infoLevel, DWORD serviceType, DWORD serviceState,
                           LPBYTE services, DWORD bufferSize, LPDWORD bytesNeeded, LPDWORD servicesReturned,
                           LPDWORD resumeHandle, LPCWSTR groupName)
{
    winsim::Trace("EnumServicesStatusExW", "type=" + winsim::Hex(serviceType) + " state=" +
                                               std::to_string(serviceState) + " size=" + std::to_string(bufferSize) +
                                               " resume=" + (resumeHandle ? std::to_string(*resumeHandle) : "null"));
    if (auto fault = winsim::CheckFault("EnumServicesStatusExW"))
        return winsim::FailBool(*fault);
    const ScObject *open = Lookup(manager, false);
    if (!open)
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    if (!(open->access & SC_MANAGER_ENUMERATE_SERVICE))
        return winsim::FailBool(ERROR_ACCESS_DENIED);
    if (infoLevel != SC_ENUM_PROCESS_INFO)
        return winsim::FailBool(ERROR_INVALID_LEVEL);
    if (serviceType == 0 || (serviceType & ~kKnownTypes) || serviceState < SERVICE_ACTIVE ||
        serviceState > SERVICE_STATE_ALL || !bytesNeeded || !servicesReturned || (!services && bufferSize))
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    // Load-order groups are not modelled.
    if (groupName)
        return winsim::FailBool(ERROR_CALL_NOT_IMPLEMENTED);

    std::vector<winsim::Service> listed;
    for (auto &service : Database()) {
        const bool active = CurrentState(service) != SERVICE_STOPPED;
        if ((service.type & serviceType) && (serviceState & (active ? SERVICE_ACTIVE : SERVICE_INACTIVE)))
            listed.push_back(std::move(service));
    }
    size_t index = resumeHandle ? *resumeHandle : 0;
    *servicesReturned = 0;
    *bytesNeeded = 0;
    auto *entries = reinterpret_cast<LPENUM_SERVICE_STATUS_PROCESSW>(services);
    size_t used = 0;   // bytes of the records so far; the texts go from the end
    StringArea texts(services, bufferSize);
    size_t textBytes = 0;
    for (; index < listed.size(); index++) {
        const winsim::Service &service = listed[index];
        if (used + EntryBytes(service) + textBytes > bufferSize)
            break;
        ENUM_SERVICE_STATUS_PROCESSW &entry = entries[*servicesReturned];
        std::memset(&entry, 0, sizeof entry);
        entry.lpServiceName = texts.Put(service.name);
        entry.lpDisplayName = texts.Put(DisplayName(service));
        entry.ServiceStatusProcess.dwServiceType = service.type;
        entry.ServiceStatusProcess.dwCurrentState = CurrentState(service);
        used += sizeof entry;
        textBytes += TextBytes(service.name) + TextBytes(DisplayName(service));
        ++*servicesReturned;
    }
    if (index < listed.size()) {
        for (size_t rest = index; rest < listed.size(); rest++)
            *bytesNeeded += static_cast<DWORD>(EntryBytes(listed[rest]));
        if (resumeHandle)
            *resumeHandle = static_cast<DWORD>(index);
        return winsim::FailBool(ERROR_MORE_DATA);
    }
    if (resumeHandle)
        *resumeHandle = 0;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL QueryServiceConfigW(SC_HANDLE handle, LPQUERY_SERVICE_CONFIGW config, DWORD bufferSize, LPDWORD bytesNeeded)
{
    const ScObject *open = Lookup(handle, true);
    winsim::Trace("QueryServiceConfigW", "name=" + winsim::Narrow(open ? open->name : winsim::Text()) +
                                             " size=" + std::to_string(bufferSize));
    if (auto fault = winsim::CheckFault("QueryServiceConfigW", open ? open->name : winsim::Text()))
        return winsim::FailBool(*fault);
    if (!open)
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    if (!(open->access & SERVICE_QUERY_CONFIG))
        return winsim::FailBool(ERROR_ACCESS_DENIED);
    if (!bytesNeeded)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    auto service = FindKnown(open->name);
    if (!service)
        return winsim::FailBool(ERROR_SERVICE_DOES_NOT_EXIST);   // its key went away under the handle

    const winsim::Text binary = service->imagePath.value_or(winsim::Text());
    const winsim::Text group = KeyText(*service, u"Group", winsim::Text());
    const winsim::Text dependencies = Dependencies(*service);
    const winsim::Text account =
        KeyText(*service, u"ObjectName", (service->type & SERVICE_WIN32) ? u"LocalSystem" : winsim::Text());
    const winsim::Text display = DisplayName(*service);
    const size_t needed = sizeof(QUERY_SERVICE_CONFIGW) + TextBytes(binary) + TextBytes(group) +
                          TextBytes(dependencies) + TextBytes(account) + TextBytes(display);
    if (!config || bufferSize < needed) {
        *bytesNeeded = static_cast<DWORD>(needed);
        return winsim::FailBool(ERROR_INSUFFICIENT_BUFFER);
    }
    StringArea texts(reinterpret_cast<BYTE *>(config), needed);
    config->dwServiceType = service->type;
    config->dwStartType = service->start.value_or(0);
    config->dwErrorControl = service->errorControl.value_or(0);
    config->lpBinaryPathName = texts.Put(binary);
    config->lpLoadOrderGroup = texts.Put(group);
    const winsim::RegValue *tag = winsim::FindValue(winsim::Current(),
                                                    winsim::Text(winsim::kServicesKeyPath) + u"\\" + service->name,
                                                    u"Tag");
    config->dwTagId = tag ? winsim::DwordOf(*tag).value_or(0) : 0;
    config->lpDependencies = texts.Put(dependencies);
    config->lpServiceStartName = texts.Put(account);
    config->lpDisplayName = texts.Put(display);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle)
{
    winsim::Trace("CloseServiceHandle", "");
    if (!ScHandles().Remove(handle))
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    return TRUE;
}
