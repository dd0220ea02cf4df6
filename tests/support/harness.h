// Shared test helpers: machines in a few lines, a scratch working directory,
// runs of the program (in this process or as the host binary) and log
// helpers.
//
//   harness::Scratch scratch;                       // cwd = fresh temp dir
//   winsim::Machine m = harness::Gen6();
//   m.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));
//   harness::Run run = harness::RunInProcess(m, {u"-c"});
//   EXPECT_EQ(run.exitCode, 1);
//   EXPECT_EQ(harness::MaskTimes(run.log), harness::Crlf("[T]Starting ...\n"));
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hosttools/hosttools.h"
#include "winsim/machine.h"

namespace harness {

// ---------------------------------------------------------------------------
// Machines
// ---------------------------------------------------------------------------
// Bare machines: the OS version, the class keys of the SCSI adapter, disk
// drive and system classes (with their "Class" value) and an empty Services
// key; no devices.  Gen6 has the "MultipathIo" feature (Disabled), DISM
// answering 0.  Neither asks on a terminal (interactive false) nor copies
// console output to this process's standard output (echoConsole false).
winsim::Machine Gen5(uint32_t minor = 1);   // 5.1 build 2600, 5.2 build 3790, ...
winsim::Machine Gen6();                     // 10.0 build 17763

// Devices.  Every builder gives a present, started device (DN_DRIVER_LOADED |
// DN_STARTED) with config flags 0 and the enumerator taken from the
// instance ID's first part.
winsim::Device ScsiAdapter(const std::string &instanceId, const std::vector<std::string> &hardwareIds,
                           const std::string &description);
winsim::Device SystemDevice(const std::string &instanceId, const std::vector<std::string> &hardwareIds,
                            const std::string &description);
// A disk with the hardware IDs a SCSI disk reports, e.g. for "QUORVEX ",
// "LUMENSTRIDE     ", "0100": "SCSI\DiskQUORVEX_LUMENSTRIDE_____0100",
// "SCSI\DiskQUORVEX_LUMENSTRIDE_____", "SCSI\DiskQUORVEX_",
// "SCSI\QUORVEX_LUMENSTRIDE_____0", "QUORVEX_LUMENSTRIDE_____0", "GenDisk".
// 'enumerator' replaces "SCSI"; 'unit' tells disks of one model apart in
// their instance IDs.
winsim::Device Disk(const std::string &vendor8, const std::string &product16, const std::string &rev = "0100",
                    const std::string &enumerator = "SCSI", unsigned unit = 0);
// The MPIO bus device as the feature or a driver install leaves it.
winsim::Device MpioBus(const std::string &hardwareId = "ROOT\\MPIO");

// Registry values under HKLM (keys created as needed).
void SetMultiSz(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName,
                const std::vector<std::string> &strings);
void SetDword(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName,
              uint32_t value);
void SetString(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName,
               const std::string &value);
// A kernel driver's service key (Type 1, ErrorControl 1), marked for
// deletion (DeleteFlag 1) when asked.
void AddService(winsim::Machine &machine, const std::string &name, uint32_t start, bool markedForDelete = false);
// Any type and any bytes, e.g. a list stored without its closing NUL.
void SetRaw(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName, uint32_t type,
            std::vector<uint8_t> data);
// Reads: nothing when the key or value is absent (or has another type).
std::optional<std::vector<std::string>> GetMultiSz(winsim::Machine &machine, const std::string &keyPath,
                                                   const std::string &valueName);
std::optional<uint32_t> GetDword(winsim::Machine &machine, const std::string &keyPath,
                                 const std::string &valueName);
const winsim::RegValue *GetRaw(winsim::Machine &machine, const std::string &keyPath, const std::string &valueName);
// UTF-16LE bytes of the units as written, NULs included.
std::vector<uint8_t> Utf16Bytes(const std::u16string &units);
// A device's hardware IDs (none when it has no list).
std::vector<std::string> HardwareIds(const winsim::Device &device);
// The machine's first device (not removed) that lists the hardware ID.
const winsim::Device *FindByHardwareId(const winsim::Machine &machine, const std::string &hardwareId);

// ---------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------
// 'function' fails with 'error': on every call when 'onCall' is 0, else on
// that call only (counted from 1).  A subject (a value name, a section, a
// device's instance ID, ...) limits the fault, and its count, to the calls
// about that subject.
winsim::Fault FaultOn(const char *function, uint32_t error, const std::string &subject = "", uint32_t onCall = 0);
// The same from call 'onCall' on.
winsim::Fault FaultFrom(const char *function, uint32_t error, uint32_t onCall, const std::string &subject = "");

// The bytes of a file ("" when there is none).
std::string FileBytes(const std::string &path);

// ---------------------------------------------------------------------------
// Scratch directory
// ---------------------------------------------------------------------------
// A fresh temporary directory that is the current directory for the
// object's life; the previous directory is restored and the scratch
// directory removed afterwards.
class Scratch {
public:
    Scratch();

