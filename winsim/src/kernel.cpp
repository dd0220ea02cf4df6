// Kernel functions: last error, the local heap, the clock, system message
// texts and the version query.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

thread_local DWORD lastError = 0;

}  // namespace

DWORD GetLastError(void)
{
    return lastError;
}

void SetLastError(DWORD code)
{
    lastError = code;
}

// ---------------------------------------------------------------------------
// Local heap: blocks are counted so tests can see that none is left behind.
// ---------------------------------------------------------------------------
namespace {

std::unordered_map<void *, size_t> &LiveBlocks()
{
    static std::unordered_map<void *, size_t> blocks;
    return blocks;
}

void *AllocateBlock(SIZE_T bytes, bool zero)
{
    void *block = zero ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (block)
        LiveBlocks()[block] = bytes;
    return block;
}

}  // namespace

namespace winsim {
size_t LiveLocalBlocks()
{
    return LiveBlocks().size();
}
}  // namespace winsim

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    winsim::Trace("LocalAlloc", "flags=" + winsim::Hex(flags) + " size=" + std::to_string(bytes));
    if (auto fault = winsim::CheckFault("LocalAlloc")) {
        SetLastError(*fault);
        return nullptr;
    }
    if (flags & ~static_cast<UINT>(LMEM_ZEROINIT)) {
        // Movable and discardable blocks are not modelled.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void *block = AllocateBlock(bytes, flags & LMEM_ZEROINIT);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return block;
}

HLOCAL LocalFree(HLOCAL block)
{
    winsim::Trace("LocalFree", "");
    if (!block)
        return nullptr;
    auto &blocks = LiveBlocks();
    auto it = blocks.find(block);
    if (it == blocks.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return block;
    }
    blocks.erase(it);
    std::free(block);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Clock
// ---------------------------------------------------------------------------
namespace {

// Days since 1970-01-01 for a civil date, and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t &y, unsigned &m, unsigned &d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

void AdvanceClock(SYSTEMTIME &clock, uint64_t ms)
{
    int64_t days = DaysFromCivil(clock.wYear, clock.wMonth, clock.wDay);
    uint64_t msOfDay = ((clock.wHour * 60ULL + clock.wMinute) * 60ULL + clock.wSecond) * 1000ULL +
                       clock.wMilliseconds + ms;
    days += static_cast<int64_t>(msOfDay / 86400000ULL);
    msOfDay %= 86400000ULL;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    clock.wYear = static_cast<WORD>(y);
    clock.wMonth = static_cast<WORD>(m);
    clock.wDay = static_cast<WORD>(d);
    clock.wDayOfWeek = static_cast<WORD>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    clock.wMilliseconds = static_cast<WORD>(msOfDay % 1000);
    clock.wSecond = static_cast<WORD>(msOfDay / 1000 % 60);
    clock.wMinute = static_cast<WORD>(msOfDay / 60000 % 60);
    clock.wHour = static_cast<WORD>(msOfDay / 3600000);
}

}  // namespace

void GetLocalTime(LPSYSTEMTIME time)
{
    winsim::Machine &machine = winsim::Current();
    winsim::Trace("GetLocalTime", "");
    if (!time)
        return;  // Windows faults here; the stand-in just ignores the call
    *time = machine.clock;
    AdvanceClock(machine.clock, machine.clockStepMs);
}

// ---------------------------------------------------------------------------
// System message texts (English), by message identifier.
// ---------------------------------------------------------------------------
namespace {

const std::map<DWORD, const char *> &SystemMessages()
{
    static const std::map<DWORD, const char *> messages = {
        {0, "The operation completed successfully."},
        {1, "Incorrect function."},
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {13, "The data is invalid."},
        {14, "Not enough memory resources are available to complete this operation."},
        {31, "A device attached to the system is not functioning."},
        {32, "The process cannot access the file because it is being used by another process."},
        {50, "The request is not supported."},
        {87, "The parameter is incorrect."},
        {120, "This function is not supported on this system."},
        {122, "The data area passed to a system call is too small."},
        {123, "The filename, directory name, or volume label syntax is incorrect."},
        {161, "The specified path is invalid."},
        {234, "More data is available."},
        {258, "The wait operation timed out."},
        {259, "No more data is available."},
        {317, "The system cannot find message text for message number 0x%1 in the message file for %2."},
        {535, "There is a process on other end of the pipe."},
        {537, "Application verifier has found an error in the current process."},
        {552, "The passed ACL did not contain the minimum required information."},
        {561, "Indicates that an attempt was made to grow an LDT by setting its size, or that the size was "
              "not an even number of selectors."},
        {998, "Invalid access to memory location."},
        {1004, "Invalid flags."},
        {1060, "The specified service does not exist as an installed service."},
        {1072, "The specified service has been marked for deletion."},
        {1073, "The specified service already exists."},
        {1115, "A system shutdown is in progress."},
        {1223, "The operation was canceled by the user."},
        {1300, "Not all privileges or groups referenced are assigned to the caller."},
        {1313, "A specified privilege does not exist."},
        {1314, "A required privilege is not held by the client."},
        {1400, "Invalid window handle."},
        {1784, "The supplied user buffer is not valid for the requested operation."},
        {1815, "The specified resource language ID cannot be found in the image file."},
        {3010, "The requested operation is successful. Changes will not be effective until the system is "
               "rebooted."},
    };
    return messages;
}

bool HasInserts(const std::string &text)
{
    for (size_t i = 0; i + 1 < text.size(); i++)
        if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9')
            return true;
    return false;
}

}  // namespace

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list *arguments)
{
    (void)source;
    winsim::Trace("FormatMessageW", "flags=" + winsim::Hex(flags) + " id=" + std::to_string(messageId) +
                                        " lang=" + winsim::Hex(languageId) + " size=" + std::to_string(size));
    if (auto fault = winsim::CheckFault("FormatMessageW")) {
        SetLastError(*fault);
        return 0;
    }
    // Only system texts are modelled; a message source, argument arrays and
    // line-width formatting are not.
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                  FORMAT_MESSAGE_MAX_WIDTH_MASK))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (languageId != 0 && languageId != MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) &&
        languageId != MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    auto found = SystemMessages().find(messageId);
    if (found == SystemMessages().end()) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    std::string text = found->second;
    if (HasInserts(text) && !(flags & FORMAT_MESSAGE_IGNORE_INSERTS)) {
        // Inserts would need arguments the caller did not give.
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    (void)arguments;
    winsim::Text message = winsim::Widen(text + "\r\n");
    const size_t units = message.size() + 1;
    WCHAR *target;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t allocate = std::max<size_t>(units, size);
        target = static_cast<WCHAR *>(AllocateBlock(allocate * sizeof(WCHAR), false));
        if (!target) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<LPWSTR *>(buffer) = target;
    } else {
        if (size < units) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        target = buffer;
    }
    std::copy(message.begin(), message.end(), target);
    target[message.size()] = 0;
    return static_cast<DWORD>(message.size());
}


