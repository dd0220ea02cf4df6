#include "binary_formats.h"

#include <cstdio>
#include <optional>

namespace pkgcheck {

namespace {

std::string HexByte(uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// Little-endian integers at an offset the caller has checked.
uint16_t U16(std::string_view bytes, size_t at)
{
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

uint32_t U32(std::string_view bytes, size_t at)
{
    return static_cast<uint32_t>(U16(bytes, at)) | static_cast<uint32_t>(U16(bytes, at + 2)) << 16;
}

// One DER element: its tag and its content.
struct Element {
    uint8_t tag = 0;
    std::string_view content;
    size_t size = 0;   // tag, length and content
};

// The element at the start of 'bytes', or the fault.  DER gives a length in
// the fewest bytes and never the indefinite form; lengths beyond 4 bytes
// cannot fit a file anyway.
std::optional<Element> ReadElement(std::string_view bytes, std::string &fault)
{
    if (bytes.size() < 2) {
        fault = "it ends inside an element's header";
        return std::nullopt;
    }
    Element element;
    element.tag = static_cast<uint8_t>(bytes[0]);
    if ((element.tag & 0x1F) == 0x1F) {
        fault = "tag " + HexByte(element.tag) + " has the multi-byte form, which no PKCS#7 element uses";
        return std::nullopt;
    }
    const uint8_t first = static_cast<uint8_t>(bytes[1]);
    size_t header = 2;
    uint64_t length = first;
    if (first == 0x80) {
        fault = "an element has an indefinite length, which DER does not allow";
        return std::nullopt;
    }
    if (first > 0x80) {
        const size_t count = first & 0x7F;
        if (count > 4 || bytes.size() < 2 + count) {
            fault = "an element's length does not fit the file";
            return std::nullopt;
        }
        length = 0;
        for (size_t i = 0; i < count; i++)
            length = length << 8 | static_cast<uint8_t>(bytes[2 + i]);
        header += count;
    }
    if (length > bytes.size() - header) {
        fault = "an element of " + std::to_string(length) + " bytes runs past the end of the file";
        return std::nullopt;
    }
    element.content = bytes.substr(header, static_cast<size_t>(length));
    element.size = header + static_cast<size_t>(length);
    return element;
}

// The dotted form of an OID's content bytes, for the reason of a finding.
std::string DottedOid(std::string_view content)
{
    std::string dotted;
    uint64_t arc = 0;
    bool firstArc = true;
    for (size_t i = 0; i < content.size(); i++) {
        const uint8_t byte = static_cast<uint8_t>(content[i]);
        if (arc > (UINT64_MAX >> 7))
            return "(unreadable)";
        arc = arc << 7 | (byte & 0x7F);
        if (byte & 0x80)
            continue;
        if (firstArc) {
            const uint64_t top = arc < 80 ? arc / 40 : 2;
            dotted = std::to_string(top) + "." + std::to_string(arc - top * 40);
            firstArc = false;
        } else {
            dotted += "." + std::to_string(arc);
        }
        arc = 0;
    }
    return dotted.empty() ? "(empty)" : dotted;
}

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kExplicit0 = 0xA0;
// 1.2.840.113549.1.7.2, DER-encoded.
constexpr std::string_view kSignedDataOid("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);

}  // namespace

PeImage ReadPeImage(std::string_view bytes)
{
    PeImage image;
    constexpr size_t kDosHeaderSize = 0x40, kLfanewAt = 0x3C;
    constexpr size_t kSignatureSize = 4, kCoffHeaderSize = 20, kOptionalSizeAt = 16;
    if (bytes.size() < kDosHeaderSize || bytes[0] != 'M' || bytes[1] != 'Z') {
        image.fault = "no MZ header";
        return image;
    }
    const uint64_t peAt = U32(bytes, kLfanewAt);
    if (peAt > bytes.size() || bytes.size() - peAt < kSignatureSize + kCoffHeaderSize) {
        image.fault = "e_lfanew (" + std::to_string(peAt) + ") points past the end of the file";
        return image;
    }
    const size_t pe = static_cast<size_t>(peAt);
    if (bytes.substr(pe, kSignatureSize) != std::string_view("PE\0\0", 4)) {
        image.fault = "no \"PE\\0\\0\" signature where e_lfanew points";
        return image;
    }
    const size_t coff = pe + kSignatureSize;
    const size_t optionalSize = U16(bytes, coff + kOptionalSizeAt);
    const size_t optional = coff + kCoffHeaderSize;
    if (optionalSize < 2 || bytes.size() - optional < optionalSize) {
        image.fault = "the optional header is missing or runs past the end of the file";
        return image;
    }
    const uint16_t magic = U16(bytes, optional);
    if (magic != 0x10B && magic != 0x20B) {
        image.fault = "the optional header's magic is not PE32 or PE32+";
        return image;
    }
    image.valid = true;
    image.machine = U16(bytes, coff);
    return image;
}

std::string MachineName(uint16_t machine)
{
    switch (machine) {
    case kMachineI386:
        return "i386";
    case kMachineAmd64:
        return "AMD64";
    case kMachineArm64:
        return "ARM64";
    case 0x0200:
        return "IA64";
    case 0x01C4:
        return "ARMNT";
    default:
        break;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", machine);
    return text;
}

std::string SignedDataFault(std::string_view bytes)
{
    std::string fault;
    if (bytes.empty())
        return "the file is empty";
    if (static_cast<uint8_t>(bytes[0]) != kSequence)
        return "it begins with " + HexByte(static_cast<uint8_t>(bytes[0])) + ", not a DER SEQUENCE";
    auto contentInfo = ReadElement(bytes, fault);
    if (!contentInfo)
        return fault;
    if (contentInfo->size != bytes.size())
        return std::to_string(bytes.size() - contentInfo->size) + " bytes follow the DER structure";
    std::string_view rest = contentInfo->content;
    auto type = ReadElement(rest, fault);
    if (!type)
        return fault;
    if (type->tag != kOid)
        return "the ContentInfo does not begin with a content type OID";
    if (type->content != kSignedDataOid)
        return "the content type is " + DottedOid(type->content) + ", not signed-data (1.2.840.113549.1.7.2)";
    rest.remove_prefix(type->size);
    if (rest.empty())
        return "no [0] content after the content type";
    auto explicitContent = ReadElement(rest, fault);
    if (!explicitContent)
        return fault;
    if (explicitContent->tag != kExplicit0)
        return "no [0] EXPLICIT content after the content type";
    auto signedData = ReadElement(explicitContent->content, fault);
    if (!signedData)
        return fault;
    if (signedData->tag != kSequence || signedData->size != explicitContent->content.size())
        return "the [0] content is not one SignedData SEQUENCE";
    auto version = ReadElement(signedData->content, fault);
    if (!version || version->tag != kInteger)
        return "the SignedData does not begin with its version";
    return std::string();
}

bool IsExamplePlaceholder(std::string_view bytes)
{
    return bytes.find("MPIO-EXAMPLE-PLACEHOLDER") != std::string_view::npos;
}

}  // namespace pkgcheck
