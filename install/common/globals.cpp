/* The program-wide records, set once at start-up by the entry. */
#include "common/common.h"

OSVERSIONINFOW OsVersion = {};
/* Matches the zeroed version record until the entry has read the real one. */
const WCHAR *MpioBusHardwareId = MPIO_BUS_HARDWARE_ID_OLD;
DEVINST FoundDevInst = 0;
