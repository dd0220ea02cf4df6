// Device registry properties: the hardware IDs, the description, the
// enumerator name and the configuration flags of a device element.
#include <cstring>

#include "setupapi_internal.h"

using namespace winsim;
using namespace winsim::setup;

namespace {

std::vector<uint8_t> StringBytes(const Text &text)
{
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// The strings and their NULs, then the NUL that closes the list; an empty
// list is the closing NUL alone.
std::vector<uint8_t> MultiStringBytes(const std::vector<Text> &strings)
{
    std::vector<uint8_t> bytes;
    for (const Text &s : strings) {
        auto part = StringBytes(s);
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<char16_t> Units(const BYTE *buffer, DWORD size)
{
    std::vector<char16_t> units(size / 2);   // an odd last byte is no unit
    for (size_t i = 0; i < units.size(); i++)
        units[i] = static_cast<char16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
    return units;
}

// What device matching makes of a hardware-ID list: the strings up to the
// first empty one; a last string without its NUL still counts.
std::vector<Text> ParseMultiString(const BYTE *buffer, DWORD size)
{
    std::vector<Text> strings;
    Text current;
    for (char16_t unit : Units(buffer, size)) {
        if (unit != 0) {
            current.push_back(unit);
            continue;
        }
        if (current.empty())
            return strings;
        strings.push_back(current);
        current.clear();
    }
    if (!current.empty())
        strings.push_back(current);
    return strings;
}

// A string property: the text up to the first NUL (or the whole buffer).
Text ParseString(const BYTE *buffer, DWORD size)
{
    Text text;
    for (char16_t unit : Units(buffer, size)) {
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return text;
}

std::string TraceArgs(const Text &subject, DWORD property, DWORD size)
{
    return "device=" + Narrow(subject) + " property=" + Hex(property) + " size=" + std::to_string(size);
}

}  // namespace

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA deviceData, DWORD property,
                                       PDWORD propertyRegDataType, PBYTE propertyBuffer,
                                       DWORD propertyBufferSize, PDWORD requiredSize)
{
    Text subject = SubjectOf(handle, deviceData);
    Trace("SetupDiGetDeviceRegistryPropertyW", TraceArgs(subject, property, propertyBufferSize));
    if (auto fault = CheckFault("SetupDiGetDeviceRegistryPropertyW", subject))
        return FailBool(*fault);
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    DeviceElement *element = ResolveElement(*set, deviceData);
    if (element == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    if (propertyBuffer == nullptr && propertyBufferSize != 0)
        return FailBool(ERROR_INVALID_PARAMETER);
    Device *device = DeviceOf(*element);
    if (device == nullptr || device->removed)
        return FailBool(ERROR_NO_SUCH_DEVINST);

    DWORD type;
    std::vector<uint8_t> bytes;
    switch (property) {
    case SPDRP_HARDWAREID:
        if (!device->hardwareIds)
            return FailBool(ERROR_INVALID_DATA);
        type = REG_MULTI_SZ;
        bytes = MultiStringBytes(*device->hardwareIds);
        break;
    case SPDRP_DEVICEDESC:
        if (!device->description)
            return FailBool(ERROR_INVALID_DATA);
        type = REG_SZ;
        bytes = StringBytes(*device->description);
        break;
    case SPDRP_ENUMERATOR_NAME:
        if (!device->enumerator)
            return FailBool(ERROR_INVALID_DATA);
        type = REG_SZ;
        bytes = StringBytes(*device->enumerator);
        break;
    case SPDRP_CONFIGFLAGS: {
        if (!device->configFlags)
            return FailBool(ERROR_INVALID_DATA);
        type = REG_DWORD;
        uint32_t flags = *device->configFlags;
        bytes.resize(4);
        std::memcpy(bytes.data(), &flags, 4);
        break;
    }
    default:
        return FailBool(ERROR_INVALID_REG_PROPERTY);
    }
    if (propertyRegDataType)
        *propertyRegDataType = type;
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
    Text subject = SubjectOf(handle, deviceData);
    Trace("SetupDiSetDeviceRegistryPropertyW", TraceArgs(subject, property, propertyBufferSize));
    if (auto fault = CheckFault("SetupDiSetDeviceRegistryPropertyW", subject))
        return FailBool(*fault);
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    DeviceElement *element = ResolveElement(*set, deviceData);
    if (element == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    if (propertyBuffer == nullptr && propertyBufferSize != 0)
        return FailBool(ERROR_INVALID_PARAMETER);
    Device *device = DeviceOf(*element);
    if (device == nullptr || device->removed)
        return FailBool(ERROR_NO_SUCH_DEVINST);

    // No data deletes the property.
    const bool erase = propertyBuffer == nullptr || propertyBufferSize == 0;
    switch (property) {
    case SPDRP_HARDWAREID:
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
