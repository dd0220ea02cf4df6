/* Writing the entries of the machine description from their records, and
 * the small text forms they use.  Nothing here reads the machine. */
#include "description.h"
#include "common/common.h"

typedef struct _TYPE_NAME {
    DWORD type;
    const char *name;
} TYPE_NAME;

static const TYPE_NAME TypeNames[] = {
    {REG_NONE, "REG_NONE"},   {REG_SZ, "REG_SZ"},       {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"}, {REG_DWORD, "REG_DWORD"}, {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_QWORD, "REG_QWORD"},
};

/* Whether every surrogate has its partner: only then does the UTF-8 form
 * give the same units back. */
static BOOL PairedSurrogates(const WCHAR *units, size_t count)
{
    size_t i;

    for (i = 0; i < count; i++) {
        if (units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF)
            i++;
        else if (units[i] >= 0xD800 && units[i] <= 0xDFFF)
            return FALSE;
    }
    return TRUE;
}

/* One string and its NUL, nothing after it. */
static BOOL IsOneString(const WCHAR *units, size_t count)
{
    size_t i;

    if (count == 0 || units[count - 1] != 0)
        return FALSE;
    for (i = 0; i + 1 < count; i++)
        if (units[i] == 0)
            return FALSE;
    return PairedSurrogates(units, count - 1);
}

/* Non-empty strings, each with its NUL, then the NUL that closes the list,
 * and nothing after it (the empty list is that NUL alone). */
static BOOL IsStringList(const WCHAR *units, size_t count)
{
    size_t i = 0;
    size_t start;

    for (;;) {
        if (i >= count)
            return FALSE;
        if (units[i] == 0)
            return i + 1 == count;
        start = i;
        while (i < count && units[i] != 0)
            i++;
        if (i == count || !PairedSurrogates(units + start, i - start))
            return FALSE;
        i++;
    }
}

static unsigned long long LittleEndian(const BYTE *data, DWORD size)
{
    unsigned long long value = 0;
    DWORD i;

    for (i = 0; i < size; i++)
        value |= (unsigned long long)data[i] << (8 * i);
    return value;
}

static void WriteStringList(JSON_WRITER *w, const WCHAR *units, size_t count)
{
    size_t i = 0;
    size_t start;

    JsonBeginArray(w, JSON_INLINE);
    while (i < count && units[i] != 0) {
        start = i;
        while (i < count && units[i] != 0)
            i++;
        JsonTextN(w, units + start, i - start);
        i++;
    }
    JsonEndArray(w);
}

/* The value's "data" member when its bytes are exactly that form; FALSE
 * when they are not (the caller writes "hex" then). */
static BOOL WriteReadableData(JSON_WRITER *w, DWORD type, const BYTE *data, DWORD size)
{
    const WCHAR *units = (const WCHAR *)data;
    size_t count = size / sizeof(WCHAR);

    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (size % 2 != 0 || !IsOneString(units, count))
            return FALSE;
        JsonKey(w, "data");
        JsonTextN(w, units, count - 1);
        return TRUE;
    case REG_MULTI_SZ:
        if (size % 2 != 0 || !IsStringList(units, count))
            return FALSE;
        JsonKey(w, "data");
        WriteStringList(w, units, count);
        return TRUE;
    case REG_DWORD:
    case REG_QWORD:
        if (size != (type == REG_DWORD ? 4u : 8u))
            return FALSE;
        JsonKey(w, "data");
        JsonNumber(w, LittleEndian(data, size));
        return TRUE;
    default:
        return FALSE;
    }
}

void WriteRegistryValue(JSON_WRITER *w, const WCHAR *name, DWORD type, const BYTE *data, DWORD size)
{
    size_t i;

    JsonKeyText(w, name);
    JsonBeginObject(w, JSON_INLINE);
    JsonKey(w, "type");
    for (i = 0; i < sizeof(TypeNames) / sizeof(TypeNames[0]); i++)
        if (TypeNames[i].type == type)
            break;
    if (i < sizeof(TypeNames) / sizeof(TypeNames[0]))
        JsonAscii(w, TypeNames[i].name);
    else
        JsonNumber(w, type);
    if (!WriteReadableData(w, type, data, size)) {
        JsonKey(w, "hex");
        JsonHex(w, data, size);
    }
    JsonEndObject(w);
}

/* A text property: its units up to the first NUL, or all of them. */
static void WriteTextMember(JSON_WRITER *w, const char *name, const READ_BYTES *text)
{
    const WCHAR *units = (const WCHAR *)text->data;
    size_t count = text->size / sizeof(WCHAR);
    size_t length = 0;

    if (text->data == NULL)
        return;
    while (length < count && units[length] != 0)
        length++;
    JsonKey(w, name);
    JsonTextN(w, units, length);
}

/* A multi-string property: its entries up to the first empty one. */
static void WriteListMember(JSON_WRITER *w, const char *name, const READ_BYTES *list)
{
    MULTISZ_VIEW view;
    MULTISZ_ENTRY entry;
    BOOL more;

    if (list->data == NULL)
        return;
    MultiSzViewInit(&view, (WCHAR *)list->data, list->size);
    JsonKey(w, name);
    JsonBeginArray(w, JSON_INLINE);
    for (more = MultiSzViewFirst(&view, &entry); more; more = MultiSzViewNext(&view, &entry))
        JsonTextN(w, entry.text, entry.length);
    JsonEndArray(w);
}

