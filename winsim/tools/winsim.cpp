// winsim: look after a simulated machine between runs of the program.
//
//   winsim show [file]      a readable summary of the machine
//   winsim reboot [file]    restart the machine: complete what waits for it
//   winsim default [file]   write the built-in default machine
//   winsim diff BEFORE AFTER [--json]   what changed from one machine to the other
//   winsim captured IN OUT  write what capture.exe records of IN (captured.cpp)
//
// The file is $WINSIM_MACHINE, else ./winsim-machine.json, as for the
// program itself.  Exit status 0, 2 for a malformed or unreadable machine,
// 1 for anything else that failed (usage, saving); diff's are diff(1)'s
// (diff.h).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "diff.h"
#include "winsim/machine.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitBadMachine = 2;

std::string DefaultPath()
{
    const char *path = std::getenv("WINSIM_MACHINE");
    return path && *path ? path : "winsim-machine.json";
}

void Usage()
{
    std::fprintf(stderr,
                 "usage: winsim show [file]      show the machine\n"
                 "       winsim reboot [file]    reboot it: removals, deletions and feature changes complete\n"
                 "       winsim default [file]   write the built-in default machine\n"
                 "       winsim diff BEFORE AFTER [--json]   what changed from BEFORE to AFTER\n"
                 "       winsim captured IN OUT  write what capture.exe records of machine IN to OUT\n"
                 "The file is $WINSIM_MACHINE, else ./winsim-machine.json.\n");
}

std::string ClassName(const GUID &guid)
{
    if (guid == GUID_DEVCLASS_SCSIADAPTER)
        return "SCSI adapter";
    if (guid == GUID_DEVCLASS_DISKDRIVE)
        return "disk drive";
    if (guid == GUID_DEVCLASS_SYSTEM)
        return "system";
    return winsim::GuidToString(guid);
}

