/* Multipath disk claim and release: disks whose vendor and product are in
 * the supported-device list are handed to the MPIO disk driver by rewriting
 * their hardware IDs ("GenDisk" becomes "MPIODisk"), and given back when the
 * list no longer names them. */
#include "device/device.h"

#define MPIO_ENUMERATOR TEXT("MPIO")
/* Every key begins with MATCH_KEY_PREFIX; 8 vendor and 16 product units follow. */
#define MATCH_KEY_PREFIX_UNITS 9
#define MATCH_KEY_UNITS 34

/* The key a disk's hardware ID must begin with to match a supported-device
 * entry. */
typedef struct _MATCH_KEY {
    WCHAR text[MATCH_KEY_UNITS];
    size_t length;
} MATCH_KEY;

/* The context of the claim and release walks: the keys of the list's
 * entries in one LocalAlloc block (NULL when the list has no entries),
 * sorted by length and then by text ignoring the case of A-Z, so that a
 * disk is matched by a binary search per key length instead of a look at
 * every key.  The keys of length L are those from firstOfLength[L] up to
 * firstOfLength[L + 1]. */
typedef struct _DISK_MATCH_KEYS {
    MATCH_KEY *keys;
    size_t count;
    size_t firstOfLength[MATCH_KEY_UNITS + 1];
} DISK_MATCH_KEYS;

/* "SCSI\Disk" + the first 24 units of the entry (fewer when it is shorter). */
static void BuildMatchKey(MATCH_KEY *key, const MULTISZ_ENTRY *entry)
{
    TextCopy(key->text, MATCH_KEY_UNITS, MATCH_KEY_PREFIX);
    TextCopyN(key->text + MATCH_KEY_PREFIX_UNITS, MATCH_KEY_UNITS - MATCH_KEY_PREFIX_UNITS, entry->text,
              entry->length);
    key->length = TextLength(key->text);
}

/* Orders keys by length, then by text ignoring the case of A-Z. */
static int CompareMatchKeys(const void *a, const void *b)
{
    const MATCH_KEY *keyA = (const MATCH_KEY *)a;
    const MATCH_KEY *keyB = (const MATCH_KEY *)b;

    if (keyA->length != keyB->length)
        return keyA->length < keyB->length ? -1 : 1;
    return TextCompareNoCaseN(keyA->text, keyB->text, keyA->length);
}

/* Sorts the keys and records where the keys of each length begin. */
static void IndexMatchKeys(DISK_MATCH_KEYS *matchKeys)
{
    size_t length;
    size_t i = 0;

    qsort(matchKeys->keys, matchKeys->count, sizeof(MATCH_KEY), CompareMatchKeys);
    for (length = 0; length <= MATCH_KEY_UNITS; length++) {
        while (i < matchKeys->count && matchKeys->keys[i].length < length)
            i++;
        matchKeys->firstOfLength[length] = i;
    }
}

