/* Multipath disk claim and release: disks whose vendor and product are in
 * the supported-device list are handed to the MPIO disk driver by rewriting
 * their hardware IDs ("GenDisk" becomes "MPIODisk"), and given back when the
 * list no longer names them. */
#include "device/device.h"

#define GENERIC_DISK_ID TEXT("GenDisk")
#define MPIO_ENUMERATOR TEXT("MPIO")
/* Every key begins with this; 8 vendor and 16 product units follow. */
#define MATCH_KEY_PREFIX TEXT("SCSI\\Disk")
#define MATCH_KEY_PREFIX_UNITS 9
#define MATCH_KEY_UNITS 34

/* The key a disk's hardware ID must begin with to match a supported-device
 * entry. */
typedef struct _MATCH_KEY {
    WCHAR text[MATCH_KEY_UNITS];
    size_t length;
} MATCH_KEY;

/* The context of the claim and release walks: the keys of the list's
 * entries in one LocalAlloc block (NULL when the list has no entries). */
typedef struct _DISK_MATCH_KEYS {
    MATCH_KEY *keys;
    size_t count;
} DISK_MATCH_KEYS;

/* "SCSI\Disk" + the first 24 units of the entry (fewer when it is shorter). */
static void BuildMatchKey(MATCH_KEY *key, const MULTISZ_ENTRY *entry)
{
    TextCopy(key->text, MATCH_KEY_UNITS, MATCH_KEY_PREFIX);
    TextCopyN(key->text + MATCH_KEY_PREFIX_UNITS, MATCH_KEY_UNITS - MATCH_KEY_PREFIX_UNITS, entry->text,
              entry->length);
    key->length = TextLength(key->text);
}

/* The keys of every entry of the list, in list order, in one block. */
static DWORD BuildMatchKeys(const MULTISZ_VIEW *list, DISK_MATCH_KEYS *matchKeys)
{
    MULTISZ_ENTRY entry;
    size_t count = 0;
    size_t i = 0;
    BOOL more;

    matchKeys->keys = NULL;
    matchKeys->count = 0;
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

/* TRUE when the hardware ID begins with the key of some entry.  The keys
 * share their prefix, so it is compared once. */
static BOOL MatchesSomeKey(const MULTISZ_ENTRY *id, const DISK_MATCH_KEYS *matchKeys)
{
    const WCHAR *idRest;
    size_t i;

    if (id->length < MATCH_KEY_PREFIX_UNITS ||
        TextCompareNoCaseN(id->text, MATCH_KEY_PREFIX, MATCH_KEY_PREFIX_UNITS) != 0)
        return FALSE;
    idRest = id->text + MATCH_KEY_PREFIX_UNITS;
    for (i = 0; i < matchKeys->count; i++) {
        const MATCH_KEY *key = &matchKeys->keys[i];

        if (id->length >= key->length && TextCompareNoCaseN(idRest, key->text + MATCH_KEY_PREFIX_UNITS,
                                                            key->length - MATCH_KEY_PREFIX_UNITS) == 0)
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
