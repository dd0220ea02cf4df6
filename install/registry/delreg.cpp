/* DelReg string removal: the delete-string lines of the section named by an
 * INF's [DefaultUninstall] "DelReg" line, applied to one of the two known
 * multi-string values in memory. */
#include "registry/registry.h"

#define DELREG_FIELD_COUNT 5
#define DELREG_FLAGS_FIELD 4
#define DELREG_STRING_FIELD 5

DWORD ReadDelRegSectionName(const WCHAR *infPath, WCHAR **sectionName)
{
    HINF inf;
    DWORD required = 0;
    DWORD result = ERROR_SUCCESS;

    inf = SetupOpenInfFileW(infPath, NULL, INF_STYLE_WIN4, NULL);
    if (inf == INVALID_HANDLE_VALUE)
        return GetLastError();

    if (!SetupGetLineTextW(NULL, inf, UNINSTALL_SECTION, DELREG_KEY, NULL, 0, &required)) {
        result = GetLastError();
        goto cleanupInf;
    }
    *sectionName = (WCHAR *)LocalAlloc(LMEM_FIXED, (SIZE_T)required * sizeof(WCHAR));
    if (*sectionName == NULL) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        goto cleanupInf;
    }
    if (!SetupGetLineTextW(NULL, inf, UNINSTALL_SECTION, DELREG_KEY, *sectionName, required, &required))
        result = GetLastError();

cleanupInf:
    SetupCloseInfFile(inf);
    return result;
}

DWORD GetInfStringField(PINFCONTEXT context, DWORD fieldIndex, DWORD *requiredSize, WCHAR **text)
{
    BOOL allocated = FALSE;
    DWORD result;

    if (requiredSize == NULL)
        return ERROR_INVALID_PARAMETER;

    if (*requiredSize == 0) {
        if (!SetupGetStringFieldW(context, fieldIndex, NULL, 0, requiredSize))
            return GetLastError();
        *text = (WCHAR *)LocalAlloc(LMEM_FIXED, (SIZE_T)*requiredSize * sizeof(WCHAR));
        if (*text == NULL)
            return ERROR_NOT_ENOUGH_MEMORY;
        allocated = TRUE;
    }
    if (SetupGetStringFieldW(context, fieldIndex, *text, *requiredSize, requiredSize))
        return ERROR_SUCCESS;

    result = GetLastError();
    if (allocated) {
        LocalFree(*text);
        *text = NULL;
    }
    return result;
}

/* The layout of a stored list as its view sees it: a list that lost its
 * last NUL, its closing NUL, or an odd trailing byte is read as if it ended
 * there. */
typedef struct _LIST_MATCH {
    size_t start;       /* first unit of the matching entry */
    size_t length;      /* its length in units */
    size_t closing;     /* unit of the closing NUL (the end of the units when missing) */
    BOOL lastCut;       /* the last entry has no NUL inside the byte count */
    size_t lastStart;   /* first unit of the last entry */
} LIST_MATCH;

/* Finds the first entry equal to 'text' (A-Z folded); FALSE when none. */
static BOOL FindListEntry(WCHAR *list, DWORD byteCount, const WCHAR *text, LIST_MATCH *match)
{
    MULTISZ_VIEW view;
    MULTISZ_ENTRY entry;
    MULTISZ_ENTRY last = {};
    BOOL more;

    MultiSzViewInit(&view, list, byteCount);
    if (!MultiSzViewFindNoCase(&view, text, &entry))
        return FALSE;
    match->start = entry.offset;
    match->length = entry.length;
    for (more = MultiSzViewFirst(&view, &entry); more; more = MultiSzViewNext(&view, &entry))
        last = entry;
    match->lastStart = last.offset;
    match->lastCut = (last.offset + last.length == view.count);
    match->closing = match->lastCut ? view.count : last.offset + last.length + 1;
    return TRUE;
}

/* Removes the first entry equal to 'text' from the caller's list, replacing
 * the block when anything is left.  ERROR_SUCCESS, or ERROR_NOT_ENOUGH_MEMORY
 * with the caller's list unchanged. */
