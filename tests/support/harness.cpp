// Machines, scratch directories, binary runs and log helpers.  Runs of wmain
// in this process live in run_in_process.cpp, so that tests which never run
// the program do not need it linked.
#include "support/harness.h"

#include <cstdio>
#include <filesystem>

#include "hosttools/hosttools.h"

namespace harness {

namespace fs = std::filesystem;
using winsim::Narrow;
using winsim::Text;
using winsim::Widen;

std::u16string U(const std::string &utf8)
{
    return Widen(utf8);
}

// ---------------------------------------------------------------------------
// Machines
// ---------------------------------------------------------------------------
namespace {

winsim::Machine Bare(uint32_t major, uint32_t minor, uint32_t build)
{
    winsim::Machine machine;
    machine.os.major = major;
    machine.os.minor = minor;
    machine.os.build = build;
    machine.interactive = false;
    machine.echoConsole = false;
    const std::string classRoot = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
    SetString(machine, classRoot + winsim::GuidToString(GUID_DEVCLASS_SCSIADAPTER), "Class", "SCSIAdapter");
    SetString(machine, classRoot + winsim::GuidToString(GUID_DEVCLASS_DISKDRIVE), "Class", "DiskDrive");
    SetString(machine, classRoot + winsim::GuidToString(GUID_DEVCLASS_SYSTEM), "Class", "System");
    winsim::FindKey(machine, u"SYSTEM\\CurrentControlSet\\Services", true);
    return machine;
}

winsim::Device MakeDevice(const std::string &instanceId, const GUID &classGuid,
                          const std::vector<std::string> &hardwareIds, const std::string &description)
{
    winsim::Device device;
    device.instanceId = Widen(instanceId);
    device.classGuid = classGuid;
    std::vector<Text> ids;
    for (const auto &id : hardwareIds)
        ids.push_back(Widen(id));
    device.hardwareIds = ids;
    device.description = Widen(description);
    device.enumerator = Widen(instanceId.substr(0, instanceId.find('\\')));
    device.configFlags = 0;
    return device;
}

}  // namespace

winsim::Machine Gen5(uint32_t minor)
{
    winsim::Machine machine = Bare(5, minor, minor == 0 ? 2195 : (minor == 1 ? 2600 : 3790));
    machine.os.csd = u"Service Pack 2";
    return machine;
}

winsim::Machine Gen6()
{
    winsim::Machine machine = Bare(10, 0, 17763);
    machine.features["MultipathIo"] = "Disabled";
    return machine;
}

winsim::Device ScsiAdapter(const std::string &instanceId, const std::vector<std::string> &hardwareIds,
                           const std::string &description)
{
    return MakeDevice(instanceId, GUID_DEVCLASS_SCSIADAPTER, hardwareIds, description);
}

winsim::Device SystemDevice(const std::string &instanceId, const std::vector<std::string> &hardwareIds,
                            const std::string &description)
{
    return MakeDevice(instanceId, GUID_DEVCLASS_SYSTEM, hardwareIds, description);
}

winsim::Device Disk(const std::string &vendor8, const std::string &product16, const std::string &rev,
                    const std::string &enumerator, unsigned unit)
{
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "4&1A2B3C4D&0&%06u", unit);
    return winsim::ScsiDisk(vendor8, product16, rev, Widen(suffix), enumerator);
}

winsim::Device MpioBus(const std::string &hardwareId)
{
    winsim::Device bus = ScsiAdapter("ROOT\\MPIO\\0000", {hardwareId}, "Multi-Path Support");
    bus.status |= DN_ROOT_ENUMERATED;
    bus.service = u"mpio";
    return bus;
}

void SetRaw(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName, uint32_t type,
            std::vector<uint8_t> data)
{
    winsim::RegKey *key = winsim::FindKey(machine, Widen(keyPath), true);
    winsim::RegValue value;
    value.type = type;
    value.data = std::move(data);
    key->values[winsim::Fold(Widen(valueName))] = {Widen(valueName), std::move(value)};
}

const winsim::RegValue *GetRaw(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName)
{
    winsim::RegKey *key = winsim::FindKey(machine, Widen(keyPath), false);
    if (!key)
        return nullptr;
    auto it = key->values.find(winsim::Fold(Widen(valueName)));
    return it == key->values.end() ? nullptr : &it->second.second;
}

