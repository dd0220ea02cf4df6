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

// The first component of an instance ID: the enumerator that created it.
Text EnumeratorOf(const Text &instanceId);
// Whether a device that is not removed has this instance ID (in any case).
bool InstanceIdInUse(const Machine &machine, const Text &instanceId);
// The first instance ID 'base' and a number ("%04u", from 0 to 'last') make
// that no device which is not removed has; nothing when all are taken.
std::optional<Text> FirstFreeInstanceId(const Machine &machine, const Text &base, uint32_t last);
// The key names of a registry path, without the empty ones that a doubled,
// leading or trailing '\' makes (CanonicalKeyPath joins them).
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

// Closes a token handle of OpenProcessToken; false when it is not one.
bool CloseTokenHandle(HANDLE handle);

}  // namespace winsim
