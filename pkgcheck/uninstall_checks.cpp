// The uninstall checks: what -u runs of the INF, and what its DelReg lines
// and those of the install sections delete, judged as the setup library of
// each Windows reads them and against what the install writes.
#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "common/product.h"
#include "inf_subject.h"
#include "shared_values.h"

namespace pkgcheck {

using winsim::CanonicalKeyPath;
using winsim::EqualNoCase;
using winsim::Narrow;
using winsim::Widen;
using Action = inf::DelRegAction;

namespace {

// The setup library of 5.1 and later, which knows the delete-string flag.
const winsim::OsInfo &LaterWindows()
{
    static const winsim::OsInfo xp = winsim::KnownWindowsVersion(5, 1).value();
    return xp;
}

const winsim::OsInfo &Windows2000() { return OldestWindows(Platform::Windows2000); }

}  // namespace

Cell CheckUninstall(const Subject &s)
{
    const inf::Section *uninstall = s.file.FindSection(UNINSTALL_SECTION);
    if (!uninstall)
        return Fail("no [DefaultUninstall]: -u runs it and fails without it");
    const inf::Section *services = inf::ServicesSection(s.file, *uninstall);
    if (!services)
        return Fail("no [DefaultUninstall.Services]: -u runs it after [DefaultUninstall] and fails without it");
    for (const Text &service : InstalledServices(s.file)) {
        bool deleted = false;
        for (const inf::Line &line : services->lines)
            deleted = deleted || (line.key && EqualNoCase(*line.key, u"DelService") && !line.fields.empty() &&
                                  EqualNoCase(line.fields[0], service));
        if (!deleted)
            return Fail("[DefaultUninstall.Services] does not delete the service " + Narrow(service) +
                        ": it stays after -u");
    }
    return Pass();
}

namespace {

// Whether the installer's own removal (Windows 2000) deletes each string
// from a list that holds them all: it reads the DelReg section name of
// [DefaultUninstall] and removes what that section's lines name.  The INF
// is opened through the simulated machine's setup library.
std::vector<bool> DeletedByTheInstaller(const InfDocument &document, MultiSzKind kind,
                                        const std::vector<Text> &strings)
{
    const winsim::Machine empty;
    winsim::SetCurrent(empty);
    const std::vector<uint8_t> bytes = winsim::MultiStringBytes(strings);
    DWORD size = static_cast<DWORD>(bytes.size());
    WCHAR *list = static_cast<WCHAR *>(LocalAlloc(LMEM_FIXED, size));
    WCHAR *section = nullptr;
    const Text path = Widen(document.path);
    std::vector<bool> deleted(strings.size(), false);
    if (list == nullptr)
        return deleted;
    std::memcpy(list, bytes.data(), size);
    if (ReadDelRegSectionName(path.c_str(), &section) == ERROR_SUCCESS)
        RemoveDelRegStrings(path.c_str(), section, kind, &list, &size);
    const std::vector<Text> left = winsim::ParseMultiString(reinterpret_cast<const uint8_t *>(list), size);
    for (size_t i = 0; i < strings.size(); i++)
        deleted[i] = std::none_of(left.begin(), left.end(), [&](const Text &entry) { return EqualNoCase(entry, strings[i]); });
    LocalFree(section);
    LocalFree(list);
    return deleted;
}

// The value the installer itself writes back on 5.0 after the uninstall
// section ran, as it was read before minus the DelReg strings: the
// supported-device list for the DSM, the adapter class's UpperFilters for
// the bus driver.  The disk driver has none.
std::optional<inf::RegistryLine> RestoredOn50(Role role)
{
    if (role == Role::Disk)
        return std::nullopt;
    const SharedValue value = SharedValueOf(role == Role::Dsm ? MULTISZ_SUPPORTED_DEVICES : MULTISZ_UPPER_FILTERS);
    inf::RegistryLine line;
    line.root = DELREG_ROOT;
    line.subkey = value.keyPath;
    line.valueName = value.valueName;
    return line;
}

// How a DelReg section of [DefaultUninstall] deletes a string of a shared
// list on 5.1 and later: by a delete-string line naming it, with the whole
// value or key, or not at all.
enum class UninstallDeletion { None, String, Whole };

bool SameKey(const inf::RegistryLine &a, const inf::RegistryLine &b)
{
    return EqualNoCase(a.root, b.root) && EqualNoCase(CanonicalKeyPath(a.subkey), CanonicalKeyPath(b.subkey));
}

bool SameValue(const inf::RegistryLine &a, const inf::RegistryLine &b)
{
    return SameKey(a, b) && a.valueName && b.valueName && EqualNoCase(*a.valueName, *b.valueName);
}

UninstallDeletion DeletionOf(const inf::Section &section, MultiSzKind kind, const Text &string)
{
    const SharedValue value = SharedValueOf(kind);
    inf::RegistryLine shared;
    shared.root = DELREG_ROOT;
    shared.subkey = value.keyPath;
    UninstallDeletion found = UninstallDeletion::None;
    for (const inf::Line &text : section.lines) {
        const inf::RegistryLine line = inf::DecodeRegistryLine(text);
        if (!SameKey(line, shared))
            continue;
        const Action action = inf::ClassifyDelReg(line, LaterWindows());
        if (action == Action::DeleteKey)
            return UninstallDeletion::Whole;   // the key, with every value in it
        if (!EqualNoCase(*line.valueName, value.valueName))
            continue;
        if (action == Action::DeleteValue)
            return UninstallDeletion::Whole;
        if (!line.values.empty() && EqualNoCase(line.values[0], string))
            found = UninstallDeletion::String;
    }
    return found;
}

}  // namespace

Cell CheckAppendedStringsDeleted(const Subject &s)
{
    std::vector<std::pair<MultiSzKind, std::vector<Text>>> appended;
    for (MultiSzKind kind : {MULTISZ_SUPPORTED_DEVICES, MULTISZ_UPPER_FILTERS}) {
        std::vector<Text> strings;
        for (const ListAdd &add : ListAdds(s.file, kind)) {
            // A replaced supported-device list is the strings row's finding;
            // its strings must still go at -u.
            if (!add.Appends() && kind != MULTISZ_SUPPORTED_DEVICES)
                return Fail(InBrackets(add.section->name) + " replaces the whole " +
                            Narrow(SharedValueOf(kind).valueName) + " (flags " + HexText(add.flags) +
                            "): other vendors' entries would be lost; append with 0x00010008");
            if (!winsim::ContainsNoCase(strings, add.string))
                strings.push_back(add.string);
        }
        if (!strings.empty())
            appended.emplace_back(kind, strings);
    }
    if (appended.empty())
        return NotApplicable("appends to no shared multi-string value");
    const inf::Line *delReg = s.file.FindLine(UNINSTALL_SECTION, DELREG_KEY);
    if (delReg == nullptr || delReg->fields.empty() || delReg->fields[0].empty())
        return Fail("[DefaultUninstall] has no DelReg line: " + InQuotes(appended[0].second[0]) + " stays in " +
                    Narrow(SharedValueOf(appended[0].first).valueName) + " after -u");
    if (delReg->fields.size() != 1)
        return Fail("the DelReg line names " + std::to_string(delReg->fields.size()) +
                    " sections; the installer's own removal on Windows 2000 reads it as one section name");
    const inf::Section *section = s.file.FindSection(delReg->fields[0]);
    if (section == nullptr)
        return Fail("DelReg names " + InBrackets(delReg->fields[0]) + ", which does not exist");
    const bool serves50 = !ModelLines(s, Platform::Windows2000).empty();
    const auto restored = RestoredOn50(s.document.role);
    for (const auto &[kind, strings] : appended) {
        const SharedValue value = SharedValueOf(kind);
        const bool writtenBackOn50 = serves50 && restored && EqualNoCase(*restored->valueName, value.valueName);
        const std::vector<bool> deletedOn50 = DeletedByTheInstaller(s.document, kind, strings);
        const std::string line = "(" + Narrow(DELREG_ROOT) + ", " + Narrow(value.keyPath) + ", " +
                                 Narrow(value.valueName) + ", 0x00018002, ";
        for (size_t i = 0; i < strings.size(); i++) {
            const UninstallDeletion deletion = DeletionOf(*section, kind, strings[i]);
            if (deletion == UninstallDeletion::None)
                return Fail(InBrackets(section->name) + " does not delete " + InQuotes(strings[i]) + " from " +
                            Narrow(value.valueName) + " " + line + InQuotes(strings[i]) + ")");
            // On 5.0 the installer writes the value back as it read it before
            // the section ran, minus the strings its own removal takes out.
            if (writtenBackOn50 && !deletedOn50[i])
                return Fail("on 5.0 " + InBrackets(section->name) + " does not delete " + InQuotes(strings[i]) +
                            " from " + Narrow(value.valueName) + ": the setup library deletes the whole value there "
                            "and the installer writes it back as it was, taking out only the strings of five-field "
                            "lines with flags 0x00018002 " + line + InQuotes(strings[i]) + ")" +
                            (deletion == UninstallDeletion::Whole ? "; on later Windows the whole value goes" : ""));
        }
    }
    return Pass();
}

namespace {

const Text kClassKeyPrefix = u"SYSTEM\\CurrentControlSet\\Control\\Class\\";
const Text kServicesKeyPrefix = u"SYSTEM\\CurrentControlSet\\Services\\";

// A key as a reason names it: a setup class by its name, else root\subkey.
std::string KeyName(const inf::RegistryLine &line)
{
    const Text path = CanonicalKeyPath(line.subkey);
    if (EqualNoCase(line.root, u"HKLM") && StartsWithNoCase(path, kClassKeyPrefix)) {
        const Text guid = path.substr(kClassKeyPrefix.size());
        for (const RoleClass &known : kRoleClasses)
            if (EqualNoCase(guid, Widen(winsim::GuidToString(*known.guid))))
                return known.spokenName;
        return "the class " + Narrow(guid);
    }
    return Narrow(line.root) + (path.empty() ? "" : "\\" + Narrow(path));
}

// The service whose key (or a key below it) an HKLM path names: "" for the
// Services key itself, nothing for a path outside it.
std::optional<Text> ServiceOfKey(const inf::RegistryLine &line)
{
    const Text path = CanonicalKeyPath(line.subkey);
    if (!EqualNoCase(line.root, u"HKLM") || !StartsWithNoCase(path + u"\\", kServicesKeyPrefix))
        return std::nullopt;
    const Text below = path.size() > kServicesKeyPrefix.size() ? path.substr(kServicesKeyPrefix.size()) : Text();
    return below.substr(0, below.find(u'\\'));
}

// A key other drivers and the system keep values in: a class key, the
// supported-device list's key, or another service's key.
bool SharedKey(const inf::RegistryLine &line, const std::vector<Text> &services)
{
    if (!EqualNoCase(line.root, u"HKLM"))
        return false;
    const Text path = CanonicalKeyPath(line.subkey);
    if (path.empty() || EqualNoCase(path, SUPPORTED_DEVICES_KEY) || StartsWithNoCase(path + u"\\", kClassKeyPrefix))
        return true;
    const auto service = ServiceOfKey(line);
    return service && (service->empty() || !winsim::ContainsNoCase(services, *service));
}

// What a DelReg line deletes on 5.0, for the reasons that tell it.
std::string DeletedOn50(const inf::RegistryLine &line)
{
    if (inf::ClassifyDelReg(line, Windows2000()) == Action::DeleteKey)
        return "the key " + KeyName(line) + " with every value in it";
    return "the whole " + Narrow(line.valueName.value_or(Text())) + " value of " + KeyName(line);
}

// What is wrong with one DelReg line, judged against the install's AddReg
// lines; empty when it deletes only what the install added.  A line is
// read as the setup library of 5.1 and later reads it (ClassifyDelReg); on
// 5.0, which does not know the delete-string flag, a delete-string line
// deletes the whole value.
std::string DelRegLineFault(const Subject &s, const inf::RegistryEntry &entry,
                            const std::vector<inf::RegistryEntry> &added)
{
    const inf::RegistryLine &line = entry.line;
    const Action action = inf::ClassifyDelReg(line, LaterWindows());
    const bool deleteString = action == Action::DeleteString;
    const bool deletesKey = action == Action::DeleteKey;
    const std::string where = InBrackets(entry.section->name) + " line " + std::to_string(entry.text->sourceLine) +
                              " (" + Narrow(entry.text->CompactText()) + ")";
    const std::string key = KeyName(line);
    const std::string value = line.valueName ? Narrow(*line.valueName) : std::string();
    const Text string = line.values.empty() ? Text() : line.values[0];

    if (line.root.empty())
        return where + " names no registry root: the setup library refuses the section and -u fails";
    const bool rootWritten = std::any_of(added.begin(), added.end(), [&](const inf::RegistryEntry &a) {
        return EqualNoCase(a.line.root, line.root);
    });
    const std::string what = deletesKey ? "the key " + key
                                        : (deleteString ? InQuotes(string) + " from " : std::string()) + "the value " +
                                              value + " of " + key;
    if (!rootWritten)
        return where + " deletes " + what + ", under the root " + Narrow(line.root) +
               ", which the install never writes" +
               (EqualNoCase(line.root, u"HKCU") ? " (on Windows: the profile of the user who runs -u)" : "");

    if (deletesKey) {
        const std::vector<Text> services = InstalledServices(s.file);
        if (SharedKey(line, services))
            return where + " deletes the key " + key + " with every value in it, other drivers' and the "
                   "system's too, on every Windows";
        // The package's own service keys are its to delete, whatever the install wrote below them.
        if (ServiceOfKey(line))
            return std::string();
        if (std::none_of(added.begin(), added.end(), [&](const inf::RegistryEntry &a) { return SameKey(a.line, line); }))
            return where + " deletes the key " + key + ", which the install never writes";
        return std::string();
    }

    std::vector<const inf::RegistryLine *> writes;
    for (const inf::RegistryEntry &a : added)
        if (SameValue(a.line, line))
            writes.push_back(&a.line);
    // On 5.0 the setup library deletes the value a delete-string line names
    // whole; the installer then writes back the one value it restores, minus
    // the strings of the lines its own removal reads: five fields, flags
    // exactly 0x00018002.  It passes any other line over.
    const auto restored = RestoredOn50(s.document.role);
    const bool restoredOn50 = restored && SameValue(*restored, line);
    const bool readByInstaller = entry.text->fields.size() == 5 && line.flags == FLG_DELREG_MULTI_SZ_DELSTRING;
    std::string whole = "on 5.0 this deletes " + DeletedOn50(line);
    if (restoredOn50)
        whole = readByInstaller ? "on 5.0 the installer's own removal deletes it too"
                                : "on 5.0 the installer writes the value back as it was, passing this line over (it "
                                  "reads only lines of five fields with flags 0x00018002)";
    if (deleteString && line.values.empty())
        return where + " is a delete-string line that names no string: it deletes nothing from the value " + value +
               " of " + key + " on 5.1 and later; " + whole;
    if (writes.empty())
        return where + " deletes " + what + ", which the install never writes" + (deleteString ? "; " + whole : "");
    const bool appended = std::any_of(writes.begin(), writes.end(), [](const inf::RegistryLine *a) {
        return (a->flags & FLG_ADDREG_APPEND) != 0;
    });
    if (!deleteString) {
        if (appended)
            return where + " deletes the whole " + value + " value of " + key +
                   ", to which the install only appends: other entries go with it";
        return std::string();
    }
    const bool stringAdded = std::any_of(writes.begin(), writes.end(), [&](const inf::RegistryLine *a) {
        return inf::WritesMultiString(*a) && winsim::ContainsNoCase(a->values, string);
    });
    if (!stringAdded)
        return where + " deletes " + what + ", a string the install never adds; " + whole;
    if (appended && !restoredOn50 && !ModelLines(s, Platform::Windows2000).empty())
        return where + ": " + whole + ", other drivers' entries with it; the installer puts back " +
               (restored ? "only " + Narrow(*restored->valueName) : std::string("no value")) +
               " after this INF's uninstall section";
    return std::string();
}

// The DelReg lines of the install sections Windows 2000 runs that delete a
// value others share there: the 5.0 setup library does not know the
// delete-string flag and deletes the whole value, and after an install the
// installer puts nothing back.
std::vector<std::string> InstallDelRegFaultsOn50(const Subject &s)
{
    std::vector<std::string> faults;
    std::set<const inf::Line *> seen;
    const std::vector<Text> services = InstalledServices(s.file);
    for (const inf::ModelLine &model : ModelLines(s, Platform::Windows2000)) {
        const inf::Section *install = inf::InstallSection(s.file, model.line->fields[0], Windows2000());
        if (install == nullptr)
            continue;
        for (const inf::RegistryEntry &entry : inf::RegistryLines(s.file, *install, DELREG_KEY)) {
            if (entry.section == nullptr || !seen.insert(entry.text).second)
                continue;
            const Action later = inf::ClassifyDelReg(entry.line, LaterWindows());
            if (later == Action::DeleteKey || !SharedKey(entry.line, services))
                continue;
            faults.push_back(InBrackets(entry.section->name) + " line " + std::to_string(entry.text->sourceLine) +
                             " (" + Narrow(entry.text->CompactText()) + "), which " + InBrackets(install->name) +
                             " runs on Windows 2000, deletes " + DeletedOn50(entry.line) + " there at every -i" +
                             (later == Action::DeleteString
                                  ? " (the 5.0 setup library does not know the delete-string flag)"
                                  : "") +
                             ": other vendors' entries go with it; let " + InBrackets(model.models->name) +
                             ", the models section Windows 2000 reads, name an install section without it");
        }
    }
    return faults;
}

}  // namespace

Cell CheckDeletionScope(const Subject &s)
{
    const inf::Section *uninstall = s.file.FindSection(UNINSTALL_SECTION);
    const bool deletes = uninstall && !inf::DirectiveValues(*uninstall, DELREG_KEY).empty();
    const std::vector<std::string> installFaults = InstallDelRegFaultsOn50(s);
    if (!deletes && installFaults.empty())
        return NotApplicable("[DefaultUninstall] deletes no registry entries");
    const std::vector<inf::RegistryEntry> added = InstallAddRegLines(s.file);
    std::vector<std::string> faults;
    if (deletes)
        for (const inf::RegistryEntry &entry : inf::RegistryLines(s.file, *uninstall, DELREG_KEY)) {
            if (entry.section == nullptr)
                continue;
            std::string fault = DelRegLineFault(s, entry, added);
            if (!fault.empty())
                faults.push_back(std::move(fault));
        }
    faults.insert(faults.end(), installFaults.begin(), installFaults.end());
    if (!faults.empty())
        return Fail(JoinWith(faults, "; "));
    return Pass();
}

}  // namespace pkgcheck