// ---------------------------------------------------------------------------
// Version
// ---------------------------------------------------------------------------
BOOL GetVersionExW(LPOSVERSIONINFOW versionInfo)
{
    if (!versionInfo)
        return winsim::FailBool(ERROR_NOACCESS);
    winsim::Trace("GetVersionExW", "size=" + std::to_string(versionInfo->dwOSVersionInfoSize));
    if (auto fault = winsim::CheckFault("GetVersionExW"))
        return winsim::FailBool(*fault);
    const DWORD size = versionInfo->dwOSVersionInfoSize;
    constexpr DWORD kExSize = 284;  // OSVERSIONINFOEXW
    if (size != sizeof(OSVERSIONINFOW) && size != kExSize)
        return winsim::FailBool(ERROR_INSUFFICIENT_BUFFER);
    const winsim::OsInfo &os = winsim::Current().os;
    versionInfo->dwMajorVersion = os.major;
    versionInfo->dwMinorVersion = os.minor;
    versionInfo->dwBuildNumber = os.build;
    versionInfo->dwPlatformId = VER_PLATFORM_WIN32_NT;
    size_t n = std::min<size_t>(os.csd.size(), 127);
    std::copy(os.csd.begin(), os.csd.begin() + static_cast<std::ptrdiff_t>(n), versionInfo->szCSDVersion);
    std::fill(versionInfo->szCSDVersion + n, versionInfo->szCSDVersion + 128, 0);
    if (size == kExSize) {
        // wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType (server), wReserved.
        auto *ex = reinterpret_cast<uint8_t *>(versionInfo) + sizeof(OSVERSIONINFOW);
        std::memset(ex, 0, kExSize - sizeof(OSVERSIONINFOW));
        ex[6] = 3;  // VER_NT_SERVER
    }
    return TRUE;
}
