/* The bounded multi-string view shared by every reader of a list. */
#include "common/common.h"

void MultiSzViewInit(MULTISZ_VIEW *view, WCHAR *data, DWORD byteCount)
{
    view->units = data;
    view->count = data != NULL ? byteCount / sizeof(WCHAR) : 0;
}

/* The entry that starts at 'offset', bounded by the view's count. */
static BOOL ReadEntryAt(const MULTISZ_VIEW *view, size_t offset, MULTISZ_ENTRY *entry)
{
    size_t length = 0;

    if (view == NULL || offset >= view->count || view->units[offset] == 0)
        return FALSE;
    while (offset + length < view->count && view->units[offset + length] != 0)
        length++;
    entry->text = view->units + offset;
    entry->offset = offset;
    entry->length = length;
    return TRUE;
}

BOOL MultiSzViewFirst(const MULTISZ_VIEW *view, MULTISZ_ENTRY *entry)
{
    return ReadEntryAt(view, 0, entry);
}

BOOL MultiSzViewNext(const MULTISZ_VIEW *view, MULTISZ_ENTRY *entry)
{
    return ReadEntryAt(view, entry->offset + entry->length + 1, entry);
}

BOOL MultiSzViewIsEmpty(const MULTISZ_VIEW *view)
{
    MULTISZ_ENTRY entry;

    return !MultiSzViewFirst(view, &entry);
}

BOOL MultiSzViewFindNoCase(const MULTISZ_VIEW *view, const WCHAR *text, MULTISZ_ENTRY *entry)
{
    BOOL more;

    for (more = MultiSzViewFirst(view, entry); more; more = MultiSzViewNext(view, entry)) {
        if (MultiSzEntryEqualsNoCase(entry, text))
            return TRUE;
    }
    return FALSE;
}

BOOL MultiSzEntryEqualsNoCase(const MULTISZ_ENTRY *entry, const WCHAR *text)
{
    return entry->length == TextLength(text) && TextCompareNoCaseN(entry->text, text, entry->length) == 0;
}
