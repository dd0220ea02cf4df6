/* The streaming JSON writer: separators and line breaks by the container's
 * layout, strings escaped as JSON needs, UTF-16 turned into UTF-8. */
#include "json.h"
#include "common/text.h"

void JsonInit(JSON_WRITER *w, JSON_SINK sink, PVOID sinkContext)
{
    INT i;

    w->sink = sink;
    w->sinkContext = sinkContext;
    w->used = 0;
    w->failed = FALSE;
    w->depth = 0;
    w->afterKey = FALSE;
    for (i = 0; i <= JSON_MAX_DEPTH; i++) {
        w->lines[i] = FALSE;
        w->count[i] = 0;
    }
}

BOOL JsonFlush(JSON_WRITER *w)
{
    if (!w->failed && w->used > 0 && !w->sink(w->sinkContext, w->buffer, w->used))
        w->failed = TRUE;
    w->used = 0;
    return !w->failed;
}

static void PutByte(JSON_WRITER *w, BYTE byte)
{
    if (w->failed)
        return;
    if (w->used == JSON_BUFFER_BYTES && !JsonFlush(w))
        return;
    w->buffer[w->used++] = byte;
}

static void PutAscii(JSON_WRITER *w, const char *text)
{
    for (; *text != 0; text++)
        PutByte(w, (BYTE)*text);
}

static void PutLineStart(JSON_WRITER *w, INT depth)
{
    INT i;

    PutByte(w, '\n');
    for (i = 0; i < depth; i++) {
        PutByte(w, ' ');
        PutByte(w, ' ');
    }
}

/* What goes before an element of the open container: a comma after the
 * first, then a line break or a blank.  A member's value follows its key. */
static void BeforeElement(JSON_WRITER *w)
{
    if (w->afterKey) {
        w->afterKey = FALSE;
        return;
    }
    if (w->depth == 0)
        return;
    if (w->count[w->depth] > 0)
        PutByte(w, ',');
    if (w->lines[w->depth])
        PutLineStart(w, w->depth);
    else if (w->count[w->depth] > 0)
        PutByte(w, ' ');
    w->count[w->depth]++;
}

static void Begin(JSON_WRITER *w, char open, BOOL lines)
{
    BeforeElement(w);
    if (w->depth == JSON_MAX_DEPTH) {
        w->failed = TRUE;
        return;
    }
    PutByte(w, (BYTE)open);
    w->depth++;
    w->lines[w->depth] = lines;
    w->count[w->depth] = 0;
}

static void End(JSON_WRITER *w, char close)
{
    if (w->depth == 0 || w->afterKey) {
        w->failed = TRUE;
        return;
    }
    if (w->lines[w->depth] && w->count[w->depth] > 0)
        PutLineStart(w, w->depth - 1);
    PutByte(w, (BYTE)close);
    w->depth--;
    if (w->depth == 0)
        PutByte(w, '\n');
}

void JsonBeginObject(JSON_WRITER *w, BOOL lines)
{
    Begin(w, '{', lines);
}

void JsonEndObject(JSON_WRITER *w)
{
    End(w, '}');
}

void JsonBeginArray(JSON_WRITER *w, BOOL lines)
{
    Begin(w, '[', lines);
}

void JsonEndArray(JSON_WRITER *w)
{
    End(w, ']');
}

