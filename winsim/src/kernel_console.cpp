// Kernel handles and the console: the one table of kernel objects that
// CloseHandle closes, the process pseudo handle, the standard output and
// error, and ReadFile and WriteFile on any of them.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

constexpr DWORD kErrorNoAccess = 998;

// A standard stream: what is written goes to the run's console bytes.
class ConsoleStream : public winsim::KernelObject {
public:
    explicit ConsoleStream(bool errors) : errors_(errors) {}
    uint32_t Write(const void *buffer, DWORD size, DWORD &done) override
    {
        const std::string bytes(static_cast<const char *>(buffer), size);
        if (errors_)
            winsim::ConsoleErrorWrite(bytes);
        else
            winsim::ConsoleWrite(bytes);
        done = size;
        return 0;
    }

private:
    bool errors_;
};

ConsoleStream standardOutput(false);
ConsoleStream standardError(true);

// The object behind a handle: a standard stream or one of the table's.
winsim::KernelObject *ObjectOf(HANDLE handle)
{
    if (handle == &standardOutput)
        return &standardOutput;
    if (handle == &standardError)
        return &standardError;
    return winsim::KernelObjects().Find(handle);
}

void WriteAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

namespace winsim {

uint32_t KernelObject::Read(void *, DWORD, DWORD &)
{
    return ERROR_INVALID_HANDLE;
}

uint32_t KernelObject::Write(const void *, DWORD, DWORD &)
{
    return ERROR_INVALID_HANDLE;
}

HandleTable<KernelObject> &KernelObjects()
{
    static HandleTable<KernelObject> objects;
    return objects;
}

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
    WriteAll(1, bytes);
}

void ConsoleErrorWrite(const std::string &bytes)
{
    Machine &machine = Current();
    machine.errors += bytes;
    if (!machine.echoConsole)
        return;
    std::fflush(stdout);
    std::fflush(stderr);
    WriteAll(2, bytes);
}

}  // namespace winsim

HANDLE GetCurrentProcess(void)
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

BOOL CloseHandle(HANDLE handle)
{
    winsim::Trace("CloseHandle", "");
    if (handle == GetCurrentProcess())
        return TRUE;  // the pseudo handle needs no closing
    if (winsim::KernelObjects().Remove(handle))
        return TRUE;
    return winsim::FailBool(ERROR_INVALID_HANDLE);
}

HANDLE GetStdHandle(DWORD stdHandle)
{
    if (stdHandle == STD_OUTPUT_HANDLE)
        return &standardOutput;
    if (stdHandle == STD_ERROR_HANDLE)
        return &standardError;
    // Standard input is not modelled.
    return winsim::FailHandle(ERROR_INVALID_HANDLE);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped)
{
    winsim::Trace("WriteFile", "size=" + std::to_string(bytesToWrite));
    if (auto fault = winsim::CheckFault("WriteFile"))
        return winsim::FailBool(*fault);
    winsim::KernelObject *object = ObjectOf(file);
    if (object == nullptr)
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    // Without an OVERLAPPED record the count pointer is required.
    if (overlapped || !bytesWritten)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    *bytesWritten = 0;
    if (!buffer && bytesToWrite)
        return winsim::FailBool(kErrorNoAccess);
    if (uint32_t error = object->Write(buffer, bytesToWrite, *bytesWritten))
        return winsim::FailBool(error);
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped)
{
    winsim::Trace("ReadFile", "size=" + std::to_string(bytesToRead));
    if (auto fault = winsim::CheckFault("ReadFile"))
        return winsim::FailBool(*fault);
    winsim::KernelObject *object = ObjectOf(file);
    if (object == nullptr)
        return winsim::FailBool(ERROR_INVALID_HANDLE);
    if (overlapped || !bytesRead)
        return winsim::FailBool(ERROR_INVALID_PARAMETER);
    *bytesRead = 0;
    if (!buffer && bytesToRead)
        return winsim::FailBool(kErrorNoAccess);
    if (uint32_t error = object->Read(buffer, bytesToRead, *bytesRead))
        return winsim::FailBool(error);
    return TRUE;
}
