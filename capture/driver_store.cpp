/* The driver_store member: the INFs published in the system's INF folder
 * (oem*.inf), in the order found, each with the name of the INF it was
 * published from and its bytes. */
#include "capture.h"

#define READ_CHUNK_BYTES 65536

typedef struct _FILE_BYTES {
    BYTE *data;
    size_t size;
    size_t capacity;
} FILE_BYTES;

/* Room for 'more' bytes after the ones held. */
static BOOL GrowFileBytes(FILE_BYTES *bytes, size_t more)
{
    size_t capacity = bytes->capacity == 0 ? READ_CHUNK_BYTES : bytes->capacity;
    BYTE *data;
    size_t i;

    if (bytes->size + more <= bytes->capacity)
        return TRUE;
    while (capacity < bytes->size + more)
        capacity *= 2;
    data = (BYTE *)AllocateBytes(capacity);
    if (data == NULL)
        return FALSE;
    for (i = 0; i < bytes->size; i++)
        data[i] = bytes->data[i];
    if (bytes->data != NULL)
        LocalFree(bytes->data);
    bytes->data = data;
    bytes->capacity = capacity;
    return TRUE;
}

/* The whole file, read in chunks until the end. */
static DWORD ReadWholeFile(const WCHAR *path, FILE_BYTES *bytes)
{
    HANDLE file;
    DWORD got = 0;
    DWORD error = ERROR_SUCCESS;

    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    for (;;) {
        if (!GrowFileBytes(bytes, READ_CHUNK_BYTES)) {
            error = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        if (!ReadFile(file, bytes->data + bytes->size, READ_CHUNK_BYTES, &got, NULL)) {
            error = GetLastError();
            break;
        }
        if (got == 0)
            break;
        bytes->size += got;
    }
    CloseHandle(file);
    return error;
}

/* The name of the INF it was published from: Windows XP and later keep it. */
static WCHAR *ReadOriginalName(CAPTURE *capture, const WCHAR *path, const WCHAR *published, WCHAR *name,
                               size_t capacity)
{
    SP_ORIGINAL_FILE_INFO_W original = {};
    SP_INF_INFORMATION *info;
    WCHAR *found = NULL;
    DWORD needed = 0;
    DWORD error;

    if (capture->os.dwMajorVersion == 5 && capture->os.dwMinorVersion == 0)
        return NULL;   /* noted once for the whole store */
    SetLastError(ERROR_SUCCESS);
    if (!SetupGetInfInformationW(path, INFINFO_INF_NAME_IS_ABSOLUTE, NULL, 0, &needed)) {
        error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            NoteUnread(capture, error, TEXT("driver store %s: INF information"), published);
            return NULL;
        }
    }
    info = (SP_INF_INFORMATION *)AllocateBytes(needed);
    if (info == NULL) {
        NoteUnread(capture, ERROR_NOT_ENOUGH_MEMORY, TEXT("driver store %s: INF information"), published);
        return NULL;
    }
    SetLastError(ERROR_SUCCESS);
    if (!SetupGetInfInformationW(path, INFINFO_INF_NAME_IS_ABSOLUTE, info, needed, NULL)) {
        NoteUnread(capture, GetLastError(), TEXT("driver store %s: INF information"), published);
        goto free_info;
    }
    original.cbSize = sizeof(original);
    SetLastError(ERROR_SUCCESS);
    if (!SetupQueryInfOriginalFileInformationW(info, 0, NULL, &original)) {
        NoteUnread(capture, GetLastError(), TEXT("driver store %s: original name"), published);
        goto free_info;
    }
    TextCopyN(name, capacity, original.OriginalInfName, MAX_PATH);
    found = name;

free_info:
    LocalFree(info);
    return found;
}

/* "oem" at the start and ".inf" at the end, letter case aside: the search
 * pattern also meets names whose short form matches. */
static BOOL IsPublishedName(const WCHAR *name)
{
    size_t length = TextLength(name);

    return length > 7 && TextCompareNoCaseN(name, TEXT("oem"), 3) == 0 &&
           TextCompareNoCase(name + length - 4, TEXT(".inf")) == 0;
}

static void CaptureStoreEntry(CAPTURE *capture, const WCHAR *folder, const WCHAR *published)
{
    WCHAR path[PATH_BUFFER_UNITS * 2] = {};
    WCHAR original[MAX_PATH + 1] = {};
    STORE_RECORD entry = {};
    FILE_BYTES bytes = {};
    DWORD error;

    if (TextFormat(path, PATH_BUFFER_UNITS * 2, TEXT("%s\\%s"), folder, published) < 0) {
        NoteUnread(capture, ERROR_FILENAME_EXCED_RANGE, TEXT("driver store %s"), published);
        return;
    }
    error = ReadWholeFile(path, &bytes);
    if (error != ERROR_SUCCESS) {
        NoteUnread(capture, error, TEXT("driver store %s: content"), published);
        goto free_bytes;
    }
    entry.publishedName = published;
    entry.originalName = ReadOriginalName(capture, path, published, original, MAX_PATH + 1);
    entry.content = bytes.data;
    entry.contentSize = bytes.size;
    WriteStoreEntry(capture->json, &entry);
    capture->storeEntries++;
free_bytes:
    if (bytes.data != NULL)
        LocalFree(bytes.data);
}

void CaptureDriverStore(CAPTURE *capture)
{
    WIN32_FIND_DATAW found = {};
    WCHAR windows[PATH_BUFFER_UNITS] = {};
    WCHAR folder[PATH_BUFFER_UNITS + 8] = {};
    WCHAR pattern[PATH_BUFFER_UNITS + 24] = {};
    HANDLE search;
    DWORD length;
    DWORD error;

    JsonKey(capture->json, "driver_store");
    JsonBeginArray(capture->json, JSON_LINES);
    length = GetWindowsDirectoryW(windows, PATH_BUFFER_UNITS);
    if (length == 0 || length >= PATH_BUFFER_UNITS) {
        NoteUnread(capture, length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER,
                   TEXT("driver store: the Windows folder"));
        goto close_array;
    }
    TextFormat(folder, PATH_BUFFER_UNITS + 8, TEXT("%s\\inf"), windows);
    TextFormat(pattern, PATH_BUFFER_UNITS + 24, TEXT("%s\\oem*.inf"), folder);
    search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            NoteUnread(capture, error, TEXT("driver store: %s"), pattern);
        goto close_array;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsPublishedName(found.cFileName))
            CaptureStoreEntry(capture, folder, found.cFileName);
    } while (FindNextFileW(search, &found));
    error = GetLastError();
    if (error != ERROR_NO_MORE_FILES)
        NoteUnread(capture, error, TEXT("driver store: %s"), pattern);
    FindClose(search);
    if (capture->storeEntries > 0 && capture->os.dwMajorVersion == 5 && capture->os.dwMinorVersion == 0)
        NoteUnread(capture, ERROR_NOT_SUPPORTED,
                   TEXT("driver store: original INF names (Windows 2000 does not keep them)"));
close_array:
    JsonEndArray(capture->json);
}
