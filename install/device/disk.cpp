/* Multipath disk claim and release: disks whose vendor and product are in
 * the supported-device list are handed to the MPIO disk driver by rewriting
 * their hardware IDs ("GenDisk" becomes "MPIODisk"), and given back when the
 * list no longer names them. */
#include "device/device.h"

#define GENERIC_DISK_ID TEXT("GenDisk")
#define MPIO_ENUMERATOR TEXT("MPIO")
/* "SCSI\Disk" followed by 8 vendor and 16 product characters. */
#define MATCH_KEY_TEMPLATE TEXT("SCSI\\Disk________________________")
#define MATCH_KEY_UNITS 34
#define VENDOR_PRODUCT_UNITS 24

/* Builds "SCSI\Disk" + the first 24 units of the entry; returns the key length. */
static size_t BuildMatchKey(WCHAR *key, const MULTISZ_ENTRY *entry)
{
    size_t start;

    TextCopy(key, MATCH_KEY_UNITS, MATCH_KEY_TEMPLATE);
    start = TextLength(key) - VENDOR_PRODUCT_UNITS;
    TextCopyN(key + start, MATCH_KEY_UNITS - start, entry->text, entry->length);
    return TextLength(key);
}

/* TRUE when the hardware ID begins with the key of some entry of the list. */
static BOOL MatchesSomeEntry(const MULTISZ_ENTRY *id, const MULTISZ_VIEW *list)
{
    WCHAR key[MATCH_KEY_UNITS];
    MULTISZ_ENTRY entry;
    BOOL more;

    for (more = MultiSzViewFirst(list, &entry); more; more = MultiSzViewNext(list, &entry)) {
        size_t keyLength = BuildMatchKey(key, &entry);

        if (id->length >= keyLength && TextCompareNoCaseN(id->text, key, keyLength) == 0)
            return TRUE;
    }
    return FALSE;
}

/* TRUE when some hardware ID of the disk matches some entry of the list. */
static BOOL IsListedDisk(const MULTISZ_VIEW *ids, const MULTISZ_VIEW *list)
{
    MULTISZ_ENTRY id;
    BOOL more;

    for (more = MultiSzViewFirst(ids, &id); more; more = MultiSzViewNext(ids, &id)) {
        if (MatchesSomeEntry(&id, list))
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

DWORD ClaimDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID list, INT *outFlag)
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
    if (!IsListedDisk(&ids, (const MULTISZ_VIEW *)list))
        return ERROR_SUCCESS;

    used = RewriteHardwareIds(&ids, rewritten);
    if (used == 0)
        return ERROR_SUCCESS;

    if (!SetupDiSetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, (const BYTE *)rewritten,
                                           (DWORD)(used * sizeof(WCHAR) + sizeof(WCHAR))))
        return GetLastError();
    return MarkDeviceForReinstall(set, device);
}

DWORD ReleaseDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID list, INT *outFlag)
{
    WCHAR buffer[HARDWARE_ID_UNITS];
    WCHAR enumerator[PATH_BUFFER_UNITS + 1] = {};
    MULTISZ_VIEW ids;
    BOOL claimed;
    DWORD result;

    result = ReadHardwareIds(set, device, buffer, &ids);
    if (result != ERROR_SUCCESS)
        return result;
    if (IsListedDisk(&ids, (const MULTISZ_VIEW *)list))
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
