/* The devices member: every device the setup library lists in all classes,
 * present or not, in its order, with the properties the installer reads,
 * the configuration manager's status and the driver key's INF and version.
 *
 * The last error is cleared before each setup or configuration call whose
 * failure is noted, so that a call that fails without setting one is noted
 * with 0 rather than with an error left by an earlier call. */
#include <stddef.h>

#include "capture.h"

/* Room for a masked ID: the ID's own length and "MASKED&" with a number. */
#define MASK_EXTRA_UNITS 24

static const GUID DiskDriveClass = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

typedef struct _DEVICE_PROPERTY {
    DWORD property;
    const WCHAR *name;
    size_t offset;   /* of its READ_BYTES in DEVICE_RECORD */
} DEVICE_PROPERTY;

static const DEVICE_PROPERTY DeviceProperties[] = {
    {SPDRP_HARDWAREID, TEXT("hardware IDs"), offsetof(DEVICE_RECORD, hardwareIds)},
    {SPDRP_COMPATIBLEIDS, TEXT("compatible IDs"), offsetof(DEVICE_RECORD, compatibleIds)},
    {SPDRP_DEVICEDESC, TEXT("description"), offsetof(DEVICE_RECORD, description)},
    {SPDRP_ENUMERATOR_NAME, TEXT("enumerator"), offsetof(DEVICE_RECORD, enumerator)},
    {SPDRP_SERVICE, TEXT("service"), offsetof(DEVICE_RECORD, service)},
};

#define PROPERTY_COUNT (sizeof(DeviceProperties) / sizeof(DeviceProperties[0]))

void FreeBytes(READ_BYTES *bytes)
{
    if (bytes->data != NULL)
        LocalFree(bytes->data);
    bytes->data = NULL;
    bytes->size = 0;
}

static BOOL SameGuid(const GUID *a, const GUID *b)
{
    int i;

    if (a->Data1 != b->Data1 || a->Data2 != b->Data2 || a->Data3 != b->Data3)
        return FALSE;
    for (i = 0; i < 8; i++)
        if (a->Data4[i] != b->Data4[i])
            return FALSE;
    return TRUE;
}

static READ_BYTES *PropertyOf(DEVICE_RECORD *device, size_t index)
{
    return (READ_BYTES *)((BYTE *)device + DeviceProperties[index].offset);
}

/* A property in two calls: its size, then its bytes.  FALSE with the
 * error when it cannot be read (the error may be 0 when the call set none). */
static BOOL ReadProperty(HDEVINFO set, SP_DEVINFO_DATA *data, DWORD property, READ_BYTES *out, DWORD *error)
{
    DWORD size = 0;

    out->data = NULL;
    out->size = 0;
    SetLastError(ERROR_SUCCESS);
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, property, NULL, NULL, 0, &size)) {
        *error = GetLastError();
        if (*error != ERROR_INSUFFICIENT_BUFFER)
            return FALSE;
    }
    out->data = (BYTE *)AllocateBytes(size);
    if (out->data == NULL) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, property, NULL, out->data, size, &size)) {
        *error = GetLastError();
        FreeBytes(out);
        return FALSE;
    }
    out->size = size;
    return TRUE;
}

/* The device's instance ID in two calls; NULL when it cannot be read. */
static WCHAR *ReadInstanceId(HDEVINFO set, SP_DEVINFO_DATA *data, DWORD *error)
{
    WCHAR *id;
    DWORD units = 0;

    SetLastError(ERROR_SUCCESS);
    if (!SetupDiGetDeviceInstanceIdW(set, data, NULL, 0, &units)) {
        *error = GetLastError();
        if (*error != ERROR_INSUFFICIENT_BUFFER)
            return NULL;
    }
    id = (WCHAR *)AllocateBytes((SIZE_T)units * sizeof(WCHAR));
    if (id == NULL) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    SetLastError(ERROR_SUCCESS);
    if (!SetupDiGetDeviceInstanceIdW(set, data, id, units, NULL)) {
        *error = GetLastError();
        LocalFree(id);
        return NULL;
    }
    return id;
}

/* A text value of the driver key; absent when the key has no such value. */
static void ReadDriverValue(CAPTURE *capture, HKEY key, const WCHAR *id, const WCHAR *name, READ_BYTES *out)
{
    DWORD type = 0;
    DWORD error = ReadRegistryValue(key, name, &type, out);

    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        NoteUnread(capture, error, TEXT("device %s: driver key value %s"), id, name);
}

/* The driver's INF and version from the device's driver key; a device
 * without a driver has no key. */
static void ReadDriverKey(CAPTURE *capture, HDEVINFO set, SP_DEVINFO_DATA *data, DEVICE_RECORD *device)
{
    HKEY key;
    DWORD error;

    SetLastError(ERROR_SUCCESS);
    key = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == (HKEY)INVALID_HANDLE_VALUE) {
        error = GetLastError();
        if (error != ERROR_KEY_DOES_NOT_EXIST && error != ERROR_FILE_NOT_FOUND)
            NoteUnread(capture, error, TEXT("device %s: driver key"), device->instanceId);
        return;
    }
    ReadDriverValue(capture, key, device->instanceId, TEXT("InfPath"), &device->driverInf);
    ReadDriverValue(capture, key, device->instanceId, TEXT("DriverVersion"), &device->driverVersion);
    RegCloseKey(key);
}