std::vector<uint8_t> Utf16Bytes(const std::u16string &units)
{
    std::vector<uint8_t> bytes;
    for (char16_t unit : units) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

void SetMultiSz(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName,
                const std::vector<std::string> &strings)
{
    std::vector<Text> units;
    for (const auto &text : strings)
        units.push_back(Widen(text));
    SetRaw(machine, keyPath, valueName, REG_MULTI_SZ, winsim::MultiStringBytes(units));
}

void SetDword(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName, uint32_t value)
{
    SetRaw(machine, keyPath, valueName, REG_DWORD,
             {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
              static_cast<uint8_t>(value >> 24)});
}

void SetString(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName,
               const std::string &value)
{
    SetRaw(machine, keyPath, valueName, REG_SZ, winsim::StringBytes(Widen(value)));
}

void AddService(winsim::Machine &machine, const std::string &name, uint32_t start, bool markedForDelete)
{
    const std::string key = "SYSTEM\\CurrentControlSet\\Services\\" + name;
    SetDword(machine, key, "Type", 1);
    SetDword(machine, key, "Start", start);
    SetDword(machine, key, "ErrorControl", 1);
    if (markedForDelete)
        SetDword(machine, key, "DeleteFlag", 1);
}

std::optional<std::vector<std::string>> GetMultiSz(winsim::Machine &machine, const std::string &keyPath,
                                                   const std::string &valueName)
{
    const winsim::RegValue *value = GetRaw(machine, keyPath, valueName);
    if (!value || value->type != REG_MULTI_SZ)
        return std::nullopt;
    std::vector<std::string> strings;
    for (const Text &text : winsim::ParseMultiString(value->data))   // keeps an unterminated last string
        strings.push_back(Narrow(text));
    return strings;
}

std::optional<uint32_t> GetDword(winsim::Machine &machine, const std::string &keyPath,
                                 const std::string &valueName)
{
    const winsim::RegValue *value = GetRaw(machine, keyPath, valueName);
    if (!value || value->type != REG_DWORD || value->data.size() != 4)
        return std::nullopt;
    return static_cast<uint32_t>(value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
                                 static_cast<uint32_t>(value->data[3]) << 24);
}

std::vector<std::string> HardwareIds(const winsim::Device &device)
{
    std::vector<std::string> ids;
    if (device.hardwareIds)
        for (const auto &id : *device.hardwareIds)
            ids.push_back(Narrow(id));
    return ids;
}

const winsim::Device *FindByHardwareId(const winsim::Machine &machine, const std::string &hardwareId)
{
    const Text wanted = Widen(hardwareId);
    for (const auto &device : machine.devices) {
        if (device.removed || !device.hardwareIds)
            continue;
        for (const auto &id : *device.hardwareIds)
            if (winsim::EqualNoCase(id, wanted))
                return &device;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------
winsim::Fault FaultOn(const char *function, uint32_t error, const std::string &subject, uint32_t onCall)
{
    winsim::Fault fault;
    fault.function = function;
    fault.error = error;
    fault.subject = Widen(subject);
    fault.onCall = onCall;
    return fault;
}

winsim::Fault FaultFrom(const char *function, uint32_t error, uint32_t onCall, const std::string &subject)
{
    winsim::Fault fault = FaultOn(function, error, subject, onCall);
    fault.everyCall = true;
    return fault;
}

std::string FileBytes(const std::string &path)
{
    return hosttools::ReadFile(path).value_or(std::string());
}

// ---------------------------------------------------------------------------
// Scratch
// ---------------------------------------------------------------------------
Scratch::Scratch() : dir_("winsim-test"), current_(dir_.Dir())
{
}

std::string Scratch::Path(const std::string &name) const
{
    return dir_.Path(name);
}

void Scratch::WriteFile(const std::string &name, const std::string &bytes) const
{
    hosttools::WriteFile(Path(name), bytes);
}

std::string Scratch::ReadFile(const std::string &name) const
{
    return FileBytes(Path(name));
}

bool Scratch::Exists(const std::string &name) const
{
    return fs::exists(Path(name));
}

std::string Scratch::Log() const
{
    return ReadFile("MPIOInstall.LOG");
}

bool Scratch::MakeReadOnly(const std::string &name) const
{
    fs::permissions(Path(name), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    std::FILE *probe = std::fopen(Path(name).c_str(), "a+b");
    if (probe == nullptr)
        return true;
    std::fclose(probe);
    return false;
}

// ---------------------------------------------------------------------------
// Binary runs
// ---------------------------------------------------------------------------
Run RunBinary(const std::string &machineFile, const std::vector<std::string> &args, const std::string &cwd)
{
    const std::string logPath = cwd + "/MPIOInstall.LOG";
    const size_t logBefore = FileBytes(logPath).size();
    hosttools::Process install;
    install.program = INSTALL_BINARY;
    install.args = args;
    install.cwd = cwd;
    install.environment = {{"WINSIM_MACHINE", machineFile}};
    const hosttools::ProcessResult result = hosttools::Run(install);
    Run run;
    run.exitCode = result.exitCode;
    run.waitStatus = result.waitStatus;
    run.console = result.output;
    run.errors = result.errors;
    std::string log = FileBytes(logPath);
    run.log = log.size() >= logBefore ? log.substr(logBefore) : log;
    return run;
}

Run RunBinaryOn(winsim::Machine &machine, const std::vector<std::string> &args, const Scratch &scratch)
{
    const std::string file = scratch.Path("machine.json");
    CheckCaptureRoundTrip(machine);
    winsim::SaveMachineFile(machine, file);
    Run run = RunBinary(file, args, scratch.Dir());
    machine = winsim::LoadMachineFile(file);
    CheckCaptureRoundTrip(machine);
    return run;
}

// ---------------------------------------------------------------------------
// Log text
// ---------------------------------------------------------------------------
std::string MaskTimes(const std::string &log)
{
    return hosttools::MaskTimes(log);
}

std::string WithoutTimes(const std::string &log)
{
    return hosttools::MaskTimes(log, "");
}

std::string Crlf(const std::string &text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::string ErrorRecords(uint32_t code, const std::string &systemText)
{
    char codeLine[64];
    std::snprintf(codeLine, sizeof codeLine, "[T] Error code (0x%08x)\n", code);
    return (systemText.empty() ? std::string() : "[T] " + systemText + "\r\n\n") + codeLine;
}

const char *const kUsageRecords =
    "[T]Installs the Multi-Path software package.\n"
    "[T]\n"
    "[T]Usage: install switch source_path dsm_inf dsm_hwid\n"
    "[T]\n"
    "[T]  switch     \tWhether to install or uninstall (-i, -u, -c)\n"
    "[T]  source_path\tPermanent location that hosts all the infs and drivers\n"
    "[T]  dsm_inf    \tName of dsm inf (with extension)\n"
    "[T]  dsm_hwid   \tHardware Id associated with the dsm\n"
    "[T]\n";

}  // namespace harness
