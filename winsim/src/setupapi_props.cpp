// Device registry properties: the hardware and compatible IDs, the
// description, the enumerator name, the service and the configuration flags
// of a device element (the compatible IDs, the enumerator and the service are
// read-only here: no program sets them); and a device's driver key.
#include <cstring>

#include "setupapi_internal.h"

using namespace winsim;
using namespace winsim::setup;

namespace {

// A string property: the text up to the first NUL (or the whole buffer).
Text ParseString(const BYTE *buffer, DWORD size)
{
    Text units = UnitsOf(buffer, size);
    return units.substr(0, units.find(u'\0'));
}

// What both property calls check, in order, after tracing the call: the
// fault, the set, the element, the buffer and the device.  Nothing when the
// call may go on (with 'device' set), else the error to fail with.
std::optional<uint32_t> CheckPropertyCall(const char *function, HDEVINFO handle, PSP_DEVINFO_DATA deviceData,
                                          DWORD property, const BYTE *buffer, DWORD bufferSize, Device *&device)
{
    Text subject = SubjectOf(handle, deviceData);
    Trace(function,
          "device=" + Narrow(subject) + " property=" + Hex(property) + " size=" + std::to_string(bufferSize));
    if (auto fault = CheckFault(function, subject))
        return fault;
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return ERROR_INVALID_HANDLE;
    DeviceElement *element = ResolveElement(*set, deviceData);
    if (element == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (buffer == nullptr && bufferSize != 0)
        return ERROR_INVALID_PARAMETER;
    device = DeviceOf(*element);
    if (device == nullptr || device->removed)
        return ERROR_NO_SUCH_DEVINST;
    return std::nullopt;
}

// A property's type and data; 0, or ERROR_INVALID_DATA when the device does
// not have it, ERROR_INVALID_REG_PROPERTY for a property not modelled.
uint32_t ReadProperty(const Device &device, DWORD property, RegValue &value)
{
    const std::optional<Text> *text = nullptr;
    switch (property) {
    case SPDRP_HARDWAREID:
    case SPDRP_COMPATIBLEIDS: {
        const auto &ids = property == SPDRP_HARDWAREID ? device.hardwareIds : device.compatibleIds;
        if (!ids)
            return ERROR_INVALID_DATA;
        value = {REG_MULTI_SZ, MultiStringBytes(*ids)};
        return 0;
    }
    case SPDRP_DEVICEDESC:
        text = &device.description;
        break;
    case SPDRP_ENUMERATOR_NAME:
        text = &device.enumerator;
        break;
    case SPDRP_SERVICE:
        if (device.service.empty())
            return ERROR_INVALID_DATA;
        value = {REG_SZ, StringBytes(device.service)};
        return 0;
    case SPDRP_CONFIGFLAGS:
        if (!device.configFlags)
            return ERROR_INVALID_DATA;
        value.type = REG_DWORD;
        value.data.resize(sizeof(uint32_t));
        std::memcpy(value.data.data(), &*device.configFlags, sizeof(uint32_t));
        return 0;
    default:
        return ERROR_INVALID_REG_PROPERTY;
    }
    if (!*text)
        return ERROR_INVALID_DATA;
    value = {REG_SZ, StringBytes(**text)};
    return 0;
}

}  // namespace

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA deviceData, DWORD property,
                                       PDWORD propertyRegDataType, PBYTE propertyBuffer,
                                       DWORD propertyBufferSize, PDWORD requiredSize)
{
    Device *device = nullptr;
    if (auto error = CheckPropertyCall("SetupDiGetDeviceRegistryPropertyW", handle, deviceData, property,
                                       propertyBuffer, propertyBufferSize, device))
        return FailBool(*error);

    RegValue value;
    if (uint32_t error = ReadProperty(*device, property, value))
        return FailBool(error);
    const std::vector<uint8_t> &bytes = value.data;
    if (propertyRegDataType)
        *propertyRegDataType = value.type;
    if (requiredSize)
        *requiredSize = static_cast<DWORD>(bytes.size());
    if (propertyBufferSize < bytes.size())
        return FailBool(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(propertyBuffer, bytes.data(), bytes.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA deviceData, DWORD property,
                                       const BYTE *propertyBuffer, DWORD propertyBufferSize)
{
    Device *device = nullptr;
    if (auto error = CheckPropertyCall("SetupDiSetDeviceRegistryPropertyW", handle, deviceData, property,
                                       propertyBuffer, propertyBufferSize, device))
        return FailBool(*error);

    // No data deletes the property.
    const bool erase = propertyBuffer == nullptr || propertyBufferSize == 0;
    switch (property) {
    case SPDRP_HARDWAREID:
        // A bus goes on reporting its own IDs: a device it enumerates keeps
        // them for the next boot.  The root enumerator reports what is stored.
        if (!device->busHardwareIds && device->hardwareIds && device->registered &&
            !EqualNoCase(EnumeratorOf(device->instanceId), u"ROOT"))
            device->busHardwareIds = device->hardwareIds;
        if (erase)
            device->hardwareIds.reset();
        else
            device->hardwareIds = ParseMultiString(propertyBuffer, propertyBufferSize);
        break;
    case SPDRP_DEVICEDESC:
        if (erase)
            device->description.reset();
        else
            device->description = ParseString(propertyBuffer, propertyBufferSize);
        break;
    case SPDRP_CONFIGFLAGS:
        if (erase) {
            device->configFlags.reset();
        } else {
            if (propertyBufferSize != sizeof(uint32_t))
                return FailBool(ERROR_INVALID_PARAMETER);
            uint32_t flags;
            std::memcpy(&flags, propertyBuffer, sizeof flags);
            device->configFlags = flags;
        }
        break;
    default:
        // The enumerator name is read-only, as are the properties not modelled.
        return FailBool(ERROR_INVALID_REG_PROPERTY);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// ---------------------------------------------------------------------------
// The driver key (DIREG_DRV): the device's software key under the class key,
// with the values its driver's installation wrote (InfPath, DriverVersion
// from the device's driver_inf and driver_version) over what the registry
// holds there.  A device without a driver has no driver key.  The stand-in
// opens it for reading only; its hardware key and hardware profiles are not
// modelled.
// ---------------------------------------------------------------------------
namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | 0x00040000 |
                                0x00080000 | GENERIC_WRITE | GENERIC_ALL;

HKEY FailKey(DWORD code)
{
    SetLastError(code);
    return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
}

}  // namespace

HKEY SetupDiOpenDevRegKey(HDEVINFO handle, PSP_DEVINFO_DATA deviceData, DWORD scope, DWORD hwProfile, DWORD keyType,
                          REGSAM desiredAccess)
{
    (void)hwProfile;
    Text subject = SubjectOf(handle, deviceData);
    Trace("SetupDiOpenDevRegKey", "device=" + Narrow(subject) + " scope=" + Hex(scope) + " type=" + Hex(keyType) +
                                      " access=" + Hex(desiredAccess));
    if (auto fault = CheckFault("SetupDiOpenDevRegKey", subject))
        return FailKey(*fault);
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return FailKey(ERROR_INVALID_HANDLE);
    if ((scope != DICS_FLAG_GLOBAL && scope != DICS_FLAG_CONFIGSPECIFIC) ||
        (keyType != DIREG_DEV && keyType != DIREG_DRV))
        return FailKey(ERROR_INVALID_FLAGS);
    DeviceElement *element = ResolveElement(*set, deviceData);
    if (element == nullptr)
        return FailKey(ERROR_INVALID_PARAMETER);
    Device *device = DeviceOf(*element);
    if (device == nullptr || device->removed)
        return FailKey(ERROR_NO_SUCH_DEVINST);
    if (!device->registered)
        return FailKey(ERROR_DEVINFO_NOT_REGISTERED);
    if (scope == DICS_FLAG_CONFIGSPECIFIC || keyType == DIREG_DEV)
        return FailKey(ERROR_CALL_NOT_IMPLEMENTED);
    if (device->driverInf.empty())
        return FailKey(ERROR_KEY_DOES_NOT_EXIST);
    const Text path = SoftwareKey(*device, element->devInst);
    const RegKey *stored = FindKey(path);
    if ((stored && stored->denyAccess) || (desiredAccess & kWriteRights))
        return FailKey(ERROR_ACCESS_DENIED);
    RegKey key = stored ? *stored : RegKey{};
    SetValueIn(key, u"InfPath", REG_SZ, StringBytes(device->driverInf));
    if (!device->driverVersion.empty())
        SetValueIn(key, u"DriverVersion", REG_SZ, StringBytes(device->driverVersion));
    SetLastError(ERROR_SUCCESS);
    return OpenDetachedKey(path, std::move(key), desiredAccess & MAXIMUM_ALLOWED ? KEY_READ : desiredAccess);
}
