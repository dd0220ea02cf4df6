/* A bounded view of a multi-string: the entries of a buffer of known byte
 * size, handed out one at a time without ever reading past that size.
 * Values come from the registry and from device properties as stored, so a
 * list may lack its closing NUL or its last string's NUL, or end in half a
 * unit.  Its entries are still handed out, but the last one may then end at
 * the view's count instead of at a NUL: readers compare entries by their
 * length, never by reading to a NUL. */
#pragma once

#include "common/platform.h"

typedef struct _MULTISZ_VIEW {
    WCHAR *units;
    size_t count;   /* whole UTF-16 units inside the byte size */
} MULTISZ_VIEW;

typedef struct _MULTISZ_ENTRY {
    WCHAR *text;    /* not terminated when the entry ends at the view's count */
    size_t offset;  /* first unit of the entry within the view */
    size_t length;  /* in units, without a terminator */
} MULTISZ_ENTRY;

/* A view of 'byteCount' bytes at 'data'; a dangling odd byte is not part of
 * it.  NULL data gives a view without entries. */
void MultiSzViewInit(MULTISZ_VIEW *view, WCHAR *data, DWORD byteCount);
/* The first entry, or the one after 'entry'; FALSE at the list's end (an
 * empty string or the end of the units).  A NULL view has no entries. */
BOOL MultiSzViewFirst(const MULTISZ_VIEW *view, MULTISZ_ENTRY *entry);
BOOL MultiSzViewNext(const MULTISZ_VIEW *view, MULTISZ_ENTRY *entry);
/* TRUE when the view is NULL or has no entries. */
BOOL MultiSzViewIsEmpty(const MULTISZ_VIEW *view);
/* The first entry equal to 'text' as a whole, ignoring the case of A-Z;
 * FALSE when there is none. */
BOOL MultiSzViewFindNoCase(const MULTISZ_VIEW *view, const WCHAR *text, MULTISZ_ENTRY *entry);
/* TRUE when the entry equals 'text' as a whole, ignoring the case of A-Z. */
BOOL MultiSzEntryEqualsNoCase(const MULTISZ_ENTRY *entry, const WCHAR *text);