/* The keys of every entry of the list in one block, indexed for the walk. */
static DWORD BuildMatchKeys(const MULTISZ_VIEW *list, DISK_MATCH_KEYS *matchKeys)
{
    MULTISZ_ENTRY entry;
    size_t count = 0;
    size_t i = 0;
    BOOL more;

    matchKeys->keys = NULL;
    matchKeys->count = 0;
    for (i = 0; i <= MATCH_KEY_UNITS; i++)
        matchKeys->firstOfLength[i] = 0;
    i = 0;
    for (more = MultiSzViewFirst(list, &entry); more; more = MultiSzViewNext(list, &entry))
        count++;
    if (count == 0)
        return ERROR_SUCCESS;
    if (count > (SIZE_T)-1 / sizeof(MATCH_KEY))
        return ERROR_NOT_ENOUGH_MEMORY;
    matchKeys->keys = (MATCH_KEY *)LocalAlloc(LMEM_FIXED, count * sizeof(MATCH_KEY));
    if (matchKeys->keys == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    for (more = MultiSzViewFirst(list, &entry); more; more = MultiSzViewNext(list, &entry))
        BuildMatchKey(&matchKeys->keys[i++], &entry);
    matchKeys->count = count;
    IndexMatchKeys(matchKeys);
    return ERROR_SUCCESS;
}

DWORD EnumDiskDrives(DeviceCallback callback, const MULTISZ_VIEW *list, INT *flag)
{
    DISK_MATCH_KEYS matchKeys;
    DWORD result;

    result = BuildMatchKeys(list, &matchKeys);
    if (result != ERROR_SUCCESS)
        return result;
    result = EnumClassDevices(&GUID_DEVCLASS_DISKDRIVE, callback, &matchKeys, flag);
    if (matchKeys.keys != NULL)
        LocalFree(matchKeys.keys);
    return result;
}

/* TRUE when the text after the keys' shared prefix begins with one of the
 * keys from 'first' up to 'end', all of the same length. */
static BOOL FindKeyOfLength(const WCHAR *idRest, const DISK_MATCH_KEYS *matchKeys, size_t first, size_t end)
{
    while (first < end) {
        size_t middle = first + (end - first) / 2;
        const MATCH_KEY *key = &matchKeys->keys[middle];
        int order = TextCompareNoCaseN(idRest, key->text + MATCH_KEY_PREFIX_UNITS,
                                       key->length - MATCH_KEY_PREFIX_UNITS);

        if (order == 0)
            return TRUE;
        if (order < 0)
            end = middle;
        else
            first = middle + 1;
    }
    return FALSE;
}

/* TRUE when the hardware ID begins with the key of some entry.  The keys
 * share their prefix, so it is compared once; then each key length that
 * the ID can hold is searched. */
static BOOL MatchesSomeKey(const MULTISZ_ENTRY *id, const DISK_MATCH_KEYS *matchKeys)
{
    const WCHAR *idRest;
    size_t length;

    if (id->length < MATCH_KEY_PREFIX_UNITS ||
        TextCompareNoCaseN(id->text, MATCH_KEY_PREFIX, MATCH_KEY_PREFIX_UNITS) != 0)
        return FALSE;
    idRest = id->text + MATCH_KEY_PREFIX_UNITS;
    for (length = MATCH_KEY_PREFIX_UNITS + 1; length < MATCH_KEY_UNITS && length <= id->length; length++) {
        if (FindKeyOfLength(idRest, matchKeys, matchKeys->firstOfLength[length],
                            matchKeys->firstOfLength[length + 1]))
            return TRUE;
    }
    return FALSE;
}

/* TRUE when some hardware ID of the disk matches some entry of the list. */
static BOOL IsListedDisk(const MULTISZ_VIEW *ids, const DISK_MATCH_KEYS *matchKeys)
{
    MULTISZ_ENTRY id;
    BOOL more;

    if (matchKeys == NULL)
        return FALSE;
    for (more = MultiSzViewFirst(ids, &id); more; more = MultiSzViewNext(ids, &id)) {
        if (MatchesSomeKey(&id, matchKeys))
            return TRUE;
    }
    return FALSE;
}

void NormalizeSupportedDeviceList(const MULTISZ_VIEW *list)
{
    MULTISZ_ENTRY entry;
    BOOL more;
    size_t i;

    for (more = MultiSzViewFirst(list, &entry); more; more = MultiSzViewNext(list, &entry)) {
        for (i = 0; i < entry.length; i++) {
            if (entry.text[i] == ' ')
                entry.text[i] = '_';
        }
    }
}

/* Writes the disk's hardware IDs with every "GenDisk" replaced into
 * 'rewritten' (HARDWARE_ID_UNITS units, zeroed).  Returns the units used by
 * the strings and their NULs, or 0 when nothing was replaced or the whole
 * list, closing NUL included, would not fit: the disk is then left alone
 * rather than stored with a cut ID. */
static size_t RewriteHardwareIds(const MULTISZ_VIEW *ids, WCHAR *rewritten)
{
    MULTISZ_ENTRY id;
    size_t used = 0;
    BOOL replaced = FALSE;
    BOOL more;

    for (more = MultiSzViewFirst(ids, &id); more; more = MultiSzViewNext(ids, &id)) {
        const WCHAR *written = id.text;
        size_t length = id.length;

        if (MultiSzEntryEqualsNoCase(&id, GENERIC_DISK_ID)) {
            written = MPIO_DISK_HARDWARE_ID;
            length = TextLength(written);
            replaced = TRUE;
        }
        if (used + length + 1 + 1 > HARDWARE_ID_UNITS)
            return 0;
        TextCopyN(rewritten + used, HARDWARE_ID_UNITS - used, written, length);
        used += length + 1;
    }
    return replaced ? used : 0;
}

DWORD ClaimDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID matchKeys, INT *outFlag)
{
    WCHAR buffer[HARDWARE_ID_UNITS];
    WCHAR rewritten[HARDWARE_ID_UNITS] = {};
    MULTISZ_VIEW ids;
    size_t used;
    DWORD result;

    (void)outFlag;
    result = ReadHardwareIds(set, device, buffer, &ids);
    if (result != ERROR_SUCCESS)
        return result;
    if (!IsListedDisk(&ids, (const DISK_MATCH_KEYS *)matchKeys))
        return ERROR_SUCCESS;

    used = RewriteHardwareIds(&ids, rewritten);
    if (used == 0)
        return ERROR_SUCCESS;

    if (!SetupDiSetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, (const BYTE *)rewritten,
                                           (DWORD)(used * sizeof(WCHAR) + sizeof(WCHAR))))
        return GetLastError();
    return MarkDeviceForReinstall(set, device);
}

DWORD ReleaseDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID matchKeys, INT *outFlag)
{
    WCHAR buffer[HARDWARE_ID_UNITS];
    WCHAR enumerator[PATH_BUFFER_UNITS + 1] = {};
    MULTISZ_VIEW ids;
    BOOL claimed;
    DWORD result;

    result = ReadHardwareIds(set, device, buffer, &ids);
    if (result != ERROR_SUCCESS)
        return result;
    if (IsListedDisk(&ids, (const DISK_MATCH_KEYS *)matchKeys))
        return ERROR_SUCCESS;
    /* Major version 5 gives back only the disks the claim rewrote. */
    claimed = OsVersion.dwMajorVersion < 6 && HasHardwareId(&ids, MPIO_DISK_HARDWARE_ID);

    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_ENUMERATOR_NAME, NULL, (PBYTE)enumerator,
                                           PATH_BUFFER_UNITS * sizeof(WCHAR), NULL))
        return GetLastError();

    /* A disk of the MPIO bus goes; another is marked for reinstallation and
     * restarted. */
    if (TextCompareNoCase(enumerator, MPIO_ENUMERATOR) == 0) {
        result = RequestDeviceRemoval(set, device);
    } else if (claimed || OsVersion.dwMajorVersion > 5) {
        result = MarkDeviceForReinstall(set, device);
        if (result == ERROR_SUCCESS)
            result = RequestDeviceRestart(set, device);
    } else {
        return ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS)
        return result;
    ReportRestartNeed(set, device, outFlag);
    return ERROR_SUCCESS;
}
