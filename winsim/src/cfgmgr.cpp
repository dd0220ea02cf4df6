// Configuration manager: the status and problem of a device node.
#include "setupapi_internal.h"

using namespace winsim;

CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problemNumber, DEVINST devInst, ULONG flags)
{
    auto &devices = Current().devices;
    const Device *device = devInst != 0 && devInst <= devices.size() ? &devices[devInst - 1] : nullptr;
    Text subject = device ? device->instanceId : Text();
    Trace("CM_Get_DevNode_Status", "devinst=" + std::to_string(devInst) + " flags=" + Hex(flags) +
                                       " device=" + Narrow(subject));
    if (auto fault = CheckFault("CM_Get_DevNode_Status", subject))
        return *fault;
    if (status == nullptr || problemNumber == nullptr)
        return CR_INVALID_POINTER;
    if (flags != 0)
        return CR_INVALID_FLAG;
    if (devInst == 0)
        return CR_INVALID_DEVNODE;
    // Only a device node that is in the tree now has a status.
    if (device == nullptr || device->removed || !device->registered || !device->present)
        return CR_NO_SUCH_DEVNODE;
    *status = device->status;
    *problemNumber = device->problem;
    return CR_SUCCESS;
}
