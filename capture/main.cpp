/* The program: arguments, the checks before anything is read, the capture
 * and the exit code. */
#include "capture.h"
#include "vendor.h"

#define MASK_OPTION TEXT("--mask-serials")

static void PrintUsage(void)
{
    PrintMessage(TEXT("usage: capture.exe FILE [--mask-serials]"));
    PrintMessage(TEXT("writes the machine description of this machine to FILE, reading only; --mask-serials "
                      "masks the serial part of disk instance IDs"));
}

/* FILE and the option in either order; anything else that looks like an
 * option is refused rather than taken for a file name. */
static BOOL ReadArguments(int argc, WCHAR **argv, const WCHAR **path, BOOL *maskSerials)
{
    int i;

    *path = NULL;
    *maskSerials = FALSE;
    for (i = 1; i < argc; i++) {
        if (TextCompare(argv[i], MASK_OPTION) == 0 && !*maskSerials)
            *maskSerials = TRUE;
        else if (argv[i][0] == '-' || TextCompare(argv[i], TEXT("/?")) == 0 || argv[i][0] == 0 || *path != NULL)
            return FALSE;
        else
            *path = argv[i];
    }
    return *path != NULL;
}

/* The capture's own notes, last: what it is, when it ran, what it could
 * not read. */
static void WriteCaptureNotes(CAPTURE *capture)
{
    SYSTEMTIME now = {};
    WCHAR time[32] = {};

    GetLocalTime(&now);
    FormatLocalTime(&now, time, 32);
    JsonKey(capture->json, "administrator");
    JsonBool(capture->json, TRUE);
    JsonKey(capture->json, "capture");
    JsonBeginObject(capture->json, JSON_LINES);
    JsonKey(capture->json, "program");
    JsonAscii(capture->json, "capture.exe");
    JsonKey(capture->json, "version");
    JsonAscii(capture->json, INSTALL_VERSION_STRING);
    JsonKey(capture->json, "time");
    JsonText(capture->json, time);
    WriteUnreadList(capture);
    JsonEndObject(capture->json);
}

static void ReadOsVersion(CAPTURE *capture)
{
    capture->os.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!GetVersionExW(&capture->os)) {
        NoteUnread(capture, GetLastError(), TEXT("os: the Windows version"));
        capture->os.dwOSVersionInfoSize = 0;
        capture->os.dwMajorVersion = 0;
        capture->os.dwMinorVersion = 0;
    }
}

static void PrintNotWritten(const WCHAR *path, DWORD error)
{
    WCHAR text[512] = {};

    SystemErrorText(error, text, 512);
    PrintMessage(TEXT("cannot write %s: %s (error %u)"), path, text, (unsigned int)error);
}

/* Reads the machine into the file; the exit code. */
static int Capture(const WCHAR *path, BOOL maskSerials)
{
    static JSON_WRITER json;
    static OUTPUT_FILE output;
    CAPTURE capture = {};
    DWORD error;

    error = OpenOutput(&output, path);
    if (error != ERROR_SUCCESS) {
        PrintNotWritten(path, error);
        return CAPTURE_EXIT_NOT_WRITTEN;
    }
    JsonInit(&json, OutputSink, &output);
    capture.json = &json;
    capture.maskSerials = maskSerials;
    SerialMaskInit(&capture.mask);
    ReadOsVersion(&capture);

    JsonBeginObject(&json, JSON_LINES);
    CaptureOs(&capture);
    CaptureClock(&capture);
    CaptureDevices(&capture);
    CaptureRegistry(&capture);
    CaptureServices(&capture);
    CaptureFeatures(&capture);
    CaptureDriverStore(&capture);
    WriteCaptureNotes(&capture);
    JsonEndObject(&json);

    error = CommitOutput(&output, JsonFlush(&json));
    if (error != ERROR_SUCCESS)
        PrintNotWritten(path, error);
    else
        PrintMessage(TEXT("wrote %s: %u devices, %u services, %u published INFs, %u items not read"), path,
                     (unsigned int)capture.devices, (unsigned int)capture.services,
                     (unsigned int)capture.storeEntries,
                     (unsigned int)(capture.unread.count + capture.unread.dropped));
    FreeUnreadList(&capture.unread);
    SerialMaskFree(&capture.mask);
    return error == ERROR_SUCCESS ? CAPTURE_EXIT_WRITTEN : CAPTURE_EXIT_NOT_WRITTEN;
}

int CaptureMain(int argc, WCHAR **argv)
{
    const WCHAR *path = NULL;
    BOOL maskSerials = FALSE;
    BOOL administrator = FALSE;
    DWORD error;

    if (!ReadArguments(argc, argv, &path, &maskSerials)) {
        PrintUsage();
        return CAPTURE_EXIT_USAGE;
    }
    if (RunsUnderWow64()) {
        PrintMessage(TEXT("this is the 32-bit capture.exe on 64-bit Windows, where it would see only the 32-bit "
                          "view of the system; run x64\\capture.exe instead"));
        return CAPTURE_EXIT_WOW64;
    }
    error = CheckAdministrator(&administrator);
    if (error != ERROR_SUCCESS) {
        PrintMessage(TEXT("cannot tell whether this runs as an administrator (error %u); run it from an elevated "
                          "command prompt"), (unsigned int)error);
        return CAPTURE_EXIT_NOT_ADMINISTRATOR;
    }
    if (!administrator) {
        PrintMessage(TEXT("not run as an administrator: run it from an elevated command prompt (Run as "
                          "administrator)"));
        return CAPTURE_EXIT_NOT_ADMINISTRATOR;
    }
    return Capture(path, maskSerials);
}
