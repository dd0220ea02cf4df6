// The INF model of the stand-in's setup library: an INF file is parsed once
// into sections of lines with their key and fields already expanded (quotes
// removed, %strkey% and %dirid% tokens substituted); the query functions then
// only look things up.  The queries at the end are how a machine's setup
// library reads an INF: its install engine and the package check both ask
// them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace winsim::inf {

struct Line {
    std::optional<Text> key;     // the text before '=', when the line has one
    std::vector<Text> fields;    // the comma-separated values (after '=' when keyed)
    uint32_t sourceLine = 0;     // 1-based line of the file where the entry starts

    // A keyed line matches on its key; a line without '=' that holds a single
    // value is found by that value too, as the setup library does.
    bool MatchesKey(const Text &name) const;
    // Field 0 is the key (or the single value of an unkeyed line); fields from
    // 1 on are the values.  Nothing when the line has no such field.
    std::optional<Text> Field(uint32_t index) const;
    // The values joined by commas: the line's text in the library's compact form.
    Text CompactText() const;
};

struct Section {
    Text name;                   // as first declared
    std::vector<Line> lines;     // sections declared twice are merged in file order
};

class InfFile {
public:
    const std::vector<Section> &Sections() const { return sections_; }
    const Section *FindSection(const Text &name) const;
    // Index in Sections(), or -1.
    int SectionIndex(const Text &name) const;
    // The first line of a section with the given key, or nothing.
    const Line *FindLine(const Text &section, const Text &key) const;
    // First value of a [Version] entry ("Signature", "Class", "ClassGuid").
    std::optional<Text> VersionValue(const Text &key) const;
    // [Version] Signature is "$Windows NT$" or "$Chicago$".
    bool HasWin4Signature() const;

private:
    friend struct Parser;
    std::vector<Section> sections_;
    std::map<Text, size_t> byName_;   // folded name -> index
};

struct ParseResult {
    std::shared_ptr<const InfFile> file;   // set when parsing succeeded
    uint32_t error = 0;                    // a setup library INF parsing code
    uint32_t errorLine = 0;                // 1-based line of the fault
};

// Parses the bytes of an INF file: UTF-16LE with its byte-order mark, UTF-8
// (with or without one), or else 8-bit text taken as Latin-1.  'sourceDir'
// is what %1% (the directory the INF came from) expands to.
ParseResult Parse(const std::string &bytes, const Text &sourceDir);

// Reads an integer as the INF library does: an optional sign, then decimal,
// or hexadecimal after "0x"/"0X".  Values beyond 32 bits wrap.
std::optional<int32_t> ParseInt(const Text &text);

// The path of a system directory id (10, 11, 12, 17, ...), or nothing.
std::optional<Text> DirIdPath(uint32_t dirId);

// ---------------------------------------------------------------------------
// How a machine reads an INF
// ---------------------------------------------------------------------------

// Every value of every line of a section whose key is 'directive'
// ("CopyFiles", "AddReg", ...), empty values left out.
std::vector<Text> DirectiveValues(const Section &section, const Text &directive);

// The models section a [Manufacturer] entry selects on a machine: the best
// decorated one that applies ("NT[arch][.major[.minor[.product[.suite
// [.build]]]]]", judged by the machine's architecture and version), else the
// undecorated one on x86.  Windows 2000 knows no decorations; x64 Windows
// ignores an undecorated models section.
struct Models {
    const Section *section = nullptr;   // null: the entry gives this machine none
    bool decorated = false;
};
Models ModelsSection(const InfFile &file, const Line &manufacturer, const OsInfo &os);

// The models lines that list a hardware ID (in any case), in the sections
// the machine reads, in [Manufacturer] order.  The key of a line is the
// device description; field 1 names its install section.
struct ModelLine {
    const Section *models = nullptr;
    const Line *line = nullptr;
};
std::vector<ModelLine> ModelLines(const InfFile &file, const OsInfo &os, const Text &hardwareId);

// A models line's install section as the machine decorates it:
// ".NTamd64" or ".NTx86", then ".NT", then undecorated.
const Section *InstallSection(const InfFile &file, const Text &name, const OsInfo &os);

