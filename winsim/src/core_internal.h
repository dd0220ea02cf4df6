// Pieces shared by the stand-in's own API families (failing as Windows does,
// handle tables, trace arguments, registry data, lookups on the machine,
// console output, the MPIO bus device the feature brings, per-process state).
// Not part of the machine model that tests and other families code against.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/machine.h"

namespace winsim {

// Fails a function as Windows does: the code becomes the last error and the
// function returns FALSE (or, for one that opens something, an invalid handle).
inline BOOL FailBool(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

inline HANDLE FailHandle(DWORD code)
{
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

// The objects behind the handles an API family gives out.  A handle is its
// object's address; a closed, stale or foreign handle finds nothing.
template <typename T>
class HandleTable {
public:
    T *Add(std::unique_ptr<T> object)
    {
        T *handle = object.get();
        objects_[handle] = std::move(object);
        return handle;
    }
    T *Find(const void *handle) const
    {
        auto found = objects_.find(handle);
        return found == objects_.end() ? nullptr : found->second.get();
    }
    bool Remove(const void *handle) { return objects_.erase(handle) > 0; }
    size_t Count() const { return objects_.size(); }
    template <typename Visit>
    void ForEach(Visit visit) const
    {
        for (const auto &[handle, object] : objects_)
            visit(*object);
    }

private:
    std::map<const void *, std::unique_ptr<T>> objects_;
};

// A caller's NUL-terminated text; empty for a null pointer.
inline Text TextOf(const WCHAR *text)
{
    return text ? Text(text) : Text();
}

// Fold without a copy, and of one unit.
void FoldInPlace(Text &text);
char16_t FoldUnit(char16_t unit);
// UTF-8: the code point of one well-formed sequence at 'at' (< bytes.size())
// and its length in bytes; nothing for a broken, overlong or surrogate one.
struct Utf8Sequence {
    uint32_t codePoint;
    size_t length;
};
std::optional<Utf8Sequence> NextUtf8(std::string_view bytes, size_t at);
// Whether the bytes are UTF-8 throughout.
bool ValidUtf8(std::string_view bytes);
// Appends a code point as one or two UTF-16 units.
void AppendUtf16(Text &out, uint32_t codePoint);
// The pieces of a text between separators, empty ones included.
std::vector<Text> SplitText(const Text &text, char16_t separator);
// Hex digits: one digit's value; 'digits' digits from 'pos' as a number.
bool HexDigitValue(char c, unsigned &value);
bool ParseHexDigits(const std::string &text, size_t pos, size_t digits, uint64_t &value);

// Trace arguments: a number in hexadecimal ("0x14"), a caller's text as
// UTF-8 ("null" for a null pointer).
std::string Hex(uint64_t value);
std::string TextArg(const WCHAR *text);

// UTF-16 to console bytes as a Windows console in text mode writes them:
// units up to U+00FF as one byte, others dropped, "\n" as CR LF.
std::string ToConsoleBytes(const Text &text);
// Appends to Machine::console and, while echoConsole, writes to fd 1.
void ConsoleWrite(const std::string &bytes);

// The setup classes the machine knows by name.
struct KnownClass {
    const char16_t *name;
    GUID guid;
};
inline constexpr KnownClass kKnownClasses[] = {
    {u"SCSIAdapter", GUID_DEVCLASS_SCSIADAPTER},
    {u"DiskDrive", GUID_DEVCLASS_DISKDRIVE},
    {u"System", GUID_DEVCLASS_SYSTEM},
};

// The first component of an instance ID: the enumerator that created it.
Text EnumeratorOf(const Text &instanceId);
// Whether a device that is not removed has this instance ID (in any case).
bool InstanceIdInUse(const Machine &machine, const Text &instanceId);
// The first instance ID 'base' and a number ("%04u", from 0 to 'last') make
// that no device which is not removed has; nothing when all are taken.
std::optional<Text> FirstFreeInstanceId(const Machine &machine, const Text &base, uint32_t last);
// The key names of a registry path, without the empty ones that a doubled,
// leading or trailing '\' makes.
std::vector<Text> SplitKeyPath(const Text &path);

// The device the "MultipathIo" feature brings (gen 6+: "ROOT\MPIO").
Device *FindMpioBusDevice(Machine &machine);
Device &AddMpioBusDevice(Machine &machine);

// State of this process rather than of the machine; cleared by SetCurrent.
struct ProcessState {
    bool shutdownPrivilegeEnabled = false;
    bool shutdownRequested = false;   // ExitWindowsEx accepted a request
};
ProcessState &Process();

// ---------------------------------------------------------------------------
// Kernel objects: one handle table for every family whose handles
// CloseHandle closes (tokens, files), so that CloseHandle knows none of them.
// ---------------------------------------------------------------------------
class KernelObject {
public:
    virtual ~KernelObject() = default;
    // ReadFile and WriteFile on the object: 0 and the bytes moved, or the
    // error.  An object that is not a file answers ERROR_INVALID_HANDLE.
    virtual uint32_t Read(void *buffer, DWORD size, DWORD &done);
    virtual uint32_t Write(const void *buffer, DWORD size, DWORD &done);
};
HandleTable<KernelObject> &KernelObjects();
// The object of a handle when it is of type T; null otherwise.
template <typename T>
T *KernelObjectOf(HANDLE handle)
{
    return dynamic_cast<T *>(KernelObjects().Find(handle));
}

// Standard error of the run: appended to Machine::errors and, while
// echoConsole, written to the process's standard error.
void ConsoleErrorWrite(const std::string &bytes);

// The Windows folder and the folder of the published INFs, whose files are
// the driver store's entries.
inline constexpr char16_t kWindowsDirectory[] = u"C:\\Windows";
inline constexpr char16_t kInfDirectory[] = u"C:\\Windows\\INF";
// The driver store entry a path names: "<kInfDirectory>\<published name>",
// letter case aside; null when it names none.
const DriverStoreEntry *StoreEntryAt(const Machine &machine, const Text &path);
// Whether a path's directory part is kInfDirectory (letter case aside, a
// slash as a backslash); 'name' receives the last part.
bool InInfDirectory(const Text &path, Text *name = nullptr);
// A file name pattern of FindFirstFileW ("*", "?", "*.*" for every name)
// against a name, without regard to case.
bool MatchesPattern(const std::string &pattern, const std::string &name);

// ---------------------------------------------------------------------------
// The command interpreter and the servicing tool behind _wsystem and _wpopen
// ---------------------------------------------------------------------------
struct CommandRun {
    bool started = true;        // false: no interpreter could start (status -1)
    int status = 0;             // the command's exit status
    std::string output;         // what it wrote on standard output, CR LF lines
    std::string errors;         // and on standard error
};
// Runs a command line on the machine as the interpreter does; the feature
// switches change the machine.
CommandRun RunCommandLine(Machine &machine, const Text &line);

// A registry handle of a key that is not in the machine's tree (a device's
// driver key as the setup library makes it up), granting 'access' to read
// it.  'path' names it in traces.
HKEY OpenDetachedKey(const Text &path, RegKey key, REGSAM access);

// Live handles of the families that count them (see OpenHandles).
size_t OpenRegistryKeys();
size_t OpenServiceHandles();
size_t OpenFindHandles();
size_t LiveSids();
size_t OpenPipes();

}  // namespace winsim
