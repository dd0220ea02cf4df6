// Runs a program and records its full 32-bit exit code, which the Unix exit
// status of the Wine loader cuts to its low 8 bits.
//
//   wrun EXITFILE [--timeout MS] PROGRAM [ARGS...]
//
// The rest of this program's own command line after EXITFILE (and the
// timeout) is handed to CreateProcessW unchanged, so quoting reaches the
// program as typed.  The child shares this process's standard handles.
// EXITFILE receives "exit 0xXXXXXXXX", "timeout 0" when the program did not
// end within MS milliseconds (it is then terminated), or "error N" when it
// could not be started.
#include <windows.h>
#include <stdio.h>
#include <string>

namespace {

// Skips one argument of a command line the way the C runtime splits it.
const wchar_t *SkipArgument(const wchar_t *p)
{
    while (*p == L' ' || *p == L'\t')
        p++;
    bool quoted = false;
    while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
        if (*p == L'"')
            quoted = !quoted;
        p++;
    }
    while (*p == L' ' || *p == L'\t')
        p++;
    return p;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: wrun EXITFILE PROGRAM [ARGS...]\n");
        return 2;
    }
    const wchar_t *rest = SkipArgument(SkipArgument(GetCommandLineW()));
    DWORD wait = INFINITE;
    if (argc >= 5 && !wcscmp(argv[2], L"--timeout")) {
        wait = wcstoul(argv[3], NULL, 10);
        rest = SkipArgument(SkipArgument(rest));
    }
    std::wstring commandLine = rest;

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    FILE *out = _wfopen(argv[1], L"wb");
    if (!out) {
        fprintf(stderr, "wrun: cannot write the exit file\n");
        return 2;
    }
    if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        fprintf(out, "error %lu\n", GetLastError());
        fclose(out);
        return 2;
    }
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, wait) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1);
        fprintf(out, "timeout 0\n");
    } else {
        GetExitCodeProcess(process.hProcess, &code);
        fprintf(out, "exit 0x%08lX\n", code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    fclose(out);
    return 0;
}
