/* Command front end: entry, progress log, usage text and the forced reboot. */
#pragma once

#include "common/common.h"

#define LOG_FILE_NAME "MPIOInstall.LOG"
#define LOG_BUFFER_UNITS 512

/* Formats one record, appends it time-stamped to the log file and echoes it
 * on the console.  A null format does nothing. */
void LogMessage(const WCHAR *format, ...);
/* The system's text for the low 16 bits of the code, then the code line. */
void LogErrorText(DWORD code);
void PrintUsage(void);
/* Asks for a forced reboot; 1 when the platform accepted it, else 0. */
INT RebootSystem(void);

int wmain(int argc, WCHAR **argv);
