// Device information sets: building them from the machine's device list,
// enumerating their elements, creating new (not yet registered) elements and
// destroying sets.
#include <cstdio>

#include "setupapi_internal.h"

namespace winsim::setup {

namespace {

HandleTable<DeviceInfoSet> &Sets()
{
    static HandleTable<DeviceInfoSet> sets;
    return sets;
}

std::string GuidText(const GUID *guid)
{
    return guid ? GuidToString(*guid) : std::string("null");
}

// The instance ID of a new element: the name as given, or with
// DICD_GENERATE_ID "ROOT\<NAME>\NNNN" with the first free number.  0, or the
// error to fail with.
uint32_t NewInstanceId(const Machine &machine, const Text &name, DWORD creationFlags, Text &instanceId)
{
    if (!(creationFlags & DICD_GENERATE_ID)) {
        if (InstanceIdInUse(machine, name))
            return ERROR_DEVINST_ALREADY_EXISTS;
        instanceId = name;
        return 0;
    }
    if (name.find(u'\\') != Text::npos)
        return ERROR_INVALID_DEVINST_NAME;
    auto generated = FirstFreeInstanceId(machine, u"ROOT\\" + Fold(name) + u"\\", 9999);
    if (!generated)
        return ERROR_DEVINST_ALREADY_EXISTS;
    instanceId = *generated;
    return 0;
}

}  // namespace

DeviceInfoSet *LookupSet(HDEVINFO handle)
{
    return Sets().Find(handle);
}

HDEVINFO AddSet(std::unique_ptr<DeviceInfoSet> set)
{
    return Sets().Add(std::move(set));
}

bool RemoveSet(HDEVINFO handle)
{
    return Sets().Remove(handle);
}

void FillDeviceData(const DeviceInfoSet &set, size_t elementIndex, SP_DEVINFO_DATA *data)
{
    const DeviceElement &element = set.elements[elementIndex];
    const Device *device = DeviceOf(element);
    data->ClassGuid = device ? device->classGuid : GUID{};
    data->DevInst = element.devInst;
    data->Reserved = elementIndex + 1;
}

DeviceElement *ResolveElement(DeviceInfoSet &set, const SP_DEVINFO_DATA *data)
{
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return nullptr;
    if (data->Reserved == 0 || data->Reserved > set.elements.size())
        return nullptr;
    DeviceElement &element = set.elements[data->Reserved - 1];
    // A global removal clears the caller's DevInst; any other value must match.
    if (data->DevInst != 0 && data->DevInst != element.devInst)
        return nullptr;
    return &element;
}

Device *DeviceOf(const DeviceElement &element)
{
    auto &devices = Current().devices;
    if (element.devInst == 0 || element.devInst > devices.size())
        return nullptr;
    return &devices[element.devInst - 1];
}

Text SoftwareKey(const Device &device, DEVINST devInst)
{
    char number[8];
    std::snprintf(number, sizeof number, "%04u", devInst - 1);
    return u"SYSTEM\\CurrentControlSet\\Control\\Class\\" + Widen(GuidToString(device.classGuid)) + u"\\" +
           Widen(number);
}

Text SubjectOf(HDEVINFO handle, const SP_DEVINFO_DATA *data)
{
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return Text();
    DeviceElement *element = ResolveElement(*set, data);
    if (element == nullptr)
        return Text();
    Device *device = DeviceOf(*element);
    return device ? device->instanceId : Text();
}

}  // namespace winsim::setup

size_t winsim::OpenDeviceInfoSets()
{
    return setup::Sets().Count();
}

using namespace winsim;
using namespace winsim::setup;

