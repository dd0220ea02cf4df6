/* The features member: the MultipathIo feature's state as the servicing
 * tool itself answers, from Windows 6.1 on.  The tool is started by the
 * same program name the installer gives the command interpreter, so that
 * both find the same DISM.exe. */
#include "capture.h"

#define FEATURE_COMMAND TEXT("DISM.exe /English /Online /Get-FeatureInfo /FeatureName:MultipathIo")
#define LINE_BYTES 1024

/* The state from the tool's lines, read to their end so that the tool
 * never waits on a full pipe.  NULL when no State line named a known state;
 * 'unknown' tells whether a State line was there. */
static const char *ReadAnswer(FILE *answer, BOOL *unknown)
{
    char line[LINE_BYTES];
    const char *state = NULL;
    const char *found = NULL;
    BOOL lineStart = TRUE;
    size_t length;

    *unknown = FALSE;
    while (fgets(line, LINE_BYTES, answer) != NULL) {
        /* A line longer than the buffer comes in pieces; only the first
         * piece of a line is a line's start. */
        if (lineStart) {
            switch (ReadFeatureStateLine(line, &found)) {
            case FEATURE_LINE_STATE:
                state = found;
                break;
            case FEATURE_LINE_UNKNOWN:
                *unknown = TRUE;
                break;
            default:
                break;
            }
        }
        length = 0;
        while (line[length] != 0)
            length++;
        lineStart = length > 0 && line[length - 1] == '\n';
    }
    return state;
}

void CaptureFeatures(CAPTURE *capture)
{
    const char *state;
    FILE *answer;
    BOOL unknown = FALSE;
    int status;
    DWORD error;

    if (capture->os.dwMajorVersion < 6)
        return;
    if (capture->os.dwMajorVersion == 6 && capture->os.dwMinorVersion == 0) {
        NoteUnread(capture, ERROR_NOT_SUPPORTED,
                   TEXT("features: MultipathIo (Windows 6.0 has no DISM.exe to ask)"));
        return;
    }
    SetLastError(ERROR_SUCCESS);
    answer = _wpopen(FEATURE_COMMAND, TEXT("rt"));
    if (answer == NULL) {
        error = GetLastError();
        NoteUnread(capture, error, TEXT("features: MultipathIo (%s could not start)"), FEATURE_COMMAND);
        return;
    }
    state = ReadAnswer(answer, &unknown);
    status = _pclose(answer);
    if (status != 0) {
        NoteUnread(capture, (DWORD)status, TEXT("features: MultipathIo (%s exited with %d)"), FEATURE_COMMAND,
                   status);
        return;
    }
    if (state == NULL) {
        NoteUnread(capture, ERROR_INVALID_DATA, TEXT("features: MultipathIo (%s in the answer of %s)"),
                   unknown ? TEXT("a state not known here") : TEXT("no State line"), FEATURE_COMMAND);
        return;
    }
    JsonKey(capture->json, "features");
    JsonBeginObject(capture->json, JSON_INLINE);
    JsonKey(capture->json, "MultipathIo");
    JsonAscii(capture->json, state);
    JsonEndObject(capture->json);
}
