// Class installer requests: attaching class install parameters, the default
// handling of DIF_REGISTERDEVICE, DIF_REMOVE and DIF_PROPERTYCHANGE, and the
// install parameters a change leaves behind.
#include <cstring>

#include "setupapi_internal.h"

using namespace winsim;
using namespace winsim::setup;

namespace {

// The parameters a request sees: the element's own when they were attached
// for this request, else the set's.
const std::vector<uint8_t> *ParamsFor(const DeviceInfoSet &set, const DeviceElement &element, DI_FUNCTION dif)
{
    for (const auto *params : {&element.classInstallParams, &set.classInstallParams}) {
        if (params->size() < sizeof(SP_CLASSINSTALL_HEADER))
            continue;
        SP_CLASSINSTALL_HEADER header;
        std::memcpy(&header, params->data(), sizeof header);
        if (header.InstallFunction == dif)
            return params;
    }
    return nullptr;
}

// Checks a parameter block as the library does; 0 when it may be attached.
uint32_t CheckParams(const SP_CLASSINSTALL_HEADER *header, DWORD size)
{
    if (size < sizeof(SP_CLASSINSTALL_HEADER))
        return ERROR_INVALID_PARAMETER;
    if (header->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
        return ERROR_INVALID_USER_BUFFER;
    switch (header->InstallFunction) {
    case DIF_REMOVE: {
        if (size != sizeof(SP_REMOVEDEVICE_PARAMS))
            return ERROR_INVALID_PARAMETER;
        auto params = reinterpret_cast<const SP_REMOVEDEVICE_PARAMS *>(header);
        if (params->Scope != DI_REMOVEDEVICE_GLOBAL && params->Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC)
            return ERROR_INVALID_FLAGS;
        return 0;
    }
    case DIF_PROPERTYCHANGE: {
        if (size != sizeof(SP_PROPCHANGE_PARAMS))
            return ERROR_INVALID_PARAMETER;
        auto params = reinterpret_cast<const SP_PROPCHANGE_PARAMS *>(header);
        if (params->StateChange < DICS_ENABLE || params->StateChange > DICS_STOP)
            return ERROR_INVALID_FLAGS;
        if (params->Scope != DICS_FLAG_GLOBAL && params->Scope != DICS_FLAG_CONFIGSPECIFIC)
            return ERROR_INVALID_FLAGS;
        // Starting and stopping only ever concern the current profile.
        if ((params->StateChange == DICS_START || params->StateChange == DICS_STOP) &&
            params->Scope != DICS_FLAG_CONFIGSPECIFIC)
            return ERROR_INVALID_FLAGS;
        return 0;
    }
    default:
        return ERROR_INVALID_PARAMETER;   // parameters of other requests are not modelled
    }
}

std::string ParamsTrace(const SP_CLASSINSTALL_HEADER *header, DWORD size)
{
    std::string args = "size=" + std::to_string(size);
    if (header == nullptr || size < sizeof(SP_CLASSINSTALL_HEADER))
        return args;
    args += " dif=" + Hex(header->InstallFunction);
    if (header->InstallFunction == DIF_REMOVE && size >= sizeof(SP_REMOVEDEVICE_PARAMS)) {
        auto params = reinterpret_cast<const SP_REMOVEDEVICE_PARAMS *>(header);
        args += " scope=" + std::to_string(params->Scope) + " profile=" + std::to_string(params->HwProfile);
    } else if (header->InstallFunction == DIF_PROPERTYCHANGE && size >= sizeof(SP_PROPCHANGE_PARAMS)) {
        auto params = reinterpret_cast<const SP_PROPCHANGE_PARAMS *>(header);
        args += " state=" + std::to_string(params->StateChange) + " scope=" + std::to_string(params->Scope) +
                " profile=" + std::to_string(params->HwProfile);
    }
    return args;
}

// The install flags a change leaves, as the device answers it; a restart or
// reboot it asks for is pending on the machine.
uint32_t AfterChange(Device &device)
{
    uint32_t flags = device.installFlagsAfterChange;
    if (flags & (DI_NEEDREBOOT | DI_NEEDRESTART))
        Current().rebootPending = true;
    return flags;
}

uint32_t RegisterDevice(Device &device)
{
    if (device.registered)
        return 0;
    Text enumerator = EnumeratorOf(device.instanceId);
    device.registered = true;
    device.present = true;
    device.enumerator = enumerator;
    device.status = (EqualNoCase(enumerator, u"ROOT") ? DN_ROOT_ENUMERATED : 0) | DN_HAS_PROBLEM;
    device.problem = CM_PROB_FAILED_INSTALL;
    return 0;
}

uint32_t RemoveDevice(DeviceElement &element, Device &device, SP_DEVINFO_DATA *data)
{
    if (!device.registered) {
        device.removed = true;
        data->DevInst = 0;
        return 0;
    }
    if (device.refuseRemoval)
        return ERROR_NOT_DISABLEABLE;
    element.installFlags = device.present ? AfterChange(device) : 0;
    if (element.installFlags & DI_NEEDREBOOT) {
        // The device cannot be stopped now: it goes at the next reboot.
        device.status |= DN_WILL_BE_REMOVED;
        return 0;
    }
    device.removed = true;
    data->DevInst = 0;   // the devnode is gone
    return 0;
}

uint32_t ChangeState(DeviceElement &element, Device &device, const SP_PROPCHANGE_PARAMS &params)
{
    if (!device.registered)
        return ERROR_DEVINFO_NOT_REGISTERED;
    if (!device.present) {
        // Nothing runs that could be restarted.
        element.installFlags = 0;
        return 0;
    }
    switch (params.StateChange) {
    case DICS_PROPCHANGE:
        device.restarts++;
        break;
    case DICS_ENABLE:
    case DICS_START:
        device.status |= DN_STARTED;
        break;
    case DICS_DISABLE:
    case DICS_STOP:
        device.status &= ~static_cast<uint32_t>(DN_STARTED);
        break;
    }
    element.installFlags = AfterChange(device);
    if (element.installFlags & (DI_NEEDREBOOT | DI_NEEDRESTART))
        device.status |= DN_NEED_RESTART;
    return 0;
}

}  // namespace

BOOL SetupDiSetClassInstallParamsW(HDEVINFO handle, PSP_DEVINFO_DATA deviceData,
                                   PSP_CLASSINSTALL_HEADER classInstallParams, DWORD classInstallParamsSize)
{
    Text subject = SubjectOf(handle, deviceData);
    Trace("SetupDiSetClassInstallParamsW",
          ParamsTrace(classInstallParams, classInstallParamsSize) + " device=" + Narrow(subject));
    if (auto fault = CheckFault("SetupDiSetClassInstallParamsW", subject))
        return FailBool(*fault);
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    DeviceElement *element = nullptr;
    if (deviceData) {
        element = ResolveElement(*set, deviceData);
        if (element == nullptr)
            return FailBool(ERROR_INVALID_PARAMETER);
    }
    std::vector<uint8_t> &target = element ? element->classInstallParams : set->classInstallParams;
    if (classInstallParams == nullptr) {
        // No block clears what was attached.
        if (classInstallParamsSize != 0)
            return FailBool(ERROR_INVALID_PARAMETER);
        target.clear();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (uint32_t error = CheckParams(classInstallParams, classInstallParamsSize))
        return FailBool(error);
    auto bytes = reinterpret_cast<const uint8_t *>(classInstallParams);
    target.assign(bytes, bytes + classInstallParamsSize);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION installFunction, HDEVINFO handle, PSP_DEVINFO_DATA deviceData)
{
    Text subject = SubjectOf(handle, deviceData);
    Trace("SetupDiCallClassInstaller", "dif=" + Hex(installFunction) + " device=" + Narrow(subject));
    if (auto fault = CheckFault("SetupDiCallClassInstaller", subject))
        return FailBool(*fault);
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    if (installFunction != DIF_REGISTERDEVICE && installFunction != DIF_REMOVE &&
        installFunction != DIF_PROPERTYCHANGE)
        return FailBool(ERROR_DI_DO_DEFAULT);   // no default handling modelled
    DeviceElement *element = ResolveElement(*set, deviceData);
    if (element == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    Device *device = DeviceOf(*element);
    if (device == nullptr || device->removed)
        return FailBool(ERROR_NO_SUCH_DEVINST);

    uint32_t error = 0;
    switch (installFunction) {
    case DIF_REGISTERDEVICE:
        error = RegisterDevice(*device);
        break;
    case DIF_REMOVE:
        // Without parameters the removal is global.
        error = RemoveDevice(*element, *device, deviceData);
        break;
    case DIF_PROPERTYCHANGE: {
        const std::vector<uint8_t> *params = ParamsFor(*set, *element, DIF_PROPERTYCHANGE);
        if (params == nullptr) {
            error = ERROR_NO_CLASSINSTALL_PARAMS;
            break;
        }
        SP_PROPCHANGE_PARAMS change;
        std::memcpy(&change, params->data(), sizeof change);
        error = ChangeState(*element, *device, change);
        break;
    }
    }
    if (error)
        return FailBool(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiGetDeviceInstallParamsW(HDEVINFO handle, PSP_DEVINFO_DATA deviceData,
                                    PSP_DEVINSTALL_PARAMS_W deviceInstallParams)
{
    Text subject = SubjectOf(handle, deviceData);
    Trace("SetupDiGetDeviceInstallParamsW",
          "size=" + std::to_string(deviceInstallParams ? deviceInstallParams->cbSize : 0) +
              " device=" + Narrow(subject));
    if (auto fault = CheckFault("SetupDiGetDeviceInstallParamsW", subject))
        return FailBool(*fault);
    DeviceInfoSet *set = LookupSet(handle);
    if (set == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    if (deviceInstallParams == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    if (deviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
        return FailBool(ERROR_INVALID_USER_BUFFER);
    uint32_t flags = set->installFlags;
    if (deviceData) {
        DeviceElement *element = ResolveElement(*set, deviceData);
        if (element == nullptr)
            return FailBool(ERROR_INVALID_PARAMETER);
        flags = element->installFlags;
    }
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof(SP_DEVINSTALL_PARAMS_W);
    params.Flags = flags;
    *deviceInstallParams = params;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