HDEVINFO SetupDiGetClassDevsW(const GUID *classGuid, PCWSTR enumerator, HWND, DWORD flags)
{
    Text subject = classGuid ? Widen(GuidToString(*classGuid)) : Text();
    Trace("SetupDiGetClassDevsW", "class=" + GuidText(classGuid) +
                                      " enumerator=" + TextArg(enumerator) +
                                      " flags=" + Hex(flags));
    if (auto fault = CheckFault("SetupDiGetClassDevsW", subject))
        return FailHandle(*fault);
    const DWORD known = DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
    if (flags & ~known)
        return FailHandle(ERROR_INVALID_FLAGS);
    if (flags & DIGCF_DEVICEINTERFACE)
        return FailHandle(ERROR_CALL_NOT_IMPLEMENTED);   // interface lists are not modelled
    if (classGuid == nullptr && !(flags & DIGCF_ALLCLASSES))
        return FailHandle(ERROR_INVALID_PARAMETER);

    auto set = std::make_unique<DeviceInfoSet>();
    if (!(flags & DIGCF_ALLCLASSES))
        set->classGuid = *classGuid;
    const auto &devices = Current().devices;
    const Text wanted = TextOf(enumerator);
    for (size_t i = 0; i < devices.size(); i++) {
        const Device &device = devices[i];
        if (device.removed || !device.registered)
            continue;
        if ((flags & DIGCF_PRESENT) && !device.present)
            continue;
        if (!(flags & DIGCF_ALLCLASSES) && device.classGuid != *classGuid)
            continue;
        if (!wanted.empty() && !EqualNoCase(EnumeratorOf(device.instanceId), wanted) &&
            !EqualNoCase(device.instanceId, wanted))
            continue;
        DeviceElement element;
        element.devInst = static_cast<DEVINST>(i + 1);
        set->elements.push_back(element);
    }
    SetLastError(ERROR_SUCCESS);
    return AddSet(std::move(set));
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD memberIndex, PSP_DEVINFO_DATA deviceData)
{
    DeviceInfoSet *set = LookupSet(handle);
    Text subject;
    if (set && memberIndex < set->elements.size())
        if (Device *device = DeviceOf(set->elements[memberIndex]))
            subject = device->instanceId;
    Trace("SetupDiEnumDeviceInfo", "index=" + std::to_string(memberIndex) +
                                       " size=" + std::to_string(deviceData ? deviceData->cbSize : 0));
    if (auto fault = CheckFault("SetupDiEnumDeviceInfo", subject))
        return FailBool(*fault);
    if (set == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    if (deviceData == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    if (deviceData->cbSize != sizeof(SP_DEVINFO_DATA))
        return FailBool(ERROR_INVALID_USER_BUFFER);
    if (memberIndex >= set->elements.size())
        return FailBool(ERROR_NO_MORE_ITEMS);
    FillDeviceData(*set, memberIndex, deviceData);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    DeviceInfoSet *set = LookupSet(handle);
    Trace("SetupDiDestroyDeviceInfoList",
          "elements=" + std::to_string(set ? set->elements.size() : 0));
    if (auto fault = CheckFault("SetupDiDestroyDeviceInfoList"))
        return FailBool(*fault);
    if (set == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    // Elements made in this set and never registered go with it.
    for (const DeviceElement &element : set->elements)
        if (element.createdHere)
            if (Device *device = DeviceOf(element); device && !device->registered)
                device->removed = true;
    RemoveSet(handle);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID *classGuid, HWND)
{
    Trace("SetupDiCreateDeviceInfoList", "class=" + GuidText(classGuid));
    if (auto fault = CheckFault("SetupDiCreateDeviceInfoList", classGuid ? Widen(GuidToString(*classGuid)) : Text()))
        return FailHandle(*fault);
    auto set = std::make_unique<DeviceInfoSet>();
    if (classGuid)
        set->classGuid = *classGuid;
    SetLastError(ERROR_SUCCESS);
    return AddSet(std::move(set));
}

BOOL SetupDiCreateDeviceInfoW(HDEVINFO handle, PCWSTR deviceName, const GUID *classGuid,
                              PCWSTR deviceDescription, HWND, DWORD creationFlags, PSP_DEVINFO_DATA deviceData)
{
    Text name = TextOf(deviceName);
    Trace("SetupDiCreateDeviceInfoW", "name=" + Narrow(name) + " class=" + GuidText(classGuid) +
                                          " flags=" + Hex(creationFlags) +
                                          " size=" + std::to_string(deviceData ? deviceData->cbSize : 0));
    if (auto fault = CheckFault("SetupDiCreateDeviceInfoW", name))
        return FailBool(*fault);
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    if (creationFlags & ~static_cast<DWORD>(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS))
        return FailBool(ERROR_INVALID_FLAGS);
    if (name.empty())
        return FailBool(ERROR_INVALID_DEVINST_NAME);
    if (classGuid == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    if (deviceData && deviceData->cbSize != sizeof(SP_DEVINFO_DATA))
        return FailBool(ERROR_INVALID_USER_BUFFER);
    if (set->classGuid && *set->classGuid != *classGuid)
        return FailBool(ERROR_CLASS_MISMATCH);

    Machine &machine = Current();
    Text instanceId;
    if (uint32_t error = NewInstanceId(machine, name, creationFlags, instanceId))
        return FailBool(error);

    Device device;
    device.instanceId = instanceId;
    device.classGuid = *classGuid;
    if (deviceDescription)
        device.description = Text(deviceDescription);
    device.status = 0;
    device.present = false;
    device.registered = false;
    machine.devices.push_back(device);

    DeviceElement element;
    element.devInst = static_cast<DEVINST>(machine.devices.size());
    element.createdHere = true;
    set->elements.push_back(element);
    if (deviceData)
        FillDeviceData(*set, set->elements.size() - 1, deviceData);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO handle, PSP_DEVINFO_DATA deviceData, PWSTR deviceInstanceId,
                                 DWORD deviceInstanceIdSize, PDWORD requiredSize)
{
    Text subject = SubjectOf(handle, deviceData);
    Trace("SetupDiGetDeviceInstanceIdW",
          "device=" + Narrow(subject) + " size=" + std::to_string(deviceInstanceIdSize));
    if (auto fault = CheckFault("SetupDiGetDeviceInstanceIdW", subject))
        return FailBool(*fault);
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    DeviceElement *element = ResolveElement(*set, deviceData);
    if (element == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    if (deviceInstanceId == nullptr && deviceInstanceIdSize != 0)
        return FailBool(ERROR_INVALID_USER_BUFFER);
    const Device *device = DeviceOf(*element);
    if (device == nullptr || device->removed)
        return FailBool(ERROR_NO_SUCH_DEVINST);
    // The size in units with the NUL, also when the buffer is too small.
    const DWORD needed = static_cast<DWORD>(device->instanceId.size() + 1);
    if (requiredSize)
        *requiredSize = needed;
    if (deviceInstanceIdSize < needed)
        return FailBool(ERROR_INSUFFICIENT_BUFFER);
    std::copy(device->instanceId.begin(), device->instanceId.end(), deviceInstanceId);
    deviceInstanceId[device->instanceId.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
