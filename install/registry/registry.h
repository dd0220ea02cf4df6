/* Registry settings: the two known multi-string values, DelReg string
 * removal and the MPIO timing parameters.  Nothing here logs. */
#pragma once

#include "common/common.h"

typedef INT MultiSzKind;
#define MULTISZ_SUPPORTED_DEVICES 1
#define MULTISZ_UPPER_FILTERS 2

/* The fixed key path (under HKLM) and value name of a kind; 87 for another kind. */
DWORD LookupMultiSzKind(MultiSzKind kind, const WCHAR **keyPath, const WCHAR **valueName);

DWORD ReadMultiSzValue(MultiSzKind kind, WCHAR **buffer, DWORD *size);
DWORD WriteMultiSzValue(MultiSzKind kind, const WCHAR *data, DWORD size);
/* Makes the caller's list a closed multi-string, fit to store: a list that
 * lacks its last string's NUL or its closing NUL, or ends in half a unit, is
 * replaced by a new block of its entries and the closing NUL; a closed one
 * stays as it is.  ERROR_NOT_ENOUGH_MEMORY leaves the list unchanged. */
DWORD CloseMultiSzList(WCHAR **list, DWORD *byteCount);

DWORD ReadDelRegSectionName(const WCHAR *infPath, WCHAR **sectionName);
DWORD GetInfStringField(PINFCONTEXT context, DWORD fieldIndex, DWORD *requiredSize, WCHAR **text);
DWORD RemoveDelRegStrings(const WCHAR *infPath, const WCHAR *sectionName, MultiSzKind kind,
                          WCHAR **list, DWORD *byteCount);

DWORD SetMpioParameters(void);
