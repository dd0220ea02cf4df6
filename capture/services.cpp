/* The services member: every driver and Win32 service the service control
 * manager lists, in any state, with its configuration, and whether its
 * registry key marks it for deletion at the next restart. */
#include "capture.h"

#define ENUM_FIRST_BYTES 65536
/* The largest buffer the enumeration takes. */
#define ENUM_MOST_BYTES (256 * 1024)
#define SERVICES_KEY TEXT("SYSTEM\\CurrentControlSet\\Services\\")

/* DeleteFlag = 1 under the service's key. */
static BOOL IsMarkedForDelete(CAPTURE *capture, const WCHAR *name)
{
    WCHAR path[REGISTRY_NAME_UNITS + 64] = {};
    READ_BYTES flag = {};
    DWORD type = REG_NONE;
    BOOL marked = FALSE;
    HKEY key;
    LONG status;
    DWORD error;

    if (TextFormat(path, REGISTRY_NAME_UNITS + 64, TEXT("%s%s"), SERVICES_KEY, name) < 0) {
        NoteUnread(capture, ERROR_FILENAME_EXCED_RANGE, TEXT("service %s: DeleteFlag"), name);
        return FALSE;
    }
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND)
            NoteUnread(capture, (DWORD)status, TEXT("service %s: DeleteFlag"), name);
        return FALSE;
    }
    error = ReadRegistryValue(key, TEXT("DeleteFlag"), &type, &flag);
    if (error == ERROR_SUCCESS)
        marked = type == REG_DWORD && flag.size == 4 && flag.data[0] == 1 && flag.data[1] == 0 &&
                 flag.data[2] == 0 && flag.data[3] == 0;
    else if (error != ERROR_FILE_NOT_FOUND)
        NoteUnread(capture, error, TEXT("service %s: DeleteFlag"), name);
    FreeBytes(&flag);
    RegCloseKey(key);
    return marked;
}

/* The configuration in two calls: its size, then the record. */
static QUERY_SERVICE_CONFIGW *ReadConfig(SC_HANDLE service, DWORD *error)
{
    QUERY_SERVICE_CONFIGW *config;
    DWORD needed = 0;

    if (!QueryServiceConfigW(service, NULL, 0, &needed)) {
        *error = GetLastError();
        if (*error != ERROR_INSUFFICIENT_BUFFER)
            return NULL;
    }
    config = (QUERY_SERVICE_CONFIGW *)AllocateBytes(needed);
    if (config == NULL) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    if (!QueryServiceConfigW(service, config, needed, &needed)) {
        *error = GetLastError();
        LocalFree(config);
        return NULL;
    }
    return config;
}

static void CaptureService(CAPTURE *capture, SC_HANDLE manager, const WCHAR *name)
{
    SERVICE_RECORD record = {};
    QUERY_SERVICE_CONFIGW *config;
    SC_HANDLE service;
    DWORD error = ERROR_SUCCESS;

    service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG);
    if (service == NULL) {
        NoteUnread(capture, GetLastError(), TEXT("service %s"), name);
        return;
    }
    config = ReadConfig(service, &error);
    if (config == NULL) {
        NoteUnread(capture, error, TEXT("service %s: configuration"), name);
        goto close_service;
    }
    record.name = name;
    /* The manager shows a service without a display name by its name, and
     * one without an image path with an empty one: such values are left
     * out, so that the twin's manager answers the same. */
    record.displayName = config->lpDisplayName;
    if (record.displayName != NULL && TextCompare(record.displayName, name) == 0)
        record.displayName = NULL;
    record.binary = config->lpBinaryPathName;
    if (record.binary != NULL && record.binary[0] == 0)
        record.binary = NULL;
    record.type = config->dwServiceType;
    record.start = config->dwStartType;
    record.errorControl = config->dwErrorControl;
    record.markedForDelete = IsMarkedForDelete(capture, name);
    WriteServiceEntry(capture->json, &record);
    capture->services++;
    LocalFree(config);
close_service:
    CloseServiceHandle(service);
}

/* The list in as many calls as it takes, each continuing where the last
 * one stopped. */
static void CaptureServiceList(CAPTURE *capture, SC_HANDLE manager)
{
    ENUM_SERVICE_STATUS_PROCESSW *entries;
    BYTE *buffer;
    DWORD size = ENUM_FIRST_BYTES;
    DWORD needed = 0;
    DWORD returned = 0;
    DWORD resume = 0;
    DWORD error;
    DWORD i;
    BOOL done;

    buffer = (BYTE *)AllocateBytes(size);
    if (buffer == NULL) {
        NoteUnread(capture, ERROR_NOT_ENOUGH_MEMORY, TEXT("services: the list"));
        return;
    }
    do {
        done = EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_DRIVER | SERVICE_WIN32,
                                     SERVICE_STATE_ALL, buffer, size, &needed, &returned, &resume, NULL);
        error = done ? ERROR_SUCCESS : GetLastError();
        if (!done && error != ERROR_MORE_DATA) {
            NoteUnread(capture, error, TEXT("services: the list"));
            break;
        }
        entries = (ENUM_SERVICE_STATUS_PROCESSW *)buffer;
        for (i = 0; i < returned; i++)
            CaptureService(capture, manager, entries[i].lpServiceName);
        if (!done && returned == 0) {
            /* Not even one entry fitted: a buffer of the size asked for. */
            if (needed <= size || needed > ENUM_MOST_BYTES) {
                NoteUnread(capture, ERROR_MORE_DATA, TEXT("services: the list (an entry of %u bytes)"),
                           (unsigned int)needed);
                break;
            }
            LocalFree(buffer);
            size = needed;
            buffer = (BYTE *)AllocateBytes(size);
            if (buffer == NULL) {
                NoteUnread(capture, ERROR_NOT_ENOUGH_MEMORY, TEXT("services: the list"));
                return;
            }
        }
    } while (!done);
    LocalFree(buffer);
}

void CaptureServices(CAPTURE *capture)
{
    SC_HANDLE manager;

    JsonKey(capture->json, "services");
    JsonBeginObject(capture->json, JSON_LINES);
    manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ENUMERATE_SERVICE);
    if (manager == NULL) {
        NoteUnread(capture, GetLastError(), TEXT("services: the service control manager"));
    } else {
        CaptureServiceList(capture, manager);
        CloseServiceHandle(manager);
    }
    JsonEndObject(capture->json);
}