void WriteDeviceEntry(JSON_WRITER *w, const DEVICE_RECORD *device)
{
    WCHAR status[16] = {};

    JsonBeginObject(w, JSON_INLINE);
    JsonKey(w, "instance_id");
    JsonText(w, device->instanceId);
    JsonKey(w, "class");
    JsonText(w, device->classGuid);
    WriteListMember(w, "hardware_ids", &device->hardwareIds);
    WriteListMember(w, "compatible_ids", &device->compatibleIds);
    WriteTextMember(w, "description", &device->description);
    WriteTextMember(w, "enumerator", &device->enumerator);
    if (device->hasConfigFlags) {
        JsonKey(w, "config_flags");
        JsonNumber(w, device->configFlags);
    }
    WriteTextMember(w, "service", &device->service);
    if (device->hasStatus) {
        TextFormat(status, 16, TEXT("0x%08X"), (unsigned int)device->status);
        JsonKey(w, "status");
        JsonText(w, status);
        JsonKey(w, "problem");
        JsonNumber(w, device->problem);
    } else if (!device->present) {
        JsonKey(w, "present");
        JsonBool(w, FALSE);
    }
    WriteTextMember(w, "driver_inf", &device->driverInf);
    WriteTextMember(w, "driver_version", &device->driverVersion);
    JsonEndObject(w);
}

void WriteServiceEntry(JSON_WRITER *w, const SERVICE_RECORD *service)
{
    JsonKeyText(w, service->name);
    JsonBeginObject(w, JSON_INLINE);
    if (service->displayName != NULL) {
        JsonKey(w, "display_name");
        JsonText(w, service->displayName);
    }
    if (service->binary != NULL) {
        JsonKey(w, "binary");
        JsonText(w, service->binary);
    }
    JsonKey(w, "type");
    JsonNumber(w, service->type);
    JsonKey(w, "start");
    JsonNumber(w, service->start);
    JsonKey(w, "error_control");
    JsonNumber(w, service->errorControl);
    if (service->markedForDelete) {
        JsonKey(w, "marked_for_delete");
        JsonBool(w, TRUE);
    }
    JsonEndObject(w);
}

void WriteStoreEntry(JSON_WRITER *w, const STORE_RECORD *entry)
{
    JsonBeginObject(w, JSON_INLINE);
    JsonKey(w, "published_name");
    JsonText(w, entry->publishedName);
    if (entry->originalName != NULL) {
        JsonKey(w, "original_path");
        JsonText(w, entry->originalName);
    }
    /* INF files may be UTF-16 or of a code page; such bytes go as hex. */
    if (Utf8IsValid(entry->content, entry->contentSize)) {
        JsonKey(w, "content");
        JsonUtf8(w, entry->content, entry->contentSize);
    } else {
        JsonKey(w, "content_hex");
        JsonHex(w, entry->content, entry->contentSize);
    }
    JsonEndObject(w);
}

void FormatLocalTime(const SYSTEMTIME *time, WCHAR *text, size_t capacity)
{
    TextFormat(text, capacity, TEXT("%04u-%02u-%02u %02u:%02u:%02u.%03u"), (unsigned int)time->wYear,
               (unsigned int)time->wMonth, (unsigned int)time->wDay, (unsigned int)time->wHour,
               (unsigned int)time->wMinute, (unsigned int)time->wSecond, (unsigned int)time->wMilliseconds);
}

void FormatGuid(const GUID *guid, WCHAR *text, size_t capacity)
{
    TextFormat(text, capacity, TEXT("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"),
               (unsigned int)guid->Data1, (unsigned int)guid->Data2, (unsigned int)guid->Data3,
               (unsigned int)guid->Data4[0], (unsigned int)guid->Data4[1], (unsigned int)guid->Data4[2],
               (unsigned int)guid->Data4[3], (unsigned int)guid->Data4[4], (unsigned int)guid->Data4[5],
               (unsigned int)guid->Data4[6], (unsigned int)guid->Data4[7]);
}

typedef struct _FEATURE_STATE_NAME {
    const char *shown;         /* as the servicing tool prints it */
    const char *state;         /* as the description names it */
} FEATURE_STATE_NAME;

/* A feature whose payload was removed is off; to the installer it is
 * Disabled like any other. */
static const FEATURE_STATE_NAME FeatureStates[] = {
    {"Enabled", "Enabled"},
    {"Disabled", "Disabled"},
    {"Enable Pending", "EnablePending"},
    {"Disable Pending", "DisablePending"},
    {"Disabled with Payload Removed", "Disabled"},
};

static const char *SkipBlanks(const char *p)
{
    while (*p == ' ' || *p == '\t')
        p++;
    return p;
}

INT ReadFeatureStateLine(const char *line, const char **state)
{
    static const char label[] = "State";
    const char *p = SkipBlanks(line);
    size_t length = 0;
    size_t i;
    size_t k;

    for (i = 0; label[i] != 0; i++)
        if (p[i] != label[i])
            return FEATURE_LINE_OTHER;
    p = SkipBlanks(p + i);
    if (*p != ':')
        return FEATURE_LINE_OTHER;
    p = SkipBlanks(p + 1);
    while (p[length] != 0 && p[length] != '\r' && p[length] != '\n')
        length++;
    while (length > 0 && (p[length - 1] == ' ' || p[length - 1] == '\t'))
        length--;
    for (i = 0; i < sizeof(FeatureStates) / sizeof(FeatureStates[0]); i++) {
        for (k = 0; k < length && FeatureStates[i].shown[k] == p[k]; k++)
            ;
        if (k == length && FeatureStates[i].shown[k] == 0) {
            *state = FeatureStates[i].state;
            return FEATURE_LINE_STATE;
        }
    }
    return FEATURE_LINE_UNKNOWN;
}