    const std::string &Dir() const { return dir_.Dir(); }
    // Absolute path of a name inside the scratch directory.
    std::string Path(const std::string &name) const;
    // Writes a file (parent directories created), e.g. an INF fixture.
    void WriteFile(const std::string &name, const std::string &bytes) const;
    std::string ReadFile(const std::string &name) const;   // "" when absent
    bool Exists(const std::string &name) const;
    // The raw bytes of MPIOInstall.LOG ("" when there is none).
    std::string Log() const;
    // Makes a file read-only; false when this user may write it all the
    // same (root), so that a test of a read-only file cannot run.
    bool MakeReadOnly(const std::string &name) const;

private:
    hosttools::ScratchDir dir_;
    hosttools::WorkingDirectory current_;
};

// ---------------------------------------------------------------------------
// Runs
// ---------------------------------------------------------------------------
struct Run {
    int exitCode = 0;        // as wmain returned it: -1, -2 stay negative
    std::string log;         // the bytes this run appended to MPIOInstall.LOG
    std::string console;     // the bytes the run wrote to standard output
    // In-process runs only:
    size_t localBlocksLeft = 0;   // LocalAlloc blocks the run did not free
    bool rebooted = false;        // a forced reboot was completed after the run
    // Binary runs only:
    int waitStatus = 0;           // the raw status from waitpid
    std::string errors;           // what the process wrote to standard error
};

// Runs the program's wmain in this process, in the current directory (make
// a Scratch first), on 'machine': it becomes the current machine (console
// echo off, faults' call counts reset), FoundDevInst is reset, and after the
// run a reboot the program asked for is completed as the host binary would,
// and the machine is copied back.  'args' are the arguments after the
// program name.
Run RunInProcess(winsim::Machine &machine, const std::vector<std::u16string> &args);

// Runs the host binary (INSTALL_BINARY) with WINSIM_MACHINE=machineFile in
// 'cwd', standard input from /dev/null; captures standard output and error.
// exitCode is the 8-bit exit status read back as signed, so the program's
// -1 and -2 compare as -1 and -2; the stand-in's own 2 and 3 stay 2 and 3.
// A process killed by a signal gives exitCode -1000 - signal.
Run RunBinary(const std::string &machineFile, const std::vector<std::string> &args, const std::string &cwd);
// RunBinary on 'machine', saved as "machine.json" in the scratch directory
// and run there; the machine is read back from the file afterwards.
Run RunBinaryOn(winsim::Machine &machine, const std::vector<std::string> &args, const Scratch &scratch);

// ---------------------------------------------------------------------------
// Making a machine current, and the capture round trip
// ---------------------------------------------------------------------------
// Where every run of the suite starts and ends: MakeCurrent makes a machine
// the current one (faults' call counts from 0); both check the current
// machine's capture round trip (CheckCaptureRoundTrip).
void MakeCurrent(const winsim::Machine &machine);
void RunEnded();

// capture.exe's program (CaptureMain) on a copy of 'machine', in this
// process, while the current machine, the last error and the handles and
// blocks held stay as they are.  'args' follow the program name.
struct CaptureRun {
    int exitCode = 0;
    winsim::Machine machine;      // the copy as the capture left it
    std::string errors;           // what it wrote on standard error
    size_t handlesLeft = 0;       // handles and LocalAlloc blocks it did not close
    size_t localBlocksLeft = 0;
};
CaptureRun CaptureInProcess(const winsim::Machine &machine, const std::vector<std::u16string> &args);
// Captures a copy of the machine (without its faults) into a file of its
// own: the capture must exit 0, close what it opened, change nothing, and
// its file, loaded and without the capture's notes, must equal the machine's
// CapturedView; a difference fails the test with a short diff.  A machine
// whose program is no administrator is not captured.
void CheckCaptureRoundTrip(const winsim::Machine &machine);
// A unified diff of two texts' first differing stretch, at most 'mostLines'.
std::string ShortDiff(const std::string &expected, const std::string &actual, size_t mostLines = 40);

// ---------------------------------------------------------------------------
// Log text
// ---------------------------------------------------------------------------
// Replaces every time stamp "[MM/DD/YYYY HH:MM:SS.mmm]" with "[T]".
std::string MaskTimes(const std::string &log);
// The log without its time stamps: the bytes the console shows of it.
std::string WithoutTimes(const std::string &log);
// "\n" to "\r\n", for writing expected log and console bytes readably.
std::string Crlf(const std::string &text);
// The masked records LogErrorText leaves for a code, in "\n" form: the
// system's text when there is one, then the code line.
std::string ErrorRecords(uint32_t code, const std::string &systemText = "");
// The masked records of the usage text, in "\n" form.
extern const char *const kUsageRecords;
// UTF-8 to UTF-16, for arguments.
std::u16string U(const std::string &utf8);

}  // namespace harness
