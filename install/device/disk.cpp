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
/* The hardware-ID buffers keep two NUL units behind the 1026 units the
 * property read may fill, so that a walk over a list the platform handed back
 * without its closing NULs still ends inside the buffer. */
#define HARDWARE_ID_GUARD_UNITS 2

/* Builds "SCSI\Disk" + the first 24 units of 'entry'; returns the key length. */
static size_t BuildMatchKey(WCHAR *key, const WCHAR *entry)
{
    size_t start;
    size_t copied = 0;

    TextCopy(key, MATCH_KEY_UNITS, MATCH_KEY_TEMPLATE);
    start = TextLength(key) - VENDOR_PRODUCT_UNITS;
    while (copied < VENDOR_PRODUCT_UNITS && entry[copied] != 0) {
        key[start + copied] = entry[copied];
        copied++;
    }
    key[start + copied] = 0;
    return start + copied;
}

/* TRUE when 'hardwareId' begins with the key of some entry of 'list'. */
static BOOL IsListedDisk(const WCHAR *hardwareId, const WCHAR *list)
{
    WCHAR key[MATCH_KEY_UNITS];
    const WCHAR *entry;

    if (list == NULL)
        return FALSE;
    for (entry = list; *entry != 0; entry += TextLength(entry) + 1) {
        size_t keyLength = BuildMatchKey(key, entry);

        if (TextCompareNoCaseN(hardwareId, key, keyLength) == 0)
            return TRUE;
    }
    return FALSE;
}

void NormalizeSupportedDeviceList(WCHAR *list)
{
    WCHAR *entry;
    WCHAR *unit;

    if (list == NULL || list[0] == 0)
        return;
    for (entry = list; *entry != 0; entry = unit + 1) {
        for (unit = entry; *unit != 0; unit++) {
            if (*unit == ' ')
                *unit = '_';
        }
    }
}

/* Writes the disk's hardware IDs with every "GenDisk" replaced into
 * 'rewritten' (HARDWARE_ID_UNITS units, zeroed).  Returns the units used by
 * the strings and their NULs, or 0 when nothing was replaced or the whole
 * list, closing NUL included, would not fit: the disk is then left alone
 * rather than stored with a cut ID. */
static size_t RewriteHardwareIds(const WCHAR *hardwareIds, WCHAR *rewritten)
{
    const WCHAR *id;
    size_t used = 0;
    BOOL replaced = FALSE;

    for (id = hardwareIds; *id != 0; id += TextLength(id) + 1) {
        const WCHAR *written = id;

        if (TextCompareNoCase(id, GENERIC_DISK_ID) == 0) {
            written = MPIO_DISK_HARDWARE_ID;
            replaced = TRUE;
        }
        if (used + TextLength(written) + 1 + 1 > HARDWARE_ID_UNITS)
            return 0;
        TextCopy(rewritten + used, HARDWARE_ID_UNITS - used, written);
        used += TextLength(written) + 1;
    }
    return replaced ? used : 0;
}

DWORD ClaimDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID list, INT *outFlag)
{
    WCHAR hardwareIds[HARDWARE_ID_UNITS + HARDWARE_ID_GUARD_UNITS] = {};
    WCHAR rewritten[HARDWARE_ID_UNITS] = {};
    const WCHAR *id;
    BOOL covered = FALSE;
    size_t used;

    (void)outFlag;
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, NULL, (PBYTE)hardwareIds,
                                           HARDWARE_ID_UNITS * sizeof(WCHAR), NULL))
        return GetLastError();
    if (hardwareIds[0] == 0)
        return ERROR_SUCCESS;

    for (id = hardwareIds; *id != 0 && !covered; id += TextLength(id) + 1)
        covered = IsListedDisk(id, (const WCHAR *)list);
    if (!covered)
        return ERROR_SUCCESS;

    used = RewriteHardwareIds(hardwareIds, rewritten);
    if (used == 0)
        return ERROR_SUCCESS;

    if (!SetupDiSetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, (const BYTE *)rewritten,
                                           (DWORD)(used * sizeof(WCHAR) + sizeof(WCHAR))))
        return GetLastError();
    return MarkDeviceForReinstall(set, device);
}

DWORD ReleaseDiskCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID list, INT *outFlag)
{
    WCHAR hardwareIds[HARDWARE_ID_UNITS + HARDWARE_ID_GUARD_UNITS] = {};
    WCHAR enumerator[PATH_BUFFER_UNITS + 1] = {};
    const WCHAR *id;
    BOOL covered = FALSE;
    BOOL claimed = FALSE;
    DWORD result;

    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, NULL, (PBYTE)hardwareIds,
                                           HARDWARE_ID_UNITS * sizeof(WCHAR), NULL))
        return GetLastError();

    for (id = hardwareIds; *id != 0 && !(covered && claimed); id += TextLength(id) + 1) {
        if (!covered)
            covered = IsListedDisk(id, (const WCHAR *)list);
        if (OsVersion.dwMajorVersion < 6 && TextCompareNoCase(id, MPIO_DISK_HARDWARE_ID) == 0)
            claimed = TRUE;
    }
    if (covered)
        return ERROR_SUCCESS;

    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_ENUMERATOR_NAME, NULL, (PBYTE)enumerator,
                                           PATH_BUFFER_UNITS * sizeof(WCHAR), NULL))
        return GetLastError();

    /* A disk of the MPIO bus goes; another is marked for reinstallation and
     * restarted (on major version 5 only one the claim had rewritten). */
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
