/* The registry member: the keys whose values the installer reads or
 * writes.  A key that does not exist is left out, its absence being its
 * state; a key that refuses to be opened is written as denied. */
#include "capture.h"

/* Value names are at most 16,383 units. */
#define VALUE_NAME_UNITS 16384

typedef struct _CAPTURED_KEY {
    const WCHAR *path;
    BOOL filtersOnly;   /* only UpperFilters and LowerFilters, not every value */
} CAPTURED_KEY;

static const CAPTURED_KEY CapturedKeys[] = {
    {TEXT("SYSTEM\\CurrentControlSet\\Control\\MPDEV"), FALSE},
    {TEXT("SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters"), FALSE},
    /* SCSI adapters, disk drives, system devices */
    {TEXT("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}"), TRUE},
    {TEXT("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}"), TRUE},
    {TEXT("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97D-E325-11CE-BFC1-08002BE10318}"), TRUE},
};

static const WCHAR *const FilterValues[] = {TEXT("UpperFilters"), TEXT("LowerFilters")};

DWORD ReadRegistryValue(HKEY key, const WCHAR *name, DWORD *type, READ_BYTES *value)
{
    DWORD size = 0;
    LONG status;
    int attempt;

    value->data = NULL;
    value->size = 0;
    /* A value that grows between the two calls is asked for again. */
    for (attempt = 0; attempt < 3; attempt++) {
        status = RegQueryValueExW(key, name, NULL, type, NULL, &size);
        if (status != ERROR_SUCCESS)
            return (DWORD)status;
        value->data = (BYTE *)AllocateBytes(size);
        if (value->data == NULL)
            return ERROR_NOT_ENOUGH_MEMORY;
        status = RegQueryValueExW(key, name, NULL, type, value->data, &size);
        if (status == ERROR_SUCCESS) {
            value->size = size;
            return ERROR_SUCCESS;
        }
        FreeBytes(value);
        if (status != ERROR_MORE_DATA)
            return (DWORD)status;
    }
    return ERROR_MORE_DATA;
}

/* One value as a member of the open "values" object; a value that went
 * away since it was listed is left out. */
static void CaptureValue(CAPTURE *capture, HKEY key, const WCHAR *path, const WCHAR *name)
{
    READ_BYTES value = {};
    DWORD type = REG_NONE;
    DWORD error;

    error = ReadRegistryValue(key, name, &type, &value);
    if (error == ERROR_FILE_NOT_FOUND)
        return;
    if (error != ERROR_SUCCESS) {
        NoteUnread(capture, error, TEXT("registry %s: value %s"), path, name);
        return;
    }
    WriteRegistryValue(capture->json, name, type, value.data, value.size);
    FreeBytes(&value);
}

/* Every value of the key, in the order the registry lists them. */
static void CaptureAllValues(CAPTURE *capture, HKEY key, const WCHAR *path)
{
    WCHAR *name;
    DWORD index;
    DWORD units;
    LONG status;

    name = (WCHAR *)AllocateBytes(VALUE_NAME_UNITS * sizeof(WCHAR));
    if (name == NULL) {
        NoteUnread(capture, ERROR_NOT_ENOUGH_MEMORY, TEXT("registry %s: value names"), path);
        return;
    }
    for (index = 0;; index++) {
        units = VALUE_NAME_UNITS;
        status = RegEnumValueW(key, index, name, &units, NULL, NULL, NULL, NULL);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS) {
            NoteUnread(capture, (DWORD)status, TEXT("registry %s: value %u of the key"), path, (unsigned int)index);
            break;
        }
        CaptureValue(capture, key, path, name);
    }
    LocalFree(name);
}

static void CaptureKey(CAPTURE *capture, const CAPTURED_KEY *captured)
{
    HKEY key;
    LONG status;
    size_t i;

    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, captured->path, 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return;
    if (status == ERROR_ACCESS_DENIED) {
        /* The twin refuses it too. */
        JsonKeyText(capture->json, captured->path);
        JsonBeginObject(capture->json, JSON_INLINE);
        JsonKey(capture->json, "deny_access");
        JsonBool(capture->json, TRUE);
        JsonEndObject(capture->json);
        NoteUnread(capture, (DWORD)status, TEXT("registry %s"), captured->path);
        return;
    }
    if (status != ERROR_SUCCESS) {
        NoteUnread(capture, (DWORD)status, TEXT("registry %s"), captured->path);
        return;
    }
    JsonKeyText(capture->json, captured->path);
    JsonBeginObject(capture->json, JSON_LINES);
    JsonKey(capture->json, "values");
    JsonBeginObject(capture->json, JSON_LINES);
    if (captured->filtersOnly) {
        for (i = 0; i < sizeof(FilterValues) / sizeof(FilterValues[0]); i++)
            CaptureValue(capture, key, captured->path, FilterValues[i]);
    } else {
        CaptureAllValues(capture, key, captured->path);
    }
    JsonEndObject(capture->json);
    JsonEndObject(capture->json);
    RegCloseKey(key);
}

void CaptureRegistry(CAPTURE *capture)
{
    size_t i;

    JsonKey(capture->json, "registry");
    JsonBeginObject(capture->json, JSON_LINES);
    for (i = 0; i < sizeof(CapturedKeys) / sizeof(CapturedKeys[0]); i++)
        CaptureKey(capture, &CapturedKeys[i]);
    JsonEndObject(capture->json);
}
