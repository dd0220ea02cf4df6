// The system as a process sees it: the Windows folder, the processor and the
// environment block.  The environment is the simulated process's own, not
// the host's: the variables a Windows process of the machine's architecture
// has that say where Windows is and what it runs on.  A 64-bit process, or a
// 32-bit one on 32-bit Windows, has no PROCESSOR_ARCHITEW6432.
#include <cstring>
#include <string>
#include <utility>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

constexpr DWORD kPageSize = 4096;
constexpr DWORD kAllocationGranularity = 65536;
constexpr DWORD kProcessorAmdX8664 = 8664;
constexpr DWORD kProcessorIntelPentium = 586;

// Hands a text to a caller's buffer as the kernel's text queries do: its
// length without the NUL when it fits, else the units needed with the NUL.
DWORD TextToBuffer(const winsim::Text &text, LPWSTR buffer, DWORD size)
{
    if (buffer == nullptr || size < text.size() + 1)
        return static_cast<DWORD>(text.size() + 1);
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

}  // namespace

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size)
{
    winsim::Trace("GetWindowsDirectoryW", "size=" + std::to_string(size));
    if (auto fault = winsim::CheckFault("GetWindowsDirectoryW")) {
        SetLastError(*fault);
        return 0;
    }
    return TextToBuffer(winsim::kWindowsDirectory, buffer, size);
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size)
{
    const winsim::Text wanted = winsim::TextOf(name);
    winsim::Trace("GetEnvironmentVariableW", "name=" + winsim::TextArg(name) + " size=" + std::to_string(size));
    if (auto fault = winsim::CheckFault("GetEnvironmentVariableW", wanted)) {
        SetLastError(*fault);
        return 0;
    }
    const bool amd64 = winsim::Arch(winsim::Current().os) == "amd64";
    const std::pair<winsim::Text, winsim::Text> variables[] = {
        {u"SystemRoot", winsim::kWindowsDirectory},
        {u"windir", winsim::kWindowsDirectory},
        {u"PROCESSOR_ARCHITECTURE", amd64 ? u"AMD64" : u"x86"},
    };
    for (const auto &[variable, value] : variables)
        if (winsim::EqualNoCase(variable, wanted))
            return TextToBuffer(value, buffer, size);
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
}

void GetSystemInfo(LPSYSTEM_INFO systemInfo)
{
    winsim::Trace("GetSystemInfo", "");
    if (systemInfo == nullptr)
        return;  // Windows faults here; the stand-in just ignores the call
    const bool amd64 = winsim::Arch(winsim::Current().os) == "amd64";
    std::memset(systemInfo, 0, sizeof *systemInfo);
    systemInfo->wProcessorArchitecture = amd64 ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL;
    systemInfo->dwPageSize = kPageSize;
    systemInfo->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(kAllocationGranularity));
    systemInfo->lpMaximumApplicationAddress =
        reinterpret_cast<LPVOID>(static_cast<uintptr_t>(amd64 ? 0x7FFFFFFEFFFFULL : 0x7FFEFFFFULL));
    systemInfo->dwActiveProcessorMask = 0x3;
    systemInfo->dwNumberOfProcessors = 2;
    systemInfo->dwProcessorType = amd64 ? kProcessorAmdX8664 : kProcessorIntelPentium;
    systemInfo->dwAllocationGranularity = kAllocationGranularity;
    systemInfo->wProcessorLevel = 6;
}
