// pkgcheck's readers of a package's binary files (driver images, catalogs) on
// arbitrary bytes: they must read only within them, and what they accept
// must hold the marks they were looking for.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "binary_formats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const pkgcheck::PeImage image = pkgcheck::ReadPeImage(bytes);
    if (image.valid != image.fault.empty() || (image.valid && bytes.substr(0, 2) != "MZ")) {
        std::fprintf(stderr, "package files: image read as valid=%d with fault '%s'\n", image.valid,
                     image.fault.c_str());
        std::abort();
    }
    if (pkgcheck::SignedDataFault(bytes).empty() && (size < 2 || data[0] != 0x30)) {
        std::fprintf(stderr, "package files: a catalog accepted that is no SEQUENCE\n");
        std::abort();
    }
    return 0;
}
