// Pieces shared by the stand-in's setup library files (device information
// sets, INF handles, the install engine) and by the new-device library.  Not
// part of the machine model; tests may include it to look at open handles.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core_internal.h"
#include "winsim/inf.h"
#include "winsim/machine.h"

namespace winsim::setup {

// ---------------------------------------------------------------------------
// Device information sets
// ---------------------------------------------------------------------------

struct DeviceElement {
    DEVINST devInst = 0;              // index in Machine::devices + 1
    bool createdHere = false;         // made by SetupDiCreateDeviceInfoW in this set
    std::vector<uint8_t> classInstallParams;   // as last attached; empty: none
    uint32_t installFlags = 0;        // SP_DEVINSTALL_PARAMS_W.Flags
};

struct DeviceInfoSet {
    std::optional<GUID> classGuid;    // the set's class, when it has one
    std::vector<DeviceElement> elements;
    std::vector<uint8_t> classInstallParams;   // set-wide parameters
    uint32_t installFlags = 0;
};

// The set behind a handle, or null (invalid or destroyed handle).
DeviceInfoSet *LookupSet(HDEVINFO handle);
HDEVINFO AddSet(std::unique_ptr<DeviceInfoSet> set);
bool RemoveSet(HDEVINFO handle);

// Writes an element into a caller's SP_DEVINFO_DATA (cbSize already checked).
void FillDeviceData(const DeviceInfoSet &set, size_t elementIndex, SP_DEVINFO_DATA *data);
// The element a caller's SP_DEVINFO_DATA names in a set: nothing when the
// record is null, has the wrong size or names no element of the set.
DeviceElement *ResolveElement(DeviceInfoSet &set, const SP_DEVINFO_DATA *data);
Device *DeviceOf(const DeviceElement &element);
// A device's software key under HKLM: the key HKR stands for in the
// install sections of its driver.
Text SoftwareKey(const Device &device, DEVINST devInst);
// The instance ID a call concerns, for fault subjects and traces ("" when none).
Text SubjectOf(HDEVINFO handle, const SP_DEVINFO_DATA *data);

// ---------------------------------------------------------------------------
// INF files
// ---------------------------------------------------------------------------

struct LoadedInf {
    std::shared_ptr<const inf::InfFile> file;
    std::string bytes;        // the file's content, to publish it in the driver store
    Text path;                // as the caller gave it
    Text sourceDir;           // its directory, in the caller's form (for %1% and records)
};

// Reads and parses an INF named by a caller.  A name without a directory is
// looked up in the driver store first.  Only the Windows INF style is
// modelled: an INF without its signature fails with ERROR_WRONG_INF_STYLE.
// Returns 0 or the error code; a parse failure also gives the 1-based line.
uint32_t LoadInf(const Text &path, LoadedInf &out, uint32_t *errorLine = nullptr);
// The host path of the regular file a caller's path names (see FindHostPath).
std::optional<std::string> HostFile(const Text &path);

struct OpenInf {
    LoadedInf inf;
};

OpenInf *LookupInf(HINF handle);
// The setup class an INF's [Version] names: its GUID and its name, each
// completed from the other for the classes the machine knows.
uint32_t InfClass(const inf::InfFile &file, GUID &guid, Text &name);
// Hands a text to a caller's buffer the way the setup library's string
// queries do: the size (in units, with the NUL) always, the text only when
// a buffer was given and it fits.  0 or ERROR_INSUFFICIENT_BUFFER.
uint32_t CopyTextOut(const Text &text, PWSTR buffer, DWORD bufferSize, PDWORD requiredSize);

// ---------------------------------------------------------------------------
// Install engine (INF sections onto the machine)
// ---------------------------------------------------------------------------

using inf::DirectiveValues;
// A field of a line (see inf::Line::Field), or the fallback when it has none.
Text FieldOr(const inf::Line &line, uint32_t index, const Text &fallback = Text());
// A field read as an INF integer; the fallback when it is absent, empty or no number.
uint32_t IntFieldOr(const inf::Line &line, uint32_t index, uint32_t fallback);

// Layout of the setup library's FILEPATHS_W, handed to queue callbacks with
// the copy and delete notifications.
struct QueueFilePaths {
    PCWSTR Target;
    PCWSTR Source;
    UINT Win32Error;
    DWORD Flags;
};

struct FileQueueHandler {
    PSP_FILE_CALLBACK_W callback = nullptr;
    PVOID context = nullptr;
};

// Runs the CopyFiles and DelFiles directives of a section: the files are
// recorded in Machine::files, the handler (when set) sees the queue
// notifications.  'sourceRoot' overrides the INF's directory.
uint32_t InstallFiles(const LoadedInf &inf, const inf::Section &section, const FileQueueHandler &handler,
                      const Text *sourceRoot);
// Runs the DelReg and then the AddReg directives of a section.  'hkr' is the
// key HKR stands for (a path under HKLM), nothing when the section has none.
uint32_t InstallRegistry(const LoadedInf &inf, const inf::Section &section, const std::optional<Text> &hkr);
// Runs the DelService and AddService directives of a services section.
// 'associated' receives the service marked as the device's function driver
// ("" for the null driver); it stays empty when no entry is so marked.
uint32_t InstallServices(const LoadedInf &inf, const inf::Section &section, std::optional<Text> *associated);
// Puts an INF into Machine::driverStore (the same content keeps its name) and
// gives its published name ("oem0.inf").
uint32_t PublishInf(const LoadedInf &inf, Text &publishedName);

}  // namespace winsim::setup
