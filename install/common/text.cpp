/* Bounded UTF-16 text helpers and the program's own printf-style formatter.
 * The formatter is ours so that "%s" means UTF-16 text and the output is the
 * same on every platform, whatever the C runtime's wide printf does. */
#include "common/common.h"

size_t TextLength(const WCHAR *text)
{
    size_t length = 0;

    if (text == NULL)
        return 0;
    while (text[length] != 0)
        length++;
    return length;
}

void TextCopy(WCHAR *dst, size_t capacity, const WCHAR *src)
{
    TextCopyN(dst, capacity, src, (size_t)-1);
}

void TextCopyN(WCHAR *dst, size_t capacity, const WCHAR *src, size_t count)
{
    size_t i = 0;

    if (dst == NULL || capacity == 0)
        return;
    if (src != NULL) {
        while (i + 1 < capacity && i < count && src[i] != 0) {
            dst[i] = src[i];
            i++;
        }
    }
    dst[i] = 0;
}

void TextAppend(WCHAR *dst, size_t capacity, const WCHAR *src)
{
    size_t length = 0;

    if (dst == NULL || capacity == 0)
        return;
    while (length < capacity && dst[length] != 0)
        length++;
    if (length == capacity) {
        /* No terminator inside the buffer: cut at its end. */
        dst[capacity - 1] = 0;
        return;
    }
    TextCopy(dst + length, capacity - length, src);
}

static WCHAR FoldUnit(WCHAR unit)
{
    if (unit >= 'A' && unit <= 'Z')
        return (WCHAR)(unit - 'A' + 'a');
    return unit;
}

/* Compares at most 'count' units; folds A-Z when 'ignoreCase'. */
static int CompareUnits(const WCHAR *a, const WCHAR *b, size_t count, BOOL ignoreCase)
{
    size_t i;

    if (a == NULL || b == NULL)
        return (a == b) ? 0 : (a == NULL ? -1 : 1);
    for (i = 0; i < count; i++) {
        unsigned int ua = (unsigned int)(ignoreCase ? FoldUnit(a[i]) : a[i]);
        unsigned int ub = (unsigned int)(ignoreCase ? FoldUnit(b[i]) : b[i]);

        if (ua != ub)
            return ua < ub ? -1 : 1;
        if (ua == 0)
            break;
    }
    return 0;
}

int TextCompare(const WCHAR *a, const WCHAR *b)
{
    return CompareUnits(a, b, (size_t)-1, FALSE);
}

int TextCompareNoCase(const WCHAR *a, const WCHAR *b)
{
    return CompareUnits(a, b, (size_t)-1, TRUE);
}

int TextCompareNoCaseN(const WCHAR *a, const WCHAR *b, size_t count)
{
    return CompareUnits(a, b, count, TRUE);
}

/* The output side of the formatter: never writes past the unit that the
 * terminator needs, remembers that something did not fit. */
typedef struct _FORMAT_OUTPUT {
    WCHAR *dst;
    size_t capacity;
    size_t length;
    BOOL overflow;
} FORMAT_OUTPUT;

static void PutUnit(FORMAT_OUTPUT *out, WCHAR unit)
{
    if (out->length + 1 >= out->capacity) {
        out->overflow = TRUE;
        return;
    }
    out->dst[out->length++] = unit;
}

static void PutRepeated(FORMAT_OUTPUT *out, WCHAR unit, size_t count)
{
    while (count-- > 0)
        PutUnit(out, unit);
}

/* Writes 'body' (with an optional sign in front) into a field of 'width'. */
static void PutField(FORMAT_OUTPUT *out, const WCHAR *body, size_t bodyLength, WCHAR sign,
                     size_t width, BOOL zeroPad, BOOL leftAlign)
{
    size_t used = bodyLength + (sign != 0 ? 1 : 0);
    size_t pad = width > used ? width - used : 0;
    size_t i;

    if (!leftAlign && !zeroPad)
        PutRepeated(out, ' ', pad);
    if (sign != 0)
        PutUnit(out, sign);
    if (!leftAlign && zeroPad)
        PutRepeated(out, '0', pad);
    for (i = 0; i < bodyLength; i++)
        PutUnit(out, body[i]);
    if (leftAlign)
        PutRepeated(out, ' ', pad);
}

