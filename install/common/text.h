/* Bounded UTF-16 text helpers.  Copies and appends cut at the buffer's end
 * and always terminate; the cut is not reported. */
#pragma once

#include "common/platform.h"

/* Length in units, not counting the terminator. */
size_t TextLength(const WCHAR *text);
/* Copy src into dst of 'capacity' units (terminator included). */
void TextCopy(WCHAR *dst, size_t capacity, const WCHAR *src);
/* As TextCopy, taking at most 'count' units of src: for text that need not
 * be terminated, such as a multi-string entry. */
void TextCopyN(WCHAR *dst, size_t capacity, const WCHAR *src, size_t count);
/* Append src to the text in dst of 'capacity' units. */
void TextAppend(WCHAR *dst, size_t capacity, const WCHAR *src);
/* Whole-string comparison ignoring the case of A-Z only; 0 when equal. */
int TextCompareNoCase(const WCHAR *a, const WCHAR *b);
/* As above, on at most 'count' units. */
int TextCompareNoCaseN(const WCHAR *a, const WCHAR *b, size_t count);
/* Exact, case-sensitive comparison; 0 when equal. */
int TextCompare(const WCHAR *a, const WCHAR *b);
/* printf-style formatting into dst of 'capacity' units.  Knows %s (UTF-16
 * text), %d, %u, %x, %X with optional zero padding and width, and %%.
 * Returns the length written, or -1 when the text and its terminator do not
 * fit or the format is not understood; dst then holds the empty text. */
int TextFormatV(WCHAR *dst, size_t capacity, const WCHAR *format, va_list args);
int TextFormat(WCHAR *dst, size_t capacity, const WCHAR *format, ...);
