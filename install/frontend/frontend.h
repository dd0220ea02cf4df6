/* Command front end: entry, usage text and the forced reboot; the progress
 * log has a header of its own. */
#pragma once

#include "common/common.h"
#include "frontend/log.h"

void PrintUsage(void);
/* Asks for a forced reboot; 1 when the platform accepted it, else 0. */
INT RebootSystem(void);

int wmain(int argc, WCHAR **argv);
