/* What capture.exe writes: one-line messages on standard error (UTF-8,
 * each starting "capture: "), the list of items it could not read, and the
 * description file, written beside its name and moved over it when whole
 * so that a failed run leaves an existing file as it was. */
#include "capture.h"

#define MESSAGE_BYTES (4 * MESSAGE_UNITS)

PVOID AllocateBytes(SIZE_T bytes)
{
    return LocalAlloc(LMEM_FIXED, bytes != 0 ? bytes : 1);
}

static void PrintLine(const WCHAR *text)
{
    BYTE bytes[MESSAGE_BYTES + 2];
    size_t count;
    HANDLE error;
    DWORD written = 0;

    count = Utf8FromUtf16(text, TextLength(text), bytes, MESSAGE_BYTES);
    bytes[count++] = '\r';
    bytes[count++] = '\n';
    error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == NULL || error == INVALID_HANDLE_VALUE)
        return;
    WriteFile(error, bytes, (DWORD)count, &written, NULL);
}

static void PrintMessageV(const WCHAR *format, va_list args)
{
    WCHAR line[MESSAGE_UNITS] = TEXT("capture: ");
    size_t prefix = TextLength(line);

    /* A message too long for the line says so rather than vanish. */
    if (TextFormatV(line + prefix, MESSAGE_UNITS - prefix, format, args) < 0)
        TextCopy(line + prefix, MESSAGE_UNITS - prefix, TEXT("(message too long)"));
    PrintLine(line);
}

void PrintMessage(const WCHAR *format, ...)
{
    va_list args;

    va_start(args, format);
    PrintMessageV(format, args);
    va_end(args);
}

void SystemErrorText(DWORD error, WCHAR *text, size_t capacity)
{
    DWORD length;

    text[0] = 0;
    length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error,
                            MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, (DWORD)capacity, NULL);
    if (length == 0 || length >= capacity) {
        text[0] = 0;
        return;
    }
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        length--;
    text[length] = 0;
}

/* Room for one more item; FALSE when memory did not allow it. */
static BOOL GrowUnreadList(UNREAD_LIST *list)
{
    DWORD capacity = list->capacity == 0 ? 16 : 2 * list->capacity;
    UNREAD_ITEM *items;
    DWORD i;

    if (list->count < list->capacity)
        return TRUE;
    items = (UNREAD_ITEM *)AllocateBytes(capacity * sizeof(UNREAD_ITEM));
    if (items == NULL)
        return FALSE;
    for (i = 0; i < list->count; i++)
        items[i] = list->items[i];
    if (list->items != NULL)
        LocalFree(list->items);
    list->items = items;
    list->capacity = capacity;
    return TRUE;
}

void NoteUnread(CAPTURE *capture, DWORD error, const WCHAR *format, ...)
{
    UNREAD_LIST *list = &capture->unread;
    WCHAR what[MESSAGE_UNITS] = {};
    WCHAR *kept;
    size_t units;
    va_list args;

    va_start(args, format);
    if (TextFormatV(what, MESSAGE_UNITS, format, args) < 0)
        TextCopy(what, MESSAGE_UNITS, TEXT("(description too long)"));
    va_end(args);
    /* Setup-library and configuration-manager codes read better in hex. */
    if (error > 0xFFFF)
        PrintMessage(TEXT("not read: %s (error 0x%08X)"), what, (unsigned int)error);
    else
        PrintMessage(TEXT("not read: %s (error %u)"), what, (unsigned int)error);

    units = TextLength(what) + 1;
    kept = GrowUnreadList(list) ? (WCHAR *)AllocateBytes(units * sizeof(WCHAR)) : NULL;
    if (kept == NULL) {
        list->dropped++;
        return;
    }
    TextCopy(kept, units, what);
    list->items[list->count].what = kept;
    list->items[list->count].error = error;
    list->count++;
}

void WriteUnreadList(CAPTURE *capture)
{
    UNREAD_LIST *list = &capture->unread;
    WCHAR what[128] = {};
    DWORD i;

    JsonKey(capture->json, "unread");
    JsonBeginArray(capture->json, JSON_LINES);
    for (i = 0; i < list->count; i++) {
        JsonBeginObject(capture->json, JSON_INLINE);
        JsonKey(capture->json, "what");
        JsonText(capture->json, list->items[i].what);
        JsonKey(capture->json, "error");
        JsonNumber(capture->json, list->items[i].error);
        JsonEndObject(capture->json);
    }
    if (list->dropped > 0) {
        TextFormat(what, 128, TEXT("%u more items, printed on standard error (no memory to keep them)"),
                   (unsigned int)list->dropped);
        JsonBeginObject(capture->json, JSON_INLINE);
        JsonKey(capture->json, "what");
        JsonText(capture->json, what);
        JsonKey(capture->json, "error");
        JsonNumber(capture->json, ERROR_NOT_ENOUGH_MEMORY);
        JsonEndObject(capture->json);
    }
    JsonEndArray(capture->json);
}

void FreeUnreadList(UNREAD_LIST *list)
{
    DWORD i;

    for (i = 0; i < list->count; i++)
        LocalFree(list->items[i].what);
    if (list->items != NULL)
        LocalFree(list->items);
    list->items = NULL;
    list->count = list->capacity = list->dropped = 0;
}

DWORD OpenOutput(OUTPUT_FILE *output, const WCHAR *path)
{
    size_t capacity = sizeof(output->path) / sizeof(WCHAR);

    output->handle = INVALID_HANDLE_VALUE;
    output->error = ERROR_SUCCESS;
    /* The temporary name needs the path and ".tmp". */
    if (TextLength(path) + 5 > capacity)
        return ERROR_FILENAME_EXCED_RANGE;
    TextCopy(output->path, capacity, path);
    TextCopy(output->temporary, capacity, path);
    TextAppend(output->temporary, capacity, TEXT(".tmp"));
    output->handle = CreateFileW(output->temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 NULL);
    if (output->handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    return ERROR_SUCCESS;
}

BOOL OutputSink(PVOID context, const BYTE *bytes, DWORD count)
{
    OUTPUT_FILE *output = (OUTPUT_FILE *)context;
    DWORD written = 0;

    if (!WriteFile(output->handle, bytes, count, &written, NULL)) {
        output->error = GetLastError();
        return FALSE;
    }
    if (written != count) {
        output->error = ERROR_WRITE_FAULT;
        return FALSE;
    }
    return TRUE;
}

DWORD CommitOutput(OUTPUT_FILE *output, BOOL whole)
{
    DWORD error = output->error;

    if (error == ERROR_SUCCESS && !whole)
        error = ERROR_INVALID_DATA;
    if (!CloseHandle(output->handle) && error == ERROR_SUCCESS)
        error = GetLastError();
    output->handle = INVALID_HANDLE_VALUE;
    if (error != ERROR_SUCCESS)
        goto delete_temporary;
    if (!MoveFileExW(output->temporary, output->path, MOVEFILE_REPLACE_EXISTING)) {
        error = GetLastError();
        goto delete_temporary;
    }
    return ERROR_SUCCESS;

delete_temporary:
    DeleteFileW(output->temporary);
    return error;
}
