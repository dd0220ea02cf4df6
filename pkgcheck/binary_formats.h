// Readers of the two binary formats a package's files must have: a driver
// image is a PE file, a catalog a DER-encoded PKCS#7 signed-data structure.
// They read untrusted bytes: every offset is checked against the size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pkgcheck {

// COFF machine types of the platforms a driver is built for.
inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kMachineArm64 = 0xAA64;

struct PeImage {
    bool valid = false;
    uint16_t machine = 0;     // the COFF header's machine type
    std::string fault;        // why the bytes are not a PE image, when not valid
};

// The MZ header, e_lfanew, the "PE\0\0" signature, the COFF header and the
// optional header's magic (PE32 or PE32+).
PeImage ReadPeImage(std::string_view bytes);

// "i386", "AMD64", "ARM64", ... or the number in hexadecimal.
std::string MachineName(uint16_t machine);

// Whether the bytes carry the mark of the example package's placeholder
// images and catalogs (examples/drivers), which load nothing and sign nothing.
bool IsExamplePlaceholder(std::string_view bytes);

// Empty when the bytes are one DER ContentInfo of content type signed-data
// (1.2.840.113549.1.7.2) with its [0] EXPLICIT content, a SignedData
// SEQUENCE that begins with its version; else what is wrong.
std::string SignedDataFault(std::string_view bytes);

}  // namespace pkgcheck
