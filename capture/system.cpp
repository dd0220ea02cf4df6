/* The machine's own facts: its Windows version and processor, its clock,
 * and the two checks before anything is read: the right build for this
 * Windows, and an administrator's token. */
#include "capture.h"

BOOL RunsUnderWow64(void)
{
    WCHAR value[32] = {};

    /* Only a 32-bit process can run under WOW64; the variable is the
     * system's mark on such a process's environment. */
    if (sizeof(void *) != 4)
        return FALSE;
    return GetEnvironmentVariableW(TEXT("PROCESSOR_ARCHITEW6432"), value, 32) != 0;
}

DWORD CheckAdministrator(BOOL *isAdministrator)
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = NULL;
    BOOL member = FALSE;
    DWORD error = ERROR_SUCCESS;

    *isAdministrator = FALSE;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &administrators))
        return GetLastError();
    /* The token of the calling thread or process: under UAC a non-elevated
     * token holds the group for denying only, and is not a member. */
    if (!CheckTokenMembership(NULL, administrators, &member)) {
        error = GetLastError();
        goto free_sid;
    }
    *isAdministrator = member;

free_sid:
    FreeSid(administrators);
    return error;
}

void CaptureOs(CAPTURE *capture)
{
    SYSTEM_INFO system = {};
    const char *arch = NULL;
    size_t csdUnits = 0;

    if (capture->os.dwOSVersionInfoSize == 0)
        return;   /* the version could not be read; noted at start-up */
    GetSystemInfo(&system);
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
        arch = "amd64";
    else if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL)
        arch = "x86";
    else
        NoteUnread(capture, ERROR_NOT_SUPPORTED, TEXT("os: processor architecture %u is neither x64 nor x86"),
                   (unsigned int)system.wProcessorArchitecture);

    JsonKey(capture->json, "os");
    JsonBeginObject(capture->json, JSON_INLINE);
    JsonKey(capture->json, "major");
    JsonNumber(capture->json, capture->os.dwMajorVersion);
    JsonKey(capture->json, "minor");
    JsonNumber(capture->json, capture->os.dwMinorVersion);
    JsonKey(capture->json, "build");
    JsonNumber(capture->json, capture->os.dwBuildNumber);
    /* At most 127 units and its NUL, as the record holds it. */
    while (csdUnits < 127 && capture->os.szCSDVersion[csdUnits] != 0)
        csdUnits++;
    JsonKey(capture->json, "csd");
    JsonTextN(capture->json, capture->os.szCSDVersion, csdUnits);
    if (arch != NULL) {
        JsonKey(capture->json, "arch");
        JsonAscii(capture->json, arch);
    }
    JsonEndObject(capture->json);
}

void CaptureClock(CAPTURE *capture)
{
    SYSTEMTIME now = {};
    WCHAR time[32] = {};

    GetLocalTime(&now);
    FormatLocalTime(&now, time, 32);
    JsonKey(capture->json, "clock");
    JsonBeginObject(capture->json, JSON_INLINE);
    JsonKey(capture->json, "time");
    JsonText(capture->json, time);
    JsonEndObject(capture->json);
}
