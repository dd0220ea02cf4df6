/* The two multi-string values the package shares with the system, read and
 * written whole, and a list closed before it is written back.  Their key
 * paths and value names are product facts (common/product.h); the DelReg
 * removal asks LookupMultiSzKind for them. */
#include "registry/registry.h"

DWORD LookupMultiSzKind(MultiSzKind kind, const WCHAR **keyPath, const WCHAR **valueName)
{
    switch (kind) {
    case MULTISZ_SUPPORTED_DEVICES:
        *keyPath = SUPPORTED_DEVICES_KEY;
        *valueName = SUPPORTED_DEVICES_VALUE;
        return ERROR_SUCCESS;
    case MULTISZ_UPPER_FILTERS:
        *keyPath = UPPER_FILTERS_KEY;
        *valueName = UPPER_FILTERS_VALUE;
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

/* Copies the key path and value name of a kind into the caller's buffers of
 * REGISTRY_NAME_UNITS units; 87 for an unknown kind. */
static DWORD CopyMultiSzNames(MultiSzKind kind, WCHAR *keyPath, WCHAR *valueName)
{
    const WCHAR *knownKeyPath;
    const WCHAR *knownValueName;
    DWORD result;

    result = LookupMultiSzKind(kind, &knownKeyPath, &knownValueName);
    if (result != ERROR_SUCCESS)
        return result;
    TextCopy(keyPath, REGISTRY_NAME_UNITS, knownKeyPath);
    TextCopy(valueName, REGISTRY_NAME_UNITS, knownValueName);
    return ERROR_SUCCESS;
}

DWORD ReadMultiSzValue(MultiSzKind kind, WCHAR **buffer, DWORD *size)
{
    WCHAR keyPath[REGISTRY_NAME_UNITS] = {};
    WCHAR valueName[REGISTRY_NAME_UNITS] = {};
    HKEY key = NULL;
    DWORD storedSize = 0;
    DWORD capacity;
    DWORD i;
    BYTE *block;
    DWORD result;

    result = CopyMultiSzNames(kind, keyPath, valueName);
    if (result != ERROR_SUCCESS)
        return result;
    result = (DWORD)RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS)
        return result;

    result = (DWORD)RegQueryValueExW(key, valueName, NULL, NULL, NULL, &storedSize);
    if (result != ERROR_SUCCESS)
        goto cleanupKey;

    /* Exactly the stored size: readers walk it through a bounded view. */
    block = (BYTE *)LocalAlloc(LMEM_FIXED, storedSize);
    *buffer = (WCHAR *)block;
    if (block == NULL) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        goto cleanupKey;
    }
    /* Zero first: a value that shrank since the size query leaves bytes unwritten. */
    for (i = 0; i < storedSize; i++)
        block[i] = 0;
    *size = storedSize;

    capacity = storedSize;
    result = (DWORD)RegQueryValueExW(key, valueName, NULL, NULL, block, &capacity);

cleanupKey:
    RegCloseKey(key);
    return result;
}

DWORD WriteMultiSzValue(MultiSzKind kind, const WCHAR *data, DWORD size)
{
    WCHAR keyPath[REGISTRY_NAME_UNITS] = {};
    WCHAR valueName[REGISTRY_NAME_UNITS] = {};
    HKEY key = NULL;
    DWORD result;

    result = CopyMultiSzNames(kind, keyPath, valueName);
    if (result != ERROR_SUCCESS)
        return result;
    /* Opened, never created: the value belongs to a key the system owns. */
    result = (DWORD)RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_SET_VALUE, &key);
    if (result != ERROR_SUCCESS)
        return result;

    result = (DWORD)RegSetValueExW(key, valueName, 0, REG_MULTI_SZ, (const BYTE *)data, size);

    RegCloseKey(key);
    return result;
}

DWORD CloseMultiSzList(WCHAR **list, DWORD *byteCount)
{
    MULTISZ_VIEW view;
    MULTISZ_ENTRY entry;
    BOOL more;
    size_t closing = 0;     /* the unit behind the last entry's NUL */
    size_t units = 1;       /* each entry with its NUL, then the closing NUL */
    BOOL closed;
    WCHAR *block;
    size_t next = 0;
    size_t i;

    MultiSzViewInit(&view, *list, *byteCount);
    for (more = MultiSzViewFirst(&view, &entry); more; more = MultiSzViewNext(&view, &entry)) {
        closing = entry.offset + entry.length + 1;
        units += entry.length + 1;
    }
    /* Closed: whole units, and NULs only from the closing one to the end. */
    closed = *byteCount % sizeof(WCHAR) == 0 && closing < view.count;
    for (i = closing; closed && i < view.count; i++)
        closed = view.units[i] == 0;
    if (closed)
        return ERROR_SUCCESS;
    if (units > 0xFFFFFFFF / sizeof(WCHAR))
        return ERROR_NOT_ENOUGH_MEMORY;

    block = (WCHAR *)LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR));
    if (block == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    for (more = MultiSzViewFirst(&view, &entry); more; more = MultiSzViewNext(&view, &entry)) {
        for (i = 0; i < entry.length; i++)
            block[next++] = entry.text[i];
        block[next++] = 0;
    }
    block[next] = 0;

    if (*list != NULL)
        LocalFree(*list);
    *list = block;
    *byteCount = (DWORD)(units * sizeof(WCHAR));
    return ERROR_SUCCESS;
}
