/* The progress log: what every step reports its outcome through. */
#pragma once

#include "common/common.h"
#include "common/log_texts.h"

#define LOG_FILE_NAME "MPIOInstall.LOG"
#define LOG_BUFFER_UNITS 512

/* Formats one record, appends it time-stamped to the log file and echoes it
 * on the console.  A null format does nothing. */
void LogMessage(const WCHAR *format, ...);
/* The system's text for the low 16 bits of the code, then the code line. */
void LogErrorText(DWORD code);
/* A failed step's report: 'tag' ("Failure." or the short name of the failing
 * call) as a record of its own, then the error text of 'code'.  Returns
 * 'code', so that a step ends with "return LogFailure(tag, code);". */
DWORD LogFailure(const WCHAR *tag, DWORD code);
/* The outcome of a step: "Failure." and the error text, or "Success %s\n"
 * with the reboot text when the step's restart flag is set; the flag goes
 * into the caller's RebootFlag on success while that is still 0.  Returns
 * the step's result. */
DWORD LogStepOutcome(DWORD result, INT restart, INT *rebootFlag);