static DWORD RemoveListEntry(WCHAR **list, DWORD *byteCount, const WCHAR *text)
{
    LIST_MATCH match = {};
    LONGLONG newCount;
    LONGLONG neededCount;
    size_t tailStart;
    size_t tailUnits = 0;
    BOOL tailCut;
    WCHAR *block;
    size_t i;

    if (!FindListEntry(*list, *byteCount, text, &match))
        return ERROR_SUCCESS;

    /* Signed, so that a byte count smaller than the walked list cannot wrap. */
    newCount = (LONGLONG)*byteCount - 2 * (LONGLONG)match.length - 2;
    if (newCount < 2) {
        /* The removed entry was the only one, in a list stored without its
         * closing NUL.  The block holds at least that entry's whole unit,
         * so it stays and becomes the empty list: one NUL unit. */
        (*list)[0] = 0;
        *byteCount = sizeof(WCHAR);
        return ERROR_SUCCESS;
    }

    tailStart = match.start + match.length + 1;
    if (tailStart < match.closing)
        tailUnits = match.closing - tailStart;
    /* A last entry that lost its NUL gets one back, unless it is the one removed. */
    tailCut = match.lastCut && match.lastStart != match.start;
    neededCount = 2 * (LONGLONG)(match.start + tailUnits + (tailCut ? 1 : 0) + 1);
    if (newCount < neededCount)
        newCount = neededCount;
    if (newCount > (LONGLONG)0xFFFFFFFF)
        return ERROR_NOT_ENOUGH_MEMORY;

    /* Zero-filled: units behind the copied entries (a count larger than the
     * list) read as NULs. */
    block = (WCHAR *)LocalAlloc(LPTR, (SIZE_T)newCount);
    if (block == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    for (i = 0; i < match.start; i++)
        block[i] = (*list)[i];
    for (i = 0; i < tailUnits; i++)
        block[match.start + i] = (*list)[tailStart + i];
    block[newCount / 2 - 1] = 0;

    LocalFree(*list);
    *list = block;
    *byteCount = (DWORD)newCount;
    return ERROR_SUCCESS;
}

static void FreeFieldTexts(WCHAR **fields, size_t count)
{
    size_t i;

    for (i = 0; i < count; i++) {
        if (fields[i] != NULL) {
            LocalFree(fields[i]);
            fields[i] = NULL;
        }
    }
}

DWORD RemoveDelRegStrings(const WCHAR *infPath, const WCHAR *sectionName, MultiSzKind kind,
                          WCHAR **list, DWORD *byteCount)
{
    /* Fields 1, 2, 3 and 5 of the current line, by field number. */
    WCHAR *fields[DELREG_FIELD_COUNT + 1] = {};
    const WCHAR *keyPath = NULL;
    const WCHAR *valueName = NULL;
    BOOL knownKind;
    HINF inf;
    LONG lineCount;
    LONG index;
    DWORD result = ERROR_SUCCESS;

    inf = SetupOpenInfFileW(infPath, NULL, INF_STYLE_WIN4, NULL);
    if (inf == INVALID_HANDLE_VALUE)
        return GetLastError();

    knownKind = LookupMultiSzKind(kind, &keyPath, &valueName) == ERROR_SUCCESS;
    lineCount = SetupGetLineCountW(inf, sectionName);
    for (index = 0; index < lineCount; index++) {
        static const DWORD textFields[] = {1, 2, 3, DELREG_STRING_FIELD};
        INFCONTEXT context = {};
        INT flags = 0;
        BOOL readable = TRUE;
        size_t i;

        FreeFieldTexts(fields, DELREG_FIELD_COUNT + 1);
        if (!SetupGetLineByIndexW(inf, sectionName, (DWORD)index, &context))
            continue;
        if (SetupGetFieldCount(&context) != DELREG_FIELD_COUNT)
            continue;
        if (!SetupGetIntField(&context, DELREG_FLAGS_FIELD, &flags) ||
            (DWORD)flags != FLG_DELREG_MULTI_SZ_DELSTRING)
            continue;
        for (i = 0; i < sizeof(textFields) / sizeof(textFields[0]) && readable; i++) {
            DWORD units = 0;

            readable = GetInfStringField(&context, textFields[i], &units, &fields[textFields[i]]) == ERROR_SUCCESS;
        }
        if (!readable || !knownKind)
            continue;
        if (TextCompareNoCase(fields[1], DELREG_ROOT) != 0 || TextCompareNoCase(fields[2], keyPath) != 0 ||
            TextCompareNoCase(fields[3], valueName) != 0)
            continue;

        result = RemoveListEntry(list, byteCount, fields[DELREG_STRING_FIELD]);
        if (result != ERROR_SUCCESS)
            break;
    }

    SetupCloseInfFile(inf);
    FreeFieldTexts(fields, DELREG_FIELD_COUNT + 1);
    return result;
}