std::string StatusText(uint32_t status)
{
    static const struct {
        uint32_t bit;
        const char *name;
    } bits[] = {{DN_ROOT_ENUMERATED, "ROOT_ENUMERATED"}, {DN_DRIVER_LOADED, "DRIVER_LOADED"},
                {DN_STARTED, "STARTED"},                 {DN_NEED_RESTART, "NEED_RESTART"},
                {DN_HAS_PROBLEM, "HAS_PROBLEM"},         {DN_DISABLEABLE, "DISABLEABLE"},
                {DN_REMOVABLE, "REMOVABLE"},             {DN_WILL_BE_REMOVED, "WILL_BE_REMOVED"},
                {DN_NT_ENUMERATOR, "NT_ENUMERATOR"},     {DN_NT_DRIVER, "NT_DRIVER"}};
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    std::string text = hex;
    std::string names;
    for (const auto &b : bits)
        if (status & b.bit)
            names += (names.empty() ? "" : "|") + std::string(b.name);
    return names.empty() ? text : text + " (" + names + ")";
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Escaped(const winsim::Text &text)
{
    std::string out;
    for (char c : winsim::Narrow(text))
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

// What a value holds, after its size: a number of four or eight bytes
// (REG_DWORD, REG_QWORD) in decimal and hex, a string's text up to its
// first NUL, ":" before a multi-string's entries; nothing for other data.
std::string ValueData(const winsim::RegValue &value)
{
    const size_t size = value.data.size();
    if ((value.type == REG_DWORD && size == 4) || (value.type == REG_QWORD && size == 8)) {
        uint64_t number = 0;
        for (size_t i = 0; i < size; i++)
            number |= static_cast<uint64_t>(value.data[i]) << (8 * i);
        char text[48];
        std::snprintf(text, sizeof text, ": %llu (0x%0*llX)", static_cast<unsigned long long>(number),
                      static_cast<int>(2 * size), static_cast<unsigned long long>(number));
        return text;
    }
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        winsim::Text text = winsim::UnitsOf(value.data.data(), size);
        return ": \"" + Escaped(text.substr(0, text.find(u'\0'))) + "\"";
    }
    return value.type == REG_MULTI_SZ ? ":" : "";
}

void ShowKeys(const winsim::RegKey &key, const std::string &path)
{
    if (!path.empty() && (!key.values.empty() || key.denyAccess)) {
        std::printf("  %s%s\n", path.c_str(), key.denyAccess ? "   [access denied]" : "");
        for (const auto &[folded, named] : key.values) {
            const winsim::RegValue &value = named.second;
            std::printf("    %s  type %u, %zu bytes%s\n", winsim::Narrow(named.first).c_str(), value.type,
                        value.data.size(), ValueData(value).c_str());
            // A multi-string's entries, as the setup library reads them.
            if (value.type == REG_MULTI_SZ)
                for (const winsim::Text &entry : winsim::ParseMultiString(value.data))
                    std::printf("      \"%s\"\n", Escaped(entry).c_str());
        }
    }
    for (const auto &[folded, child] : key.subkeys)
        ShowKeys(child, path.empty() ? winsim::Narrow(child.name) : path + "\\" + winsim::Narrow(child.name));
}

void ShowIds(const char *title, const std::vector<winsim::Text> &ids)
{
    std::printf("      %s", title);
    for (const auto &id : ids)
        std::printf(" \"%s\"", winsim::Narrow(id).c_str());
    std::printf("\n");
}

void ShowDevice(DEVINST devInst, const winsim::Device &d)
{
    std::printf("  [%u] %s\n", devInst, winsim::Narrow(d.instanceId).c_str());
    std::printf("      class %s, %s, status %s, problem %u\n", ClassName(d.classGuid).c_str(),
                d.present ? "present" : "not present", StatusText(d.status).c_str(), d.problem);
    if (d.description)
        std::printf("      description \"%s\"\n", winsim::Narrow(*d.description).c_str());
    if (d.hardwareIds)
        ShowIds("hardware IDs", *d.hardwareIds);
    else
        std::printf("      hardware IDs absent\n");
    if (d.busHardwareIds)
        ShowIds("bus reports", *d.busHardwareIds);
    if (d.compatibleIds)
        ShowIds("compatible IDs", *d.compatibleIds);
    std::string more;
    if (d.enumerator)
        more += "enumerator " + winsim::Narrow(*d.enumerator) + "  ";
    if (d.configFlags)
        more += "config flags " + Hex(*d.configFlags) + "  ";
    if (!d.service.empty())
        more += "service " + winsim::Narrow(d.service) + "  ";
    if (!d.driverInf.empty())
        more += "driver " + winsim::Narrow(d.driverInf) + "  ";
    if (!d.driverVersion.empty())
        more += "version " + winsim::Narrow(d.driverVersion) + "  ";
    if (d.restarts)
        more += "restarts " + std::to_string(d.restarts) + "  ";
    if (d.refuseRemoval)
        more += "refuses removal  ";
    if (!more.empty())
        std::printf("      %s\n", more.c_str());
}

// A number a service may lack, "-" then.
std::string Number(const std::optional<uint32_t> &number)
{
    return number ? std::to_string(*number) : std::string("-");
}

void ShowService(const winsim::Service &s)
{
    std::printf("  %s  type %u, start %s, error control %s", winsim::Narrow(s.name).c_str(), s.type,
                Number(s.start).c_str(), Number(s.errorControl).c_str());
    if (s.imagePath)
        std::printf(", %s", Escaped(*s.imagePath).c_str());
    if (s.displayName)
        std::printf("  \"%s\"", Escaped(*s.displayName).c_str());
    std::printf("%s\n", s.markedForDelete ? "  [marked for delete]" : "");
}

// What the runs left behind: the driver store, files, reboots, message
// boxes, and the faults still planned.
void ShowRecords(const winsim::Machine &m)
{
    std::printf("\nDriver store (%zu)\n", m.driverStore.size());
    for (const auto &e : m.driverStore)
        std::printf("  %s  from %s, %zu bytes\n", winsim::Narrow(e.publishedName).c_str(),
                    winsim::Narrow(e.originalPath).c_str(), e.content.size());
    if (!m.files.empty()) {
        std::printf("\nFiles (%zu)\n", m.files.size());
        for (const auto &f : m.files)
            std::printf("  %s  from %s%s\n", winsim::Narrow(f.destination).c_str(), winsim::Narrow(f.source).c_str(),
                        f.deleted ? "  [deleted]" : "");
    }

    std::printf("\nReboots requested (%zu)\n", m.reboots.size());
    for (const auto &r : m.reboots)
        std::printf("  flags %s, reason %s\n", Hex(r.flags).c_str(), Hex(r.reason).c_str());
    std::printf("\nMessage boxes (%zu)\n", m.messageBoxes.size());
    for (const auto &b : m.messageBoxes)
        std::printf("  \"%s\": \"%s\"  type %u, answer %d\n", winsim::Narrow(b.caption).c_str(),
                    Escaped(b.text).c_str(), b.type, b.answer);
    if (!m.messageBoxAnswers.empty()) {
        std::printf("  scripted answers left:");
        for (int a : m.messageBoxAnswers)
            std::printf(" %d", a);
        std::printf("\n");
    }
    std::printf("Shutdown privilege %s; %s; terminal questions %s\n",
                m.shutdownPrivilege ? "granted" : "not granted",
                m.administrator ? "runs as an administrator" : "runs without administrator rights",
                m.interactive ? "allowed" : "off");
    if (!m.faults.empty()) {
        std::printf("\nFaults (%zu)\n", m.faults.size());
        for (const auto &f : m.faults) {
            std::printf("  %s fails with %s", f.function.c_str(), Hex(f.error).c_str());
            if (f.onCall)
                std::printf(f.everyCall ? " from call %u on" : " on call %u", f.onCall);
            if (!f.subject.empty())
                std::printf(" for \"%s\"", winsim::Narrow(f.subject).c_str());
            std::printf("\n");
        }
    }
}

// What the capture that wrote the machine noted, and what it could not read.
void ShowCapture(const winsim::CaptureNotes &notes)
{
    auto text = [](const std::optional<std::string> &t) { return t ? t->c_str() : "?"; };
    std::printf("Captured by %s %s at %s\n", text(notes.program), text(notes.version), text(notes.time));
    if (notes.unread)
        for (const winsim::CaptureUnread &unread : *notes.unread)
            std::printf("  not read: %s (error %s)\n", unread.what.c_str(), Hex(unread.error).c_str());
}

void Show(const winsim::Machine &m, const std::string &path)
{
    std::printf("Machine %s\n", path.c_str());
    if (m.capture)
        ShowCapture(*m.capture);
    std::printf("OS %u.%u build %u%s%s\n", m.os.major, m.os.minor, m.os.build, m.os.csd.empty() ? "" : " ",
                winsim::Narrow(m.os.csd).c_str());
    std::printf("Clock %04u-%02u-%02u %02u:%02u:%02u.%03u (step %u ms)\n", m.clock.wYear, m.clock.wMonth,
                m.clock.wDay, m.clock.wHour, m.clock.wMinute, m.clock.wSecond, m.clock.wMilliseconds,
                m.clockStepMs);
    std::printf("Reboot pending: %s\n", m.rebootPending ? "yes" : "no");

    std::printf("\nDevices (%zu)\n", m.devices.size());
    for (size_t i = 0; i < m.devices.size(); i++)
        ShowDevice(static_cast<DEVINST>(i + 1), m.devices[i]);

    const std::vector<winsim::Service> services = winsim::Services(m);
    std::printf("\nServices (%zu)\n", services.size());
    for (const winsim::Service &s : services)
        ShowService(s);

    std::printf("\nFeatures\n");
    for (const auto &[name, state] : m.features)
        std::printf("  %s: %s\n", name.c_str(), state.c_str());
    std::printf("  DISM answers %d; disabling %ss the bus device\n", m.dism.exitStatus, m.dism.onDisable.c_str());

    std::printf("\nRegistry (HKLM keys with values)\n");
    ShowKeys(m.hklm, std::string());

    ShowRecords(m);
}

}  // namespace

