// The simulated Windows machine: everything the platform functions read and
// change, plus the fault plan and the call trace.  One Machine is current per
// process; the host binary loads it from a JSON description before the
// program starts and saves it back when the program ends.  The registry, the
// devices, the INF model and the description have headers of their own; the
// services are keys of the registry, read through the accessors below.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "winsim/description.h"
#include "winsim/devices.h"
#include "winsim/registry.h"
#include "winsim/text.h"
#include "winsim/windows.h"

namespace winsim {

struct OsInfo {
    uint32_t major = 10;
    uint32_t minor = 0;
    uint32_t build = 17763;
    Text csd;
    // "amd64" or "x86"; empty: x86 for Windows 2000 and XP (5.0, 5.1), amd64 after.
    std::string arch;
};

// The machine's processor architecture, "amd64" or "x86".
std::string Arch(const OsInfo &os);

// The key under HKLM whose subkeys are the services.
inline constexpr char16_t kServicesKeyPath[] = u"SYSTEM\\CurrentControlSet\\Services";

// A service as the service control manager reads it: a subkey of
// kServicesKeyPath that has a REG_DWORD "Type".  A field is absent when its
// value is, or is not of the type it is read as: the numbers REG_DWORD of
// four bytes, the texts REG_SZ or REG_EXPAND_SZ (up to the first NUL).
struct Service {
    Text name;                               // the key's name as created
    std::optional<Text> displayName;         // DisplayName
    std::optional<Text> imagePath;           // ImagePath
    uint32_t type = 0;                       // Type
    std::optional<uint32_t> start;           // Start
    std::optional<uint32_t> errorControl;    // ErrorControl
    bool markedForDelete = false;            // DeleteFlag is REG_DWORD 1: the key goes at the next reboot
};

struct DriverStoreEntry {
    Text publishedName;   // "oem0.inf"
    Text originalPath;    // the path it was copied from, as the program gave it
    std::string content;  // the INF's bytes, to tell "the same INF again"
};

struct CopiedFile {
    Text destination;     // "<dirid or dir>\\name"
    Text source;
    bool deleted = false;
};

struct MessageBoxRecord {
    Text text;
    Text caption;
    uint32_t type = 0;
    int answer = 0;
};

struct RebootRecord {
    uint32_t flags = 0;
    uint32_t reason = 0;
};

struct DismConfig {
    int exitStatus = 0;                 // 0, 3010, any other code, or -1: no interpreter
    std::string onDisable = "mark";     // "mark" for removal, "remove" at once, or "keep"
};

// A fault: make a platform function fail with a code.  Which calls: the Nth
// call of that function (1-based), every call, or the calls that concern one
// subject (a device instance ID, a registry key path, or a value name).
struct Fault {
    std::string function;
    uint32_t error = 0;
    uint32_t onCall = 0;        // 0: not by count
    bool everyCall = false;
    Text subject;               // empty: any subject
    uint32_t calls = 0;         // calls of the function seen so far (for onCall)
};

// What a capture of a real machine noted of itself, kept as it was read so
// that a twin keeps what its capture could not read.
struct CaptureUnread {
    std::string what;
    uint32_t error = 0;
};
struct CaptureNotes {
    std::optional<std::string> program, version, time;
    std::optional<std::vector<CaptureUnread>> unread;
};

struct TraceEntry {
    std::string function;
    std::string args;           // "name=value name=value", values as the call gave them
};

struct Machine {
    std::string path;                       // the description file; empty for in-memory machines
    OsInfo os;
    std::vector<Device> devices;
    RegKey hklm;
    std::map<std::string, std::string> features;   // "MultipathIo" -> "Enabled", "Disabled", "EnablePending", "DisablePending"
    DismConfig dism;
    std::vector<int> messageBoxAnswers;     // consumed in order
    std::vector<MessageBoxRecord> messageBoxes;
    bool shutdownPrivilege = true;
    bool administrator = true;              // the program runs as a member of the Administrators group
    std::vector<RebootRecord> reboots;
    SYSTEMTIME clock{2026, 12, 2, 8, 10, 20, 30, 123};
    uint32_t clockStepMs = 0;               // added to the clock after each read
    std::vector<DriverStoreEntry> driverStore;
    std::vector<CopiedFile> files;
    bool rebootPending = false;             // some change waits for a reboot
    std::optional<CaptureNotes> capture;    // the description came from a capture
    std::vector<Fault> faults;
    std::vector<TraceEntry> trace;          // not saved
    bool interactive = false;               // message boxes may ask on the terminal
    // Console output of the run (WriteFile on the standard output, wprintf),
    // as bytes; copied to the process's standard output while echoConsole.
    std::string console;
    // Standard error of the run (WriteFile on the standard error, the
    // command interpreter's complaints), as bytes; copied likewise.
    std::string errors;
    bool echoConsole = true;
};

// The current machine of this process.
Machine &Current();
void SetCurrent(Machine machine);

// The service of a key (a subkey of kServicesKeyPath); nothing when it has
// no REG_DWORD "Type".
std::optional<Service> ServiceOf(const RegKey &key);
// The services in registry order (by ASCII-folded name), and one by its
// name, ASCII case aside.
std::vector<Service> Services(const Machine &machine);
std::optional<Service> FindService(const Machine &machine, const Text &name);
// Whether the service control manager lists a service: its Start and
// ErrorControl are REG_DWORDs as well (it passes over a key without them).
bool InServiceDatabase(const Service &service);

// The name a published INF was published from: the last part of its
// original path, or its own name when it has none.
Text OriginalInfName(const DriverStoreEntry &entry);

// Complete what waits for a reboot: devices marked for removal leave,
// services marked for deletion go, pending feature changes settle, and a
// disk given back to its bus reports the bus's hardware IDs again.
void Reboot(Machine &machine);
// Completes the reboot a run asked for through ExitWindowsEx (reboot records
// from index 'firstRecord' on); true when it did.
bool CompleteRequestedReboot(Machine &machine, size_t firstRecord);

// Fault injection: the one place every platform function asks.  Returns the
// code to fail with, or nothing.  'subject' names what the call concerns.
std::optional<uint32_t> CheckFault(const char *function, const Text &subject = Text());
// Trace of platform calls.
void Trace(const char *function, const std::string &args);
bool TraceHas(const char *function, const std::string &argsPart = std::string());
size_t TraceCount(const char *function);

// Live LocalAlloc blocks (the program must leave none).
size_t LiveLocalBlocks();

// Handles the program left open: device information sets and INF files;
// every handle of every family (kernel objects, registry keys, service
// handles, device information sets, INF files, searches, SIDs, pipes).
size_t OpenDeviceInfoSets();
size_t OpenInfFiles();
size_t OpenHandles();

// The simulated file system is the host's, found as NTFS finds names: the
// host path of a Windows path ('\' or '/' between names), each name found
// without regard to ASCII case (a name spelt exactly wins).  Nothing when a
// part of it does not exist.
std::optional<std::string> FindHostPath(const Text &path);

}  // namespace winsim
