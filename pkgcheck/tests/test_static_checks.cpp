// The INF checks that judge what -u deletes, the services' start type and the
// package's binary files: broken copies of the example package, each with one
// change, checked in-process against the example's own findings (its
// placeholder images and catalogs warn), and the PE and PKCS#7 readers on
// bytes that are cut short or made up.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "binary_formats.h"
#include "hosttools/hosttools.h"
#include "inf_checks.h"
#include "package_edit.h"
#include "report.h"
#include "vendor.h"

namespace fs = std::filesystem;

namespace {


using pkgcheck_test::ReadFile;
using pkgcheck_test::WriteFile;

// One edit of the package copy: a text replaced, or bytes written.
using Edit = std::function<void(const fs::path &package)>;

Edit Replace(const std::string &file, const std::string &from, const std::string &to)
{
    return [=](const fs::path &package) { pkgcheck_test::EditPackage(package, {{file, from, to}}); };
}

// Appends lines to a section of the DSM INF (after its header line).
Edit AddToSection(const std::string &section, const std::string &lines)
{
    return Replace("qvxdsm.inf", "[" + section + "]\n", "[" + section + "]\n" + lines + "\n");
}

Edit SetMachine(const std::string &file, uint16_t machine)
{
    return [=](const fs::path &package) {
        std::string bytes = ReadFile(package / file);
        ASSERT_GE(bytes.size(), 0x40u);
        const size_t pe = static_cast<uint8_t>(bytes[0x3C]) | static_cast<uint8_t>(bytes[0x3D]) << 8;
        ASSERT_LT(pe + 6, bytes.size());
        bytes[pe + 4] = static_cast<char>(machine & 0xFF);
        bytes[pe + 5] = static_cast<char>(machine >> 8);
        WriteFile(package / file, bytes);
    };
}

// The example's placeholder mark overwritten, as a vendor's own file would lack it.
Edit Unmark(const std::string &file) { return Replace(file, "MPIO-EXAMPLE-PLACEHOLDER", "VENDOR-BUILT-FILE-MARKED"); }

const std::string kDiskClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";

struct Broken {
    const char *name;
    std::vector<Edit> edits;
    const char *row;        // the one finding it deserves; nullptr: none
    const char *column;
    const char *verdict;    // as the JSON document names it
    const char *reason;     // a part of its reason
};

const Broken kBroken[] = {
    {"DelRegOnAnotherValue",
     {AddToSection("QvxDsmSupportedDevicesRemove", "HKLM, " + kDiskClassKey + ", UpperFilters, 0x00018002, qvxflt")},
     "delreg-scope", "qvxdsm.inf", "error",
     "deletes \"qvxflt\" from the value UpperFilters of the disk drive class, which the install never writes; on "
     "5.0 this deletes the whole UpperFilters value of the disk drive class"},
    {"DelRegDeletesAnotherServicesKey",
     {AddToSection("QvxDsmSupportedDevicesRemove", "HKLM, SYSTEM\\CurrentControlSet\\Services\\disk\\Parameters")},
     "delreg-scope", "qvxdsm.inf", "error",
     "deletes the key HKLM\\SYSTEM\\CurrentControlSet\\Services\\disk\\Parameters with every value"},
    {"DelRegDeletesTheMpdevKey",
     {AddToSection("QvxDsmSupportedDevicesRemove", "HKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV")},
     "delreg-scope", "qvxdsm.inf", "error",
     "(HKLM,SYSTEM\\CurrentControlSet\\Control\\MPDEV) deletes the key HKLM\\SYSTEM\\CurrentControlSet\\Control\\MPDEV "
     "with every value in it"},
    {"DelRegUnderHkcu", {AddToSection("QvxDsmSupportedDevicesRemove", "HKCU, Software\\Quorvex, Settings")},
     "delreg-scope", "qvxdsm.inf", "error",
     "deletes the value Settings of HKCU\\Software\\Quorvex, under the root HKCU, which the install never writes"},
    {"DelRegStringNeverAdded",
     {AddToSection("QvxDsmSupportedDevicesRemove", "HKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, "
                                                   "MPIOSupportedDeviceList, 0x00018002, \"TESSELLA ORBIT          \"")},
     "delreg-scope", "qvxdsm.inf", "error",
     "deletes \"TESSELLA ORBIT          \" from the value MPIOSupportedDeviceList of HKLM\\SYSTEM\\CurrentControlSet\\Control\\MPDEV, "
     "a string the install never adds; on 5.0 the installer's own removal deletes it too"},
    // The string is the install's, but the 5.0 setup library deletes the
    // whole value and the installer puts back only the supported-device list.
    {"DelStringOfAValueNotRestoredOn50",
     {AddToSection("QvxDsmSupportedDevices", "HKLM, " + kDiskClassKey + ", UpperFilters, 0x00010008, qvxflt"),
      AddToSection("QvxDsmSupportedDevicesRemove", "HKLM, " + kDiskClassKey + ", UpperFilters, 0x00018002, qvxflt")},
     "delreg-scope", "qvxdsm.inf", "error",
     "on 5.0 this deletes the whole UpperFilters value of the disk drive class, other drivers' entries with it; the "
     "installer puts back only MPIOSupportedDeviceList"},
    {"DelRegOfTheWholeSharedList",
     {AddToSection("QvxDsmSupportedDevicesRemove",
                   "HKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList")},
     "delreg-scope", "qvxdsm.inf", "error",
     "deletes the whole MPIOSupportedDeviceList value of HKLM\\SYSTEM\\CurrentControlSet\\Control\\MPDEV, to which the "
     "install only appends"},
    // Lines the installer's own removal passes over: on 5.0 the setup library
    // deletes the whole list, and the installer writes it back with the string in it.
    {"DelRegOfSixFields",
     {Replace("qvxdsm.inf", "0x00018002, \"QUORVEX LUMENSTRIDE     \"",
              "0x00018002, \"QUORVEX LUMENSTRIDE     \", \"QUORVEX PRISMLINE       \"")},
     "delreg", "qvxdsm.inf", "error",
     "on 5.0 [QvxDsmSupportedDevicesRemove] does not delete \"QUORVEX LUMENSTRIDE     \" from MPIOSupportedDeviceList: "
     "the setup library deletes the whole value there and the installer writes it back as it was"},
    {"DelRegFlagsNotExactly",
     {Replace("qvxdsm.inf", "0x00018002, \"QUORVEX LUMENSTRIDE     \"", "0x00018003, \"QUORVEX LUMENSTRIDE     \"")},
     "delreg", "qvxdsm.inf", "error", "on 5.0 [QvxDsmSupportedDevicesRemove] does not delete"},
    {"DelRegLineWithoutString",
     {AddToSection("QvxDsmSupportedDevicesRemove",
                   "HKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList, 0x00018002")},
     "delreg-scope", "qvxdsm.inf", "error",
     "is a delete-string line that names no string: it deletes nothing from the value MPIOSupportedDeviceList of "
     "HKLM\\SYSTEM\\CurrentControlSet\\Control\\MPDEV on 5.1 and later; on 5.0 the installer writes the value back as "
     "it was, passing this line over"},
    // An install section that Windows 2000 runs deletes the whole list there.
    {"InstallSectionDelRegOnWindows2000",
     {AddToSection("QvxDsmInstall", "DelReg    = QvxDsmDropped"),
      Replace("qvxdsm.inf", "[QvxDsmServiceInstall]",
              "[QvxDsmDropped]\nHKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList, 0x00018002, "
              "\"QUORVEX PRISMLINE       \"\n\n[QvxDsmServiceInstall]")},
     "delreg-scope", "qvxdsm.inf", "error",
     "which [QvxDsmInstall] runs on Windows 2000, deletes the whole MPIOSupportedDeviceList value of "
     "HKLM\\SYSTEM\\CurrentControlSet\\Control\\MPDEV there at every -i (the 5.0 setup library does not know the "
     "delete-string flag): other vendors' entries go with it; let [QuorvexDsm], the models section Windows 2000 "
     "reads, name an install section without it"},
    // The same line where only the later platforms' install section runs it.
    {"InstallSectionDelRegBesideWindows2000",
     {AddToSection("QvxDsmInstall", "DelReg    = QvxDsmDropped"),
      Replace("qvxdsm.inf", "[QuorvexDsm]\n%DsmDescription% = QvxDsmInstall,",
              "[QuorvexDsm]\n%DsmDescription% = QvxDsmInstall2000,"),
      Replace("qvxdsm.inf", "[QvxDsmServiceInstall]",
              "[QvxDsmInstall2000]\nCopyFiles = QvxDsmDriverFiles\nAddReg    = QvxDsmSupportedDevices\n\n"
              "[QvxDsmInstall2000.Services]\nAddService = qvxdsm, 0x00000002, QvxDsmServiceInstall\n\n"
              "[QvxDsmDropped]\nHKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList, 0x00018002, "
              "\"QUORVEX PRISMLINE       \"\n\n[QvxDsmServiceInstall]")},
     nullptr, nullptr, "pass", nullptr},
    {"DelRegWithoutRoot", {AddToSection("QvxDsmSupportedDevicesRemove", ", SOFTWARE\\Quorvex, Settings")},
     "delreg-scope", "qvxdsm.inf", "error", "names no registry root: the setup library refuses the section"},
    // A key and a value of the package's own are the package's to delete.
    {"DelRegOfItsOwnKeyAndValuePasses",
     {AddToSection("QvxDsmSupportedDevices", "HKLM, SOFTWARE\\Quorvex\\Lumenstride, Version, 0, \"2.4.1\""),
      AddToSection("QvxDsmSupportedDevicesRemove",
                   "HKLM, SOFTWARE\\Quorvex\\Lumenstride, Version\nHKLM, SOFTWARE\\Quorvex\\Lumenstride\n"
                   "HKLM, SYSTEM\\CurrentControlSet\\Services\\qvxdsm\\Parameters")},
     nullptr, nullptr, "pass", nullptr},
    {"DemandStartDsm", {Replace("qvxdsm.inf", "StartType      = 0", "StartType      = 3")}, "start-type",
     "qvxdsm.inf", "warning", "the service qvxdsm has StartType 3 (demand start): a disk the system boots from"},
    {"TextFileAsADriver", {[](const fs::path &package) { WriteFile(package / "qvxdsm.sys", "not a driver\r\n"); }},
     "driver-images", "qvxdsm.inf", "error", "qvxdsm.sys is not a PE image (no MZ header)"},
    {"DriverOfAnotherMachine", {SetMachine("mpdev.sys", pkgcheck::kMachineArm64)}, "driver-images", "mpdev.inf",
     "warning", "an ARM64 image, copied for Windows 2000 (i386), x86 (i386), x64 (AMD64) only"},
    // One source path for every platform: each platform that cannot load the image is named.
    {"I386DriverSharedWithX64", {SetMachine("qvxdsm.sys", pkgcheck::kMachineI386), Unmark("qvxdsm.sys")},
     "driver-images", "qvxdsm.inf", "warning",
     "qvxdsm.sys is an i386 image that the same source path also gives x64 (AMD64), which cannot load it; give each "
     "architecture its own file"},
    {"UnmarkedCatalogPasses", {Unmark("qvxdsm.cat")}, "catalog-format", "qvxdsm.inf", "pass", ""},
    // Per-architecture source directories are judged each for its own platforms.
    {"X64DriverInTheX86Directory",
     {Replace("qvxdsm.inf", "[SourceDisksFiles]", "[SourceDisksNames.x86]\n1 = %DiskName%,,,\\x86\n\n[SourceDisksFiles]"),
      [](const fs::path &package) {
          fs::create_directory(package / "x86");
          fs::copy_file(package / "qvxdsm.sys", package / "x86" / "qvxdsm.sys");
      }},
     "driver-images", "qvxdsm.inf", "warning",
     "\\x86\\qvxdsm.sys is a placeholder, not a driver (the example package's, which loads nothing), and an AMD64 "
     "image, copied for Windows 2000 (i386), x86 (i386) only"},
    {"CatalogNotPkcs7", {[](const fs::path &package) { WriteFile(package / "qvxdsm.cat", "Placeholder catalog\r\n"); }},
     "catalog-format", "qvxdsm.inf", "warning",
     "qvxdsm.cat is not a DER PKCS#7 signed-data structure (it begins with 0x50, not a DER SEQUENCE)"},
};

void PrintTo(const Broken &broken, std::ostream *out) { *out << broken.name; }

pkgcheck::Table CheckCopy(const fs::path &dir)
{
    const pkgcheck::Package package = pkgcheck::LoadPackage(dir.string(), "qvxdsm.inf", "Root\\QVXDSM");
    return pkgcheck::CheckInfs(package, winsim::Narrow(INSTALL_DSM_DESCRIPTION_TEXT));
}

class BrokenPackageTest : public ::testing::TestWithParam<Broken> {
protected:
    hosttools::ScratchDir scratch_{"test_static_checks"};
    fs::path package_ = fs::path(scratch_.Dir()) / "pkg";
};

TEST_P(BrokenPackageTest, GetsItsOneFinding)
{
    const Broken &broken = GetParam();
    static const pkgcheck::Table example = CheckCopy(EXAMPLE_PACKAGE);
    fs::copy(EXAMPLE_PACKAGE, package_);
    for (const Edit &edit : broken.edits)
        ASSERT_NO_FATAL_FAILURE(edit(package_));
    const pkgcheck::Table table = CheckCopy(package_);
    ASSERT_EQ(table.rows.size(), example.rows.size());
    if (broken.row) {
        pkgcheck::Report report;
        report.infChecks = table;
        pkgcheck_test::ExpectFindings(pkgcheck_test::FindingsOf(nlohmann::json::parse(pkgcheck::RenderJson(report))),
                                      {{std::string("inf_checks/") + broken.row + "/" + broken.column, broken.verdict,
                                        broken.reason}});
    }
    // Every other cell says what it says of the example.
    for (size_t r = 0; r < table.rows.size(); r++) {
        const pkgcheck::Row &row = table.rows[r];
        for (size_t i = 0; i < row.cells.size(); i++) {
            const pkgcheck::Cell &cell = row.cells[i];
            if (broken.row && row.id == broken.row && table.columns[i] == broken.column)
                continue;
            const std::string where = row.id + "/" + table.columns[i] + ": " + cell.reason;
            EXPECT_EQ(cell.verdict, example.rows[r].cells[i].verdict) << where;
            EXPECT_EQ(cell.reason, example.rows[r].cells[i].reason) << where;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(StaticChecks, BrokenPackageTest, ::testing::ValuesIn(kBroken),
                         [](const ::testing::TestParamInfo<Broken> &info) { return info.param.name; });

// --- the readers -----------------------------------------------------------------

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

void PutU16(std::string &bytes, size_t at, uint16_t value)
{
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

void PutU32(std::string &bytes, size_t at, uint32_t value)
{
    PutU16(bytes, at, static_cast<uint16_t>(value & 0xFFFF));
    PutU16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

// The smallest image the reader accepts: DOS header, e_lfanew 0x40, "PE\0\0",
// a COFF header of machine i386 and a 2-byte optional header of PE32.
std::string MinimalImage()
{
    std::string image(0x40 + 4 + 20 + 2, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    PutU32(image, 0x3C, 0x40);
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    PutU16(image, 0x44, pkgcheck::kMachineI386);
    PutU16(image, 0x44 + 16, 2);
    PutU16(image, 0x58, 0x10B);
    return image;
}

struct BadImage {
    const char *name;
    std::function<void(std::string &)> edit;   // of MinimalImage()
    const char *fault;
};

const BadImage kBadImages[] = {
    {"Empty", [](std::string &image) { image.clear(); }, "no MZ header"},
    {"LfanewFarAway", [](std::string &image) { PutU32(image, 0x3C, 0xFFFFFFF0); }, "points past the end"},
    {"LfanewAtTheLastBytes", [](std::string &image) { PutU32(image, 0x3C, static_cast<uint32_t>(image.size() - 3)); },
     "points past the end"},
    {"NoSignature", [](std::string &image) { image[0x41] = 'X'; }, "no \"PE\\0\\0\" signature"},
    {"OptionalHeaderLongerThanTheFile", [](std::string &image) { PutU16(image, 0x54, 0xFFFF); },
     "optional header is missing"},
    {"UnknownMagic", [](std::string &image) { PutU16(image, 0x58, 0x107); }, "not PE32 or PE32+"},
};

TEST(PeReader, RefusesBrokenImages)
{
    EXPECT_EQ(pkgcheck::ReadPeImage(MinimalImage()).machine, pkgcheck::kMachineI386);
    for (const BadImage &bad : kBadImages) {
        std::string image = MinimalImage();
        bad.edit(image);
        const pkgcheck::PeImage read = pkgcheck::ReadPeImage(image);
        EXPECT_FALSE(read.valid) << bad.name;
        EXPECT_NE(read.fault.find(bad.fault), std::string::npos) << bad.name << ": " << read.fault;
    }
}

// Every file cut short of a valid one is refused, and read within its bytes
// (the sanitized build would report a read past them).
TEST(BinaryReaders, EveryTruncationIsRefused)
{
    const std::string image = ReadFile(fs::path(EXAMPLE_PACKAGE) / "mpio.sys");
    const std::string catalog = ReadFile(fs::path(EXAMPLE_PACKAGE) / "mpio.cat");
    ASSERT_EQ(pkgcheck::SignedDataFault(catalog), "");
    const std::string minimal = MinimalImage();
    for (size_t size = 0; size < minimal.size(); size++)
        EXPECT_FALSE(pkgcheck::ReadPeImage(std::string_view(minimal).substr(0, size)).valid) << size;
    // A real image's headers end well before its sections; past them a cut image still reads.
    for (size_t size = 0; size < 0x100 && size < image.size(); size++)
        EXPECT_FALSE(pkgcheck::ReadPeImage(std::string_view(image).substr(0, size)).valid) << size;
    for (size_t size = 0; size < catalog.size(); size++)
        EXPECT_NE(pkgcheck::SignedDataFault(std::string_view(catalog).substr(0, size)), "") << size;
}

struct BadCatalog {
    const char *name;
    std::string bytes;
    const char *fault;
};

const std::string kSignedDataOid = Bytes({0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02});

const BadCatalog kBadCatalogs[] = {
    {"Empty", "", "the file is empty"},
    {"Text", "Placeholder catalog", "begins with 0x50"},
    {"IndefiniteLength", Bytes({0x30, 0x80, 0x00, 0x00}), "indefinite length"},
    {"LengthBeyondTheFile", Bytes({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x06}), "runs past the end"},
    {"LengthOfFiveBytes", Bytes({0x30, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00}), "length does not fit"},
    {"TrailingBytes", Bytes({0x30, 0x00, 0x00}), "1 bytes follow the DER structure"},
    {"NoContentType", Bytes({0x30, 0x03, 0x02, 0x01, 0x01}), "does not begin with a content type OID"},
    {"DataNotSignedData",
     Bytes({0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01}),
     "the content type is 1.2.840.113549.1.7.1, not signed-data"},
    {"NoExplicitContent", Bytes({0x30, 0x0B}) + kSignedDataOid, "no [0] content"},
    {"ContentNotASequence", Bytes({0x30, 0x0F}) + kSignedDataOid + Bytes({0xA0, 0x02, 0x04, 0x00}),
     "not one SignedData SEQUENCE"},
    {"SignedDataWithoutVersion", Bytes({0x30, 0x0F}) + kSignedDataOid + Bytes({0xA0, 0x02, 0x30, 0x00}),
     "does not begin with its version"},
    {"MultiByteTag", Bytes({0x30, 0x0D}) + kSignedDataOid + Bytes({0xBF, 0x00}), "multi-byte form"},
};

TEST(Pkcs7Reader, RefusesWhatIsNotSignedData)
{
    EXPECT_EQ(pkgcheck::SignedDataFault(Bytes({0x30, 0x12}) + kSignedDataOid + Bytes({0xA0, 0x05, 0x30, 0x03, 0x02, 0x01, 0x01})),
              "");
    for (const BadCatalog &bad : kBadCatalogs) {
        const std::string fault = pkgcheck::SignedDataFault(bad.bytes);
        EXPECT_NE(fault.find(bad.fault), std::string::npos) << bad.name << ": " << fault;
    }
}

}  // namespace