int CapturedCommand(const std::string &in, const std::string &out);

int main(int argc, char **argv)
{
    if (argc >= 2 && std::string(argv[1]) == "diff")
        return winsim::diff::Command(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
    if (argc == 4 && std::string(argv[1]) == "captured")
        return CapturedCommand(argv[2], argv[3]);
    if (argc < 2 || argc > 3) {
        Usage();
        return kExitFailed;
    }
    const std::string command = argv[1];
    const std::string path = argc == 3 ? argv[2] : DefaultPath();
    if (command == "default") {
        try {
            winsim::SaveMachineFile(winsim::DefaultMachine(), path);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "winsim: %s: %s\n", path.c_str(), error.what());
            return kExitFailed;
        }
        std::printf("Wrote the default machine to %s\n", path.c_str());
        return 0;
    }
    if (command != "show" && command != "reboot") {
        Usage();
        return kExitFailed;
    }
    winsim::Machine machine;
    try {
        machine = winsim::LoadMachineFile(path);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "winsim: %s: %s\n", path.c_str(), error.what());
        return kExitBadMachine;
    }
    if (command == "show") {
        Show(machine, path);
        return 0;
    }
    winsim::Reboot(machine);
    try {
        winsim::SaveMachineFile(machine, path);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "winsim: %s: %s\n", path.c_str(), error.what());
        return kExitFailed;
    }
    std::printf("Rebooted %s\n", path.c_str());
    return 0;
}
