// Text helpers of the machine model: ASCII case folding, UTF-8 and UTF-16,
// hex digits and GUID text.
#include <cstdio>

#include "core_internal.h"
#include "winsim/machine.h"

namespace winsim {

char16_t FoldUnit(char16_t unit)
{
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

void FoldInPlace(Text &text)
{
    for (auto &unit : text)
        unit = FoldUnit(unit);
}

Text Fold(const Text &text)
{
    Text folded(text);
    FoldInPlace(folded);
    return folded;
}

bool EqualNoCase(const Text &a, const Text &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (FoldUnit(a[i]) != FoldUnit(b[i]))
            return false;
    return true;
}

std::optional<Utf8Sequence> NextUtf8(std::string_view bytes, size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    uint32_t cp = 0;
    size_t extra = 0;
    if (lead < 0x80) {
        cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        cp = lead & 0x1F;
        extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
        cp = lead & 0x0F;
        extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
        cp = lead & 0x07;
        extra = 3;
    } else {
        return std::nullopt;
    }
    for (size_t k = 1; k <= extra; k++) {
        if (at + k >= bytes.size() || (static_cast<unsigned char>(bytes[at + k]) & 0xC0) != 0x80)
            return std::nullopt;
        cp = (cp << 6) | (static_cast<unsigned char>(bytes[at + k]) & 0x3F);
    }
    // Overlong forms, values beyond Unicode and surrogates are not UTF-8.
    static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return std::nullopt;
    return Utf8Sequence{cp, extra + 1};
}

bool ValidUtf8(std::string_view bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        auto sequence = NextUtf8(bytes, i);
        if (!sequence)
            return false;
        i += sequence->length;
    }
    return true;
}

void AppendUtf16(Text &out, uint32_t codePoint)
{
    if (codePoint >= 0x10000) {
        codePoint -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(codePoint));
    }
}

namespace {

void AppendUtf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::string Narrow(const Text &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t cp = text[i];
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        AppendUtf8(out, cp);
    }
    return out;
}

Text Widen(const std::string &utf8)
{
    Text out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        if (static_cast<unsigned char>(utf8[i]) < 0x80) {
            out += static_cast<char16_t>(utf8[i++]);
        } else if (auto sequence = NextUtf8(utf8, i)) {
            AppendUtf16(out, sequence->codePoint);
            i += sequence->length;
        } else {
            out += u'\uFFFD';   // each byte of a broken sequence stands for itself
            i++;
        }
    }
    return out;
}

TextList::TextList(std::vector<Text> texts)
{
    if (!texts.empty())
        texts_ = std::make_shared<const std::vector<Text>>(std::move(texts));
}

const std::vector<Text> &TextList::Empty()
{
    static const std::vector<Text> empty;
    return empty;
}

std::vector<Text> SplitText(const Text &text, char16_t separator)
{
    std::vector<Text> pieces;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != Text::npos; start = end + 1)
        pieces.push_back(text.substr(start, end - start));
    pieces.push_back(text.substr(start));
    return pieces;
}

bool HexDigitValue(char c, unsigned &value)
{
    if (c >= '0' && c <= '9')
        value = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
        value = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        value = static_cast<unsigned>(c - 'A' + 10);
    else
        return false;
    return true;
}

bool ParseHexDigits(const std::string &text, size_t pos, size_t digits, uint64_t &value)
{
    value = 0;
    for (size_t i = 0; i < digits; i++) {
        unsigned v;
        if (!HexDigitValue(text[pos + i], v))
            return false;
        value = (value << 4) | v;
    }
    return true;
}

std::string GuidToString(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::optional<GUID> GuidFromString(const std::string &text)
{
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-')
        return std::nullopt;
    GUID guid{};
    uint64_t v;
    if (!ParseHexDigits(text, 1, 8, v))
        return std::nullopt;
    guid.Data1 = static_cast<uint32_t>(v);
    if (!ParseHexDigits(text, 10, 4, v))
        return std::nullopt;
    guid.Data2 = static_cast<uint16_t>(v);
    if (!ParseHexDigits(text, 15, 4, v))
        return std::nullopt;
    guid.Data3 = static_cast<uint16_t>(v);
    static const size_t bytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; i++) {
        if (!ParseHexDigits(text, bytePos[i], 2, v))
            return std::nullopt;
        guid.Data4[i] = static_cast<uint8_t>(v);
    }
    return guid;
}

}  // namespace winsim
