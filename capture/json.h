/* A small streaming JSON writer.  Text comes in as UTF-16 and goes out as
 * UTF-8 through a sink (the output file, or memory in the tests); a
 * container's elements go each on a line of their own or all on one line,
 * as its caller asks, so that the description diffs line by line. */
#pragma once

#include "common/platform.h"

/* Takes the next bytes of the document; FALSE when they could not be taken
 * (the sink keeps its own reason).  The writer stops calling it then. */
typedef BOOL (*JSON_SINK)(PVOID context, const BYTE *bytes, DWORD count);

#define JSON_BUFFER_BYTES 16384
#define JSON_MAX_DEPTH 16

typedef struct _JSON_WRITER {
    JSON_SINK sink;
    PVOID sinkContext;
    BYTE buffer[JSON_BUFFER_BYTES];
    DWORD used;
    BOOL failed;                       /* the sink refused, or the nesting went wrong */
    INT depth;                         /* open containers */
    BOOL lines[JSON_MAX_DEPTH + 1];    /* elements of the container at this depth on lines of their own */
    DWORD count[JSON_MAX_DEPTH + 1];   /* elements written in it so far */
    BOOL afterKey;                     /* the next value is a member's, its key written */
} JSON_WRITER;

#define JSON_LINES TRUE
#define JSON_INLINE FALSE

void JsonInit(JSON_WRITER *w, JSON_SINK sink, PVOID sinkContext);
/* Hands the buffered bytes to the sink; FALSE when anything was lost. */
BOOL JsonFlush(JSON_WRITER *w);

void JsonBeginObject(JSON_WRITER *w, BOOL lines);
void JsonEndObject(JSON_WRITER *w);
void JsonBeginArray(JSON_WRITER *w, BOOL lines);
void JsonEndArray(JSON_WRITER *w);

/* A member's name: fixed ASCII names, or text. */
void JsonKey(JSON_WRITER *w, const char *name);
void JsonKeyText(JSON_WRITER *w, const WCHAR *name);

/* Values.  Text is UTF-16 of 'units' units (it need not be terminated); a
 * surrogate without its partner becomes U+FFFD. */
void JsonText(JSON_WRITER *w, const WCHAR *text);
void JsonTextN(JSON_WRITER *w, const WCHAR *text, size_t units);
void JsonAscii(JSON_WRITER *w, const char *text);
/* Bytes that are valid UTF-8 (see Utf8IsValid), as a string. */
void JsonUtf8(JSON_WRITER *w, const BYTE *bytes, size_t count);
/* Bytes as a string of lower-case hex digits, two a byte. */
void JsonHex(JSON_WRITER *w, const BYTE *bytes, size_t count);
void JsonNumber(JSON_WRITER *w, unsigned long long value);
void JsonBool(JSON_WRITER *w, BOOL value);

/* UTF-16 text as UTF-8 into 'out' of 'capacity' bytes; stops before a
 * character that does not fit.  Returns the bytes written. */
size_t Utf8FromUtf16(const WCHAR *units, size_t count, BYTE *out, size_t capacity);
/* Whether the bytes are UTF-8: no overlong form, no surrogate, nothing
 * beyond U+10FFFF, no sequence cut short. */
BOOL Utf8IsValid(const BYTE *bytes, size_t count);