/* The UTF-8 bytes of a code point into 'out' (4 bytes); how many. */
static size_t EncodeUtf8(unsigned int cp, BYTE *out)
{
    if (cp < 0x80) {
        out[0] = (BYTE)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (BYTE)(0xC0 | (cp >> 6));
        out[1] = (BYTE)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (BYTE)(0xE0 | (cp >> 12));
        out[1] = (BYTE)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (BYTE)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (BYTE)(0xF0 | (cp >> 18));
    out[1] = (BYTE)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (BYTE)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (BYTE)(0x80 | (cp & 0x3F));
    return 4;
}

/* The code point at units[*at], moving *at past it; a surrogate without
 * its partner is U+FFFD. */
static unsigned int NextUtf16(const WCHAR *units, size_t count, size_t *at)
{
    unsigned int unit = (unsigned int)units[*at];

    (*at)++;
    if (unit >= 0xD800 && unit <= 0xDBFF && *at < count && units[*at] >= 0xDC00 && units[*at] <= 0xDFFF)
        return 0x10000 + ((unit - 0xD800) << 10) + ((unsigned int)units[(*at)++] - 0xDC00);
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return 0xFFFD;
    return unit;
}

size_t Utf8FromUtf16(const WCHAR *units, size_t count, BYTE *out, size_t capacity)
{
    BYTE encoded[4];
    size_t at = 0;
    size_t used = 0;
    size_t length;
    size_t k;

    while (at < count) {
        length = EncodeUtf8(NextUtf16(units, count, &at), encoded);
        if (used + length > capacity)
            break;
        for (k = 0; k < length; k++)
            out[used++] = encoded[k];
    }
    return used;
}

/* One code point of a string: escaped when JSON needs it, else as UTF-8. */
static void PutCodePoint(JSON_WRITER *w, unsigned int cp)
{
    static const char digits[] = "0123456789abcdef";
    BYTE encoded[4];
    size_t length;
    size_t k;

    switch (cp) {
    case '"': PutAscii(w, "\\\""); return;
    case '\\': PutAscii(w, "\\\\"); return;
    case '\b': PutAscii(w, "\\b"); return;
    case '\f': PutAscii(w, "\\f"); return;
    case '\n': PutAscii(w, "\\n"); return;
    case '\r': PutAscii(w, "\\r"); return;
    case '\t': PutAscii(w, "\\t"); return;
    default:
        break;
    }
    if (cp < 0x20) {
        PutAscii(w, "\\u00");
        PutByte(w, (BYTE)digits[cp >> 4]);
        PutByte(w, (BYTE)digits[cp & 0xF]);
        return;
    }
    length = EncodeUtf8(cp, encoded);
    for (k = 0; k < length; k++)
        PutByte(w, encoded[k]);
}

static void PutQuotedUnits(JSON_WRITER *w, const WCHAR *text, size_t units)
{
    size_t at = 0;

    PutByte(w, '"');
    while (at < units)
        PutCodePoint(w, NextUtf16(text, units, &at));
    PutByte(w, '"');
}

void JsonKey(JSON_WRITER *w, const char *name)
{
    BeforeElement(w);
    PutByte(w, '"');
    PutAscii(w, name);
    PutAscii(w, "\": ");
    w->afterKey = TRUE;
}

void JsonKeyText(JSON_WRITER *w, const WCHAR *name)
{
    BeforeElement(w);
    PutQuotedUnits(w, name, TextLength(name));
    PutAscii(w, ": ");
    w->afterKey = TRUE;
}

void JsonText(JSON_WRITER *w, const WCHAR *text)
{
    JsonTextN(w, text, TextLength(text));
}

void JsonTextN(JSON_WRITER *w, const WCHAR *text, size_t units)
{
    BeforeElement(w);
    PutQuotedUnits(w, text, units);
}

void JsonAscii(JSON_WRITER *w, const char *text)
{
    BeforeElement(w);
    PutByte(w, '"');
    for (; *text != 0; text++)
        PutCodePoint(w, (unsigned char)*text);
    PutByte(w, '"');
}

/* The length of the UTF-8 sequence at 'at' and its code point; 0 when the
 * bytes there are not UTF-8. */
static size_t NextUtf8(const BYTE *bytes, size_t count, size_t at, unsigned int *codePoint)
{
    static const unsigned int minimum[] = {0, 0x80, 0x800, 0x10000};
    BYTE lead = bytes[at];
    unsigned int cp;
    size_t extra;
    size_t k;

    if (lead < 0x80) {
        cp = lead;
        extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
        cp = lead & 0x1Fu;
        extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
        cp = lead & 0x0Fu;
        extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
        cp = lead & 0x07u;
        extra = 3;
    } else {
        return 0;
    }
    for (k = 1; k <= extra; k++) {
        if (at + k >= count || (bytes[at + k] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (bytes[at + k] & 0x3Fu);
    }
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    *codePoint = cp;
    return extra + 1;
}

BOOL Utf8IsValid(const BYTE *bytes, size_t count)
{
    unsigned int cp;
    size_t at = 0;
    size_t length;

    while (at < count) {
        length = NextUtf8(bytes, count, at, &cp);
        if (length == 0)
            return FALSE;
        at += length;
    }
    return TRUE;
}

void JsonUtf8(JSON_WRITER *w, const BYTE *bytes, size_t count)
{
    unsigned int cp = 0;
    size_t at = 0;
    size_t length;

    BeforeElement(w);
    PutByte(w, '"');
    while (at < count) {
        length = NextUtf8(bytes, count, at, &cp);
        if (length == 0) {
            /* The caller checked the bytes; a stray byte still gives JSON. */
            cp = 0xFFFD;
            length = 1;
        }
        PutCodePoint(w, cp);
        at += length;
    }
    PutByte(w, '"');
}

void JsonHex(JSON_WRITER *w, const BYTE *bytes, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    size_t i;

    BeforeElement(w);
    PutByte(w, '"');
    for (i = 0; i < count; i++) {
        PutByte(w, (BYTE)digits[bytes[i] >> 4]);
        PutByte(w, (BYTE)digits[bytes[i] & 0xF]);
    }
    PutByte(w, '"');
}

void JsonNumber(JSON_WRITER *w, unsigned long long value)
{
    char reversed[24];
    INT count = 0;

    BeforeElement(w);
    do {
        reversed[count++] = (char)('0' + (int)(value % 10));
        value /= 10;
    } while (value != 0);
    while (count > 0)
        PutByte(w, (BYTE)reversed[--count]);
}

void JsonBool(JSON_WRITER *w, BOOL value)
{
    BeforeElement(w);
    PutAscii(w, value ? "true" : "false");
}