/* Digits of 'value' in 'base' into 'digits' (12 units is enough for 32 bits);
 * returns how many, most significant first. */
static size_t UnsignedDigits(unsigned int value, unsigned int base, BOOL upper, WCHAR *digits)
{
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    WCHAR reversed[12] = {};
    size_t count = 0;
    size_t i;

    do {
        reversed[count++] = (WCHAR)set[value % base];
        value /= base;
    } while (value != 0 && count < 12);
    for (i = 0; i < count; i++)
        digits[i] = reversed[count - 1 - i];
    return count;
}

/* One conversion of a format: the flags, the width and the letter. */
typedef struct _FORMAT_FIELD {
    BOOL zeroPad;
    BOOL leftAlign;
    size_t width;
    WCHAR conversion;   /* 0 when the width is out of range */
} FORMAT_FIELD;

/* Reads the flags, the width and an optional size letter 'l' ("%ls" means
 * "%s") that follow a '%' at 'p'.  Returns the unit of the conversion
 * letter: the terminator when the format ends there. */
static const WCHAR *ReadFormatField(const WCHAR *p, FORMAT_FIELD *field)
{
    field->zeroPad = FALSE;
    field->leftAlign = FALSE;
    field->width = 0;
    for (;; p++) {
        if (*p == '0')
            field->zeroPad = TRUE;
        else if (*p == '-')
            field->leftAlign = TRUE;
        else
            break;
    }
    for (; *p >= '0' && *p <= '9'; p++) {
        field->width = field->width * 10 + (size_t)(*p - '0');
        if (field->width > 1024) {
            field->conversion = 0;
            return p;
        }
    }
    if (*p == 'l')
        p++;
    field->conversion = *p;
    return p;
}

/* Writes the next value of 'values' as 'field' asks; FALSE for a conversion
 * the formatter does not know.  Text ignores zero padding. */
static BOOL PutConversion(FORMAT_OUTPUT *out, const FORMAT_FIELD *field, va_list *values)
{
    static const WCHAR nullText[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    WCHAR digits[12] = {};
    size_t count;
    const WCHAR *text;
    unsigned int magnitude;
    int value;

    switch (field->conversion) {
    case '%':
        PutUnit(out, '%');
        return TRUE;
    case 's':
        text = va_arg(*values, const WCHAR *);
        if (text == NULL)
            text = nullText;
        PutField(out, text, TextLength(text), 0, field->width, FALSE, field->leftAlign);
        return TRUE;
    case 'd':
        value = va_arg(*values, int);
        magnitude = value < 0 ? 0U - (unsigned int)value : (unsigned int)value;
        count = UnsignedDigits(magnitude, 10, FALSE, digits);
        PutField(out, digits, count, value < 0 ? '-' : 0, field->width, field->zeroPad, field->leftAlign);
        return TRUE;
    case 'u':
    case 'x':
    case 'X':
        magnitude = va_arg(*values, unsigned int);
        count = UnsignedDigits(magnitude, field->conversion == 'u' ? 10 : 16, field->conversion == 'X', digits);
        PutField(out, digits, count, 0, field->width, field->zeroPad, field->leftAlign);
        return TRUE;
    default:
        return FALSE;
    }
}

int TextFormatV(WCHAR *dst, size_t capacity, const WCHAR *format, va_list args)
{
    FORMAT_OUTPUT out = {};
    FORMAT_FIELD field;
    BOOL understood = format != NULL;
    const WCHAR *p;
    va_list values;

    if (dst == NULL || capacity == 0)
        return -1;
    out.dst = dst;
    out.capacity = capacity;

    /* A copy, so that the conversion can take values through a pointer. */
    va_copy(values, args);
    for (p = format; understood && *p != 0; p++) {
        if (*p != '%') {
            PutUnit(&out, *p);
            continue;
        }
        p = ReadFormatField(p + 1, &field);
        understood = PutConversion(&out, &field, &values);
    }
    va_end(values);

    if (!understood || out.overflow) {
        dst[0] = 0;
        return -1;
    }
    dst[out.length] = 0;
    return (int)out.length;
}

int TextFormat(WCHAR *dst, size_t capacity, const WCHAR *format, ...)
{
    va_list args;
    int result;

    va_start(args, format);
    result = TextFormatV(dst, capacity, format, args);
    va_end(args);
    return result;
}