// Where a source file lies below the INF's directory: the path of its disk
// ([SourceDisksNames] field 4) and its subdirectory ([SourceDisksFiles]
// field 2), each section decorated for the machine's architecture first
// (".amd64", ".x86"), then undecorated.  Empty parts when none is given.
struct SourceLocation {
    Text diskPath;
    Text subdirectory;
};
SourceLocation SourceOf(const InfFile &file, const Text &name, const OsInfo &os);

// The files a CopyFiles value names: "@name" one file, else the lines of the
// file-list section (target, and the source name when it differs).  Nothing
// when that section does not exist.
struct FileCopy {
    Text target;
    Text sourceName;
};
std::optional<std::vector<FileCopy>> CopyList(const InfFile &file, const Text &value);

// The AddService lines of a services section: the service's name (empty:
// the null driver), its flags (SPSVCINST_ASSOCSERVICE: the device's function
// driver) and its service-install section.
struct ServiceLine {
    Text name;
    uint32_t flags = 0;
    Text installSection;
};
std::vector<ServiceLine> AddServiceLines(const Section &services);

// The first entry of a service-install section that the setup library
// refuses it for: ServiceType, StartType or ErrorControl absent or no
// number, or ServiceBinary absent or empty.  Nothing when it installs.
std::optional<Text> MissingServiceEntry(const InfFile &file, const Section &install);

// An AddReg or DelReg line: "reg-root, [subkey], [value-entry-name],
// [flags], [value]...".  Absent fields are empty; flags absent, empty or no
// number read as 0.
struct RegistryLine {
    Text root;
    Text subkey;
    std::optional<Text> valueName;
    uint32_t flags = 0;
    std::vector<Text> values;   // fields 5 on
};
RegistryLine DecodeRegistryLine(const Line &line);
// The registry type an AddReg line's flags give its value.
uint32_t AddRegType(uint32_t flags);
// Whether an AddReg line writes its values as the strings of a
// REG_MULTI_SZ (not as binary data of that type).
bool WritesMultiString(const RegistryLine &line);

// The lines an install section's AddReg or DelReg directive runs, in the
// order the install engine applies them: the lines of each section the
// directive names, decoded.  A name that no section has gives one entry
// without a section; the engine stops there with ERROR_SECTION_NOT_FOUND.
struct RegistryEntry {
    Text sectionName;                  // as the directive names it
    const Section *section = nullptr;
    const Line *text = nullptr;        // the line as the INF writes it
    RegistryLine line;
};
std::vector<RegistryEntry> RegistryLines(const InfFile &file, const Section &install, const Text &directive);

// What a DelReg line deletes on a machine: the key (no value name, or
// FLG_DELREG_KEYONLY_COMMON without the delete-string flags), one string of
// a multi-string (FLG_DELREG_MULTI_SZ_DELSTRING and a value name: every
// string equal to the line's first value, ASCII case aside), else the whole
// value.  The setup library of Windows 2000 (5.0) does not know the
// delete-string flag: there such a line deletes the value whole.
enum class DelRegAction { DeleteKey, DeleteValue, DeleteString };
DelRegAction ClassifyDelReg(const RegistryLine &line, const OsInfo &os);

// The services section of an install section, [<install>.Services]; null
// when the INF has none.
const Section *ServicesSection(const InfFile &file, const Section &install);

// A DriverVer entry, "mm/dd/yyyy[,w[.x[.y[.z]]]]", as Microsoft's page on
// the directive documents it: a month and a day of two digits and a year
// of four, with '/' or '-' (the same twice) between them, naming a day of
// the calendar from 1601 on (the setup library keeps the date as a
// FILETIME); then, optionally, a version of one to four decimal numbers
// below 65535 joined by '.', missing parts 0, not all of them 0.  An empty
// version field is no version.
struct DriverVer {
    uint32_t year = 0, month = 0, day = 0;
    std::optional<std::array<uint16_t, 4>> version;   // w, x, y, z
    // The version normalised: four parts in decimal without leading zeros
    // ("5.00.2136" gives "5.0.2136.0"); empty without a version.
    Text versionText;
};
struct DriverVerReading {
    std::optional<DriverVer> driverVer;
    std::string fault;   // why the line is no DriverVer, when it is not
};
DriverVerReading ParseDriverVer(const Line &line);

}  // namespace winsim::inf