static void ReadStatus(CAPTURE *capture, DEVINST devInst, DEVICE_RECORD *device)
{
    ULONG status = 0;
    ULONG problem = 0;
    CONFIGRET result;

    result = CM_Get_DevNode_Status(&status, &problem, devInst, 0);
    if (result == CR_SUCCESS) {
        device->hasStatus = TRUE;
        device->status = status;
        device->problem = problem;
    } else if (result == CR_NO_SUCH_DEVINST) {
        device->present = FALSE;
    } else {
        NoteUnread(capture, result, TEXT("device %s: status"), device->instanceId);
    }
}

static void ReadConfigFlags(CAPTURE *capture, HDEVINFO set, SP_DEVINFO_DATA *data, DEVICE_RECORD *device)
{
    DWORD flags = 0;
    DWORD error;

    SetLastError(ERROR_SUCCESS);
    if (SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_CONFIGFLAGS, NULL, (BYTE *)&flags, sizeof(flags),
                                          NULL)) {
        device->hasConfigFlags = TRUE;
        device->configFlags = flags;
        return;
    }
    error = GetLastError();
    if (error != ERROR_INVALID_DATA)
        NoteUnread(capture, error, TEXT("device %s: configuration flags"), device->instanceId);
}

/* One device's entry; its ID masked when asked and the device is a disk. */
static void CaptureDevice(CAPTURE *capture, HDEVINFO set, SP_DEVINFO_DATA *data, DWORD index)
{
    DEVICE_RECORD device = {};
    WCHAR *id;
    WCHAR *masked = NULL;
    size_t units;
    size_t i;
    DWORD error = ERROR_SUCCESS;

    id = ReadInstanceId(set, data, &error);
    if (id == NULL) {
        NoteUnread(capture, error, TEXT("device %u of the list: instance ID"), (unsigned int)index);
        return;
    }
    device.instanceId = id;
    if (capture->maskSerials && SameGuid(&data->ClassGuid, &DiskDriveClass)) {
        units = TextLength(id) + MASK_EXTRA_UNITS;
        masked = (WCHAR *)AllocateBytes(units * sizeof(WCHAR));
        error = masked == NULL ? ERROR_NOT_ENOUGH_MEMORY : MaskInstanceId(&capture->mask, id, masked, units);
        if (error != ERROR_SUCCESS) {
            /* Leaving the serial in would defeat the option: no entry. */
            NoteUnread(capture, error, TEXT("device %u of the list: masked instance ID"), (unsigned int)index);
            goto free_id;
        }
        device.instanceId = masked;
    }
    FormatGuid(&data->ClassGuid, device.classGuid, 40);
    device.present = TRUE;

    for (i = 0; i < PROPERTY_COUNT; i++) {
        /* Windows answers ERROR_INVALID_DATA for a property the device lacks. */
        if (!ReadProperty(set, data, DeviceProperties[i].property, PropertyOf(&device, i), &error) &&
            error != ERROR_INVALID_DATA)
            NoteUnread(capture, error, TEXT("device %s: %s"), device.instanceId, DeviceProperties[i].name);
    }
    ReadConfigFlags(capture, set, data, &device);
    ReadStatus(capture, data->DevInst, &device);
    ReadDriverKey(capture, set, data, &device);

    WriteDeviceEntry(capture->json, &device);
    capture->devices++;

    for (i = 0; i < PROPERTY_COUNT; i++)
        FreeBytes(PropertyOf(&device, i));
    FreeBytes(&device.driverInf);
    FreeBytes(&device.driverVersion);
    if (masked != NULL)
        LocalFree(masked);
free_id:
    LocalFree(id);
}

void CaptureDevices(CAPTURE *capture)
{
    SP_DEVINFO_DATA data = {};
    HDEVINFO set;
    DWORD index;
    DWORD error;

    JsonKey(capture->json, "devices");
    JsonBeginArray(capture->json, JSON_LINES);
    SetLastError(ERROR_SUCCESS);
    set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        NoteUnread(capture, GetLastError(), TEXT("devices: the list of devices"));
        goto close_array;
    }
    for (index = 0;; index++) {
        data.cbSize = sizeof(data);
        SetLastError(ERROR_SUCCESS);
        if (!SetupDiEnumDeviceInfo(set, index, &data)) {
            error = GetLastError();
            if (error != ERROR_NO_MORE_ITEMS)
                NoteUnread(capture, error, TEXT("devices: device %u of the list"), (unsigned int)index);
            break;
        }
        CaptureDevice(capture, set, &data, index);
    }
    SetupDiDestroyDeviceInfoList(set);
close_array:
    JsonEndArray(capture->json);
}
