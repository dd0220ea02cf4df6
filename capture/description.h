/* The entries of the machine description (docs/machine-description.md), as
 * records filled by the readers and written by plain procedures that read
 * nothing of the machine.  Names and forms are the ones the host build's
 * loader reads. */
#pragma once

#include "common/platform.h"
#include "json.h"

/* The bytes of a property or value as read; NULL data when it is absent. */
typedef struct _READ_BYTES {
    BYTE *data;
    DWORD size;
} READ_BYTES;

typedef struct _DEVICE_RECORD {
    const WCHAR *instanceId;       /* as written: masked when asked */
    WCHAR classGuid[40];           /* "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" */
    READ_BYTES hardwareIds;        /* multi-strings */
    READ_BYTES compatibleIds;
    READ_BYTES description;        /* texts */
    READ_BYTES enumerator;
    READ_BYTES service;
    BOOL hasConfigFlags;
    DWORD configFlags;
    BOOL hasStatus;                /* the status query answered */
    BOOL present;                  /* FALSE: the status query found no such device node */
    DWORD status;
    DWORD problem;
    READ_BYTES driverInf;          /* from the driver key; absent without one */
    READ_BYTES driverVersion;
} DEVICE_RECORD;

typedef struct _SERVICE_RECORD {
    const WCHAR *name;
    const WCHAR *displayName;      /* NULL: left out */
    const WCHAR *binary;           /* NULL: left out */
    DWORD type;
    DWORD start;
    DWORD errorControl;
    BOOL markedForDelete;
} SERVICE_RECORD;

typedef struct _STORE_RECORD {
    const WCHAR *publishedName;
    const WCHAR *originalName;     /* NULL: left out */
    const BYTE *content;
    size_t contentSize;
} STORE_RECORD;

/* Each entry as an element of its open container (devices, the values of a
 * key, services, the driver store). */
void WriteDeviceEntry(JSON_WRITER *w, const DEVICE_RECORD *device);
/* A value named 'name': "data" when its bytes are exactly what that form
 * stores for its type, else "hex" - the rule the machine's own saver uses,
 * so that the loader gives back the same bytes. */
void WriteRegistryValue(JSON_WRITER *w, const WCHAR *name, DWORD type, const BYTE *data, DWORD size);
void WriteServiceEntry(JSON_WRITER *w, const SERVICE_RECORD *service);
void WriteStoreEntry(JSON_WRITER *w, const STORE_RECORD *entry);

/* A local time as "YYYY-MM-DD hh:mm:ss.mmm" into 'text' of 24 units or more. */
void FormatLocalTime(const SYSTEMTIME *time, WCHAR *text, size_t capacity);
/* A class GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in capitals. */
void FormatGuid(const GUID *guid, WCHAR *text, size_t capacity);

/* One line of the servicing tool's answer to /Get-FeatureInfo.  Returns
 * FEATURE_LINE_STATE and the description's name of the state for its
 * "State : X" line, FEATURE_LINE_UNKNOWN for a State line of a value not
 * known here, FEATURE_LINE_OTHER for any other line. */
#define FEATURE_LINE_OTHER 0
#define FEATURE_LINE_STATE 1
#define FEATURE_LINE_UNKNOWN 2
INT ReadFeatureStateLine(const char *line, const char **state);
