// Kernel handles and the console: the process pseudo handle, standard
// output and what is written to it.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

constexpr DWORD kErrorNoAccess = 998;

char standardOutputToken;
HANDLE const kStandardOutput = &standardOutputToken;

}  // namespace

HANDLE GetCurrentProcess(void)
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

BOOL CloseHandle(HANDLE handle)
{
    winsim::Trace("CloseHandle", "");
    if (handle == GetCurrentProcess())
        return TRUE;  // the pseudo handle needs no closing
    if (winsim::CloseTokenHandle(handle))
        return TRUE;
    return winsim::FailBool(ERROR_INVALID_HANDLE);
}

HANDLE GetStdHandle(DWORD stdHandle)
{
    if (stdHandle == STD_OUTPUT_HANDLE)
        return kStandardOutput;
    // Only standard output is modelled.
    return winsim::FailHandle(ERROR_INVALID_HANDLE);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped)
{
    winsim::Trace("WriteFile", "size=" + std::to_string(bytesToWrite));
    if (auto fault = winsim::CheckFault("WriteFile"))
        return winsim::FailBool(*fault);
    if (file != kStandardOutput)
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    // Without an OVERLAPPED record the count pointer is required.
    if (overlapped || !bytesWritten)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    if (!buffer && bytesToWrite)
        return winsim::FailBool(kErrorNoAccess);
    winsim::ConsoleWrite(std::string(static_cast<const char *>(buffer), bytesToWrite));
    *bytesWritten = bytesToWrite;
    return TRUE;
}

namespace winsim {

std::string ToConsoleBytes(const Text &text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (char16_t unit : text) {
        if (unit == u'\n')
            bytes += "\r\n";
        else if (unit <= 0xFF)
            bytes += static_cast<char>(unit);
    }
    return bytes;
}

void ConsoleWrite(const std::string &bytes)
{
    Machine &machine = Current();
    machine.console += bytes;
    if (!machine.echoConsole)
        return;
    std::fflush(stdout);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

}  // namespace winsim
