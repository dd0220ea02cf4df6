/* The progress log: every line goes time-stamped to MPIOInstall.LOG and,
 * without the time stamp, to the console.  Text is converted to bytes here,
 * not by the C runtime, so both outputs hold the same bytes on every
 * platform: units up to U+00FF as one byte, others dropped, LF as CR LF. */
#include "frontend/log.h"

/* Room for the longest text of a buffer: every unit a line feed. */
#define LOG_BYTES_MAX (2 * LOG_BUFFER_UNITS)

static size_t TextToLogBytes(const WCHAR *text, char *bytes, size_t capacity)
{
    size_t count = 0;

    for (; *text != 0; text++) {
        if (*text > 0xFF)
            continue;
        if (*text == '\n') {
            if (count + 2 > capacity)
                break;
            bytes[count++] = '\r';
            bytes[count++] = '\n';
            continue;
        }
        if (count + 1 > capacity)
            break;
        bytes[count++] = (char)(unsigned char)*text;
    }
    return count;
}

static void WriteConsoleBytes(const char *bytes, size_t count)
{
    HANDLE console;
    DWORD written = 0;

    if (count == 0)
        return;
    fflush(stdout);
    console = GetStdHandle(STD_OUTPUT_HANDLE);
    if (console == NULL || console == INVALID_HANDLE_VALUE)
        return;
    WriteFile(console, bytes, (DWORD)count, &written, NULL);
}

void LogMessage(const WCHAR *format, ...)
{
    WCHAR message[LOG_BUFFER_UNITS] = {};
    WCHAR stamp[64] = {};
    char bytes[LOG_BYTES_MAX] = {};
    SYSTEMTIME now = {};
    size_t count;
    va_list args;
    FILE *log;

    if (format == NULL)
        return;
    log = fopen(LOG_FILE_NAME, "a+b");
    if (log == NULL)
        return;

    /* A message that does not fit leaves the empty text. */
    va_start(args, format);
    TextFormatV(message, LOG_BUFFER_UNITS, format, args);
    va_end(args);

    GetLocalTime(&now);
    TextFormat(stamp, 64, TEXT("[%02d/%02d/%d %02d:%02d:%02d.%03d]"), (int)now.wMonth,
               (int)now.wDay, (int)now.wYear, (int)now.wHour, (int)now.wMinute,
               (int)now.wSecond, (int)now.wMilliseconds);
    count = TextToLogBytes(stamp, bytes, LOG_BYTES_MAX);
    fwrite(bytes, 1, count, log);

    count = TextToLogBytes(message, bytes, LOG_BYTES_MAX);
    fwrite(bytes, 1, count, log);
    WriteConsoleBytes(bytes, count);

    fclose(log);
}

void LogErrorText(DWORD code)
{
    WCHAR *text = NULL;
    DWORD length;

    length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
                            code & 0xFFFF, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                            (LPWSTR)&text, 0, NULL);
    if (length != 0 && text != NULL)
        LogMessage(TEXT(" %s\n"), text);
    LogMessage(LOG_ERROR_CODE, (unsigned int)code);
    if (text != NULL)
        LocalFree(text);
}

DWORD LogFailure(const WCHAR *tag, DWORD code)
{
    LogMessage(TEXT("%s"), tag);
    LogErrorText(code);
    return code;
}

DWORD LogStepOutcome(DWORD result, INT restart, INT *rebootFlag)
{
    if (result != ERROR_SUCCESS)
        return LogFailure(LOG_FAILURE, result);
    if (*rebootFlag == 0)
        *rebootFlag = restart;
    LogMessage(TEXT("Success %s\n"), restart != 0 ? REBOOT_TEXT : NO_REBOOT_TEXT);
    return ERROR_SUCCESS;
}
