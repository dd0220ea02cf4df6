// How a machine's setup library reads an INF: the models section and the
// install section it chooses for its architecture and version, where a
// source file lies, what a CopyFiles value copies and what a registry line
// says, and what a DriverVer entry gives.  The install engine and the
// package check ask the same queries.
#include "core_internal.h"
#include "winsim/inf.h"

namespace winsim::inf {

namespace {

struct Decoration {
    bool applies = false;
    bool hasArch = false;
    uint32_t major = 0, minor = 0, build = 0;
};

bool ReadNumber(const Text &text, uint32_t &value)
{
    auto parsed = ParseInt(text);
    if (!parsed || *parsed < 0)
        return false;
    value = static_cast<uint32_t>(*parsed);
    return true;
}

// A models-section decoration judged for this machine: its architecture and
// its OS version.
Decoration Judge(const Text &decoration, const OsInfo &os)
{
    Decoration out;
    const std::vector<Text> parts = SplitText(decoration, u'.');
    Text platform = Fold(parts[0]);
    if (platform.compare(0, 2, u"NT") != 0)
        return out;
    Text arch = platform.substr(2);
    if (!arch.empty() && arch != Fold(Widen(Arch(os))))
        return out;
    out.hasArch = !arch.empty();
    if (parts.size() > 1 && !parts[1].empty() && !ReadNumber(parts[1], out.major))
        return out;
    if (parts.size() > 2 && !parts[2].empty() && !ReadNumber(parts[2], out.minor))
        return out;
    if (parts.size() > 5 && !parts[5].empty() && !ReadNumber(parts[5], out.build))
        return out;
    if (out.major > os.major || (out.major == os.major && out.minor > os.minor))
        return out;
    if (out.build != 0 && out.build > os.build)
        return out;
    out.applies = true;
    return out;
}

bool Better(const Decoration &a, const Decoration &b)
{
    if (a.hasArch != b.hasArch)
        return a.hasArch;
    if (a.major != b.major)
        return a.major > b.major;
    if (a.minor != b.minor)
        return a.minor > b.minor;
    return a.build > b.build;
}

// A line of a section decorated for the architecture, else of the plain one.
const Line *FindDecorated(const InfFile &file, const Text &section, const Text &key, const OsInfo &os)
{
    for (const Text &suffix : {u"." + Widen(Arch(os)), Text()})
        if (const Line *line = file.FindLine(section + suffix, key))
            return line;
    return nullptr;
}

Text FieldOrEmpty(const Line &line, uint32_t index)
{
    auto field = line.Field(index);
    return field ? *field : Text();
}

}  // namespace

std::vector<Text> DirectiveValues(const Section &section, const Text &directive)
{
    std::vector<Text> values;
    for (const Line &line : section.lines)
        if (line.key && EqualNoCase(*line.key, directive))
            for (const Text &field : line.fields)
                if (!field.empty())
                    values.push_back(field);
    return values;
}

Models ModelsSection(const InfFile &file, const Line &manufacturer, const OsInfo &os)
{
    Models out;
    if (manufacturer.fields.empty())
        return out;
    const Text &base = manufacturer.fields[0];
    if (os.major == 5 && os.minor == 0) {
        out.section = file.FindSection(base);
        return out;
    }
    Decoration best;
    for (size_t i = 1; i < manufacturer.fields.size(); i++) {
        Decoration decoration = Judge(manufacturer.fields[i], os);
        if (!decoration.applies)
            continue;
        const Section *section = file.FindSection(base + u"." + manufacturer.fields[i]);
        if (section && (out.section == nullptr || Better(decoration, best))) {
            out.section = section;
            best = decoration;
        }
    }
    out.decorated = out.section != nullptr;
    if (out.section == nullptr && Arch(os) == "x86")
        out.section = file.FindSection(base);
    return out;
}

std::vector<ModelLine> ModelLines(const InfFile &file, const OsInfo &os, const Text &hardwareId)
{
    std::vector<ModelLine> found;
    const Section *manufacturers = file.FindSection(u"Manufacturer");
    if (manufacturers == nullptr)
        return found;
    for (const Line &manufacturer : manufacturers->lines) {
        const Section *models = ModelsSection(file, manufacturer, os).section;
        if (models == nullptr)
            continue;
        for (const Line &line : models->lines) {
            for (size_t i = 1; i < line.fields.size(); i++) {
                if (EqualNoCase(line.fields[i], hardwareId)) {
                    found.push_back({models, &line});
                    break;
                }
            }
        }
    }
    return found;
}

const Section *InstallSection(const InfFile &file, const Text &name, const OsInfo &os)
{
    const Text platform = Arch(os) == "x86" ? u".NTx86" : u".NTamd64";
    for (const Text &suffix : {platform, Text(u".NT"), Text()})
        if (const Section *section = file.FindSection(name + suffix))
            return section;
    return nullptr;
}

SourceLocation SourceOf(const InfFile &file, const Text &name, const OsInfo &os)
{
    SourceLocation location;
    if (const Line *fileLine = FindDecorated(file, u"SourceDisksFiles", name, os)) {
        if (const Line *diskLine = FindDecorated(file, u"SourceDisksNames", FieldOrEmpty(*fileLine, 1), os))
            location.diskPath = FieldOrEmpty(*diskLine, 4);
        location.subdirectory = FieldOrEmpty(*fileLine, 2);
    }
    return location;
}

std::optional<std::vector<FileCopy>> CopyList(const InfFile &file, const Text &value)
{
    if (!value.empty() && value[0] == u'@')
        return std::vector<FileCopy>{{value.substr(1), value.substr(1)}};
    const Section *list = file.FindSection(value);
    if (list == nullptr)
        return std::nullopt;
    std::vector<FileCopy> copies;
    for (const Line &line : list->lines) {
        Text target = FieldOrEmpty(line, 1);
        if (target.empty())
            continue;
        Text source = FieldOrEmpty(line, 2);
        copies.push_back({target, source.empty() ? target : source});
    }
    return copies;
}

std::vector<ServiceLine> AddServiceLines(const Section &services)
{
    std::vector<ServiceLine> lines;
    for (const Line &line : services.lines) {
        if (!line.key || !EqualNoCase(*line.key, u"AddService"))
            continue;
        auto flags = ParseInt(FieldOrEmpty(line, 2));
        lines.push_back({FieldOrEmpty(line, 1), flags ? static_cast<uint32_t>(*flags) : 0, FieldOrEmpty(line, 3)});
    }
    return lines;
}

std::optional<Text> MissingServiceEntry(const InfFile &file, const Section &install)
{
    for (const char16_t *key : {u"ServiceType", u"StartType", u"ErrorControl"}) {
        const Line *line = file.FindLine(install.name, key);
        if (line == nullptr || !ParseInt(FieldOrEmpty(*line, 1)))
            return Text(key);
    }
    const Line *binary = file.FindLine(install.name, u"ServiceBinary");
    if (binary == nullptr || FieldOrEmpty(*binary, 1).empty())
        return Text(u"ServiceBinary");
    return std::nullopt;
}

RegistryLine DecodeRegistryLine(const Line &line)
{
    RegistryLine decoded;
    decoded.root = FieldOrEmpty(line, 1);
    decoded.subkey = FieldOrEmpty(line, 2);
    decoded.valueName = line.Field(3);
    auto flags = line.Field(4);
    auto value = flags && !flags->empty() ? ParseInt(*flags) : std::nullopt;
    decoded.flags = value ? static_cast<uint32_t>(*value) : 0;
    for (uint32_t i = 5; line.Field(i); i++)
        decoded.values.push_back(*line.Field(i));
    return decoded;
}

uint32_t AddRegType(uint32_t flags)
{
    const uint32_t high = flags >> 16;
    if (flags & FLG_ADDREG_BINVALUETYPE)
        return high == 0 ? REG_BINARY : high == 1 ? REG_DWORD : high == 2 ? REG_NONE : high;
    return high == 1 ? REG_MULTI_SZ : high == 2 ? REG_EXPAND_SZ : REG_SZ;
}

bool WritesMultiString(const RegistryLine &line)
{
    return !(line.flags & FLG_ADDREG_BINVALUETYPE) && AddRegType(line.flags) == REG_MULTI_SZ;
}

std::vector<RegistryEntry> RegistryLines(const InfFile &file, const Section &install, const Text &directive)
{
    std::vector<RegistryEntry> entries;
    for (const Text &name : DirectiveValues(install, directive)) {
        const Section *section = file.FindSection(name);
        if (section == nullptr) {
            entries.push_back({name, nullptr, nullptr, RegistryLine()});
            continue;
        }
        for (const Line &text : section->lines)
            entries.push_back({name, section, &text, DecodeRegistryLine(text)});
    }
    return entries;
}

DelRegAction ClassifyDelReg(const RegistryLine &line, const OsInfo &os)
{
    const bool knowsDeleteString = os.major > 5 || (os.major == 5 && os.minor >= 1);
    const bool deleteString = line.valueName && knowsDeleteString &&
                              (line.flags & FLG_DELREG_MULTI_SZ_DELSTRING) == FLG_DELREG_MULTI_SZ_DELSTRING;
    if (!line.valueName || (!deleteString && (line.flags & FLG_DELREG_KEYONLY_COMMON)))
        return DelRegAction::DeleteKey;
    return deleteString ? DelRegAction::DeleteString : DelRegAction::DeleteValue;
}

const Section *ServicesSection(const InfFile &file, const Section &install)
{
    return file.FindSection(install.name + u".Services");
}

namespace {

// Exactly 'digits' ASCII digits from 'at' as a number.
bool ReadDigits(const Text &text, size_t at, size_t digits, uint32_t &value)
{
    if (at + digits > text.size())
        return false;
    value = 0;
    for (size_t i = at; i < at + digits; i++) {
        if (text[i] < u'0' || text[i] > u'9')
            return false;
        value = value * 10 + (text[i] - u'0');
    }
    return true;
}

bool IsCalendarDay(uint32_t year, uint32_t month, uint32_t day)
{
    static const uint32_t days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return year >= 1601 && month >= 1 && month <= 12 && day >= 1 &&
           day <= days[month - 1] - (month == 2 && !leap ? 1 : 0);
}

// "w[.x[.y[.z]]]" into the record; the fault, or empty.
std::string ReadVersion(const Text &text, DriverVer &out)
{
    const std::vector<Text> parts = SplitText(text, u'.');
    if (parts.size() > 4)
        return "more than four version parts";
    std::array<uint16_t, 4> version{};
    for (size_t i = 0; i < parts.size(); i++) {
        uint32_t value = 0;
        if (parts[i].empty() || parts[i].size() > 10 || !ReadDigits(parts[i], 0, parts[i].size(), value) ||
            value >= 65535)
            return "version part \"" + Narrow(parts[i]) + "\" is not a decimal number below 65535";
        version[i] = static_cast<uint16_t>(value);
    }
    if (version == std::array<uint16_t, 4>{})
        return "version 0.0.0.0 is no version";
    out.version = version;
    for (size_t i = 0; i < version.size(); i++)
        out.versionText += (i ? u"." : u"") + Widen(std::to_string(version[i]));
    return std::string();
}

}  // namespace

DriverVerReading ParseDriverVer(const Line &line)
{
    DriverVerReading reading;
    const Text date = line.fields.empty() ? Text() : line.fields[0];
    DriverVer out;
    const char16_t separator = date.size() == 10 ? date[2] : u'\0';
    if (date.size() != 10 || (separator != u'/' && separator != u'-') || date[5] != separator ||
        !ReadDigits(date, 0, 2, out.month) || !ReadDigits(date, 3, 2, out.day) || !ReadDigits(date, 6, 4, out.year)) {
        reading.fault = "date \"" + Narrow(date) + "\" is not mm/dd/yyyy";
        return reading;
    }
    if (!IsCalendarDay(out.year, out.month, out.day)) {
        reading.fault = "date \"" + Narrow(date) + "\" names no day from 1601 on";
        return reading;
    }
    if (line.fields.size() > 2) {
        reading.fault = "more than a date and a version";
        return reading;
    }
    if (line.fields.size() == 2 && !line.fields[1].empty()) {
        reading.fault = ReadVersion(line.fields[1], out);
        if (!reading.fault.empty())
            return reading;
    }
    reading.driverVer = std::move(out);
    return reading;
}

}  // namespace winsim::inf
