/* --mask-serials: the last part of a disk's instance ID (after its last
 * '\', where many buses put the serial number) replaced by "MASKED&NNNN",
 * numbered in order of first appearance.  Equal parts (letter case aside,
 * as instance IDs compare) get the same number, distinct parts distinct
 * numbers, so that the masked file keeps distinct disks distinct. */
#pragma once

#include "common/platform.h"

typedef struct _MASK_SLOT {
    WCHAR *part;      /* NULL: free */
    DWORD number;
} MASK_SLOT;

typedef struct _SERIAL_MASK {
    MASK_SLOT *slots;
    DWORD capacity;   /* a power of two, or 0 before the first use */
    DWORD used;
} SERIAL_MASK;

void SerialMaskInit(SERIAL_MASK *mask);
void SerialMaskFree(SERIAL_MASK *mask);
/* 'instanceId' masked into 'out' of 'capacity' units.  Returns
 * ERROR_SUCCESS, ERROR_NOT_ENOUGH_MEMORY or ERROR_INSUFFICIENT_BUFFER
 * ('out' then holds the empty text). */
DWORD MaskInstanceId(SERIAL_MASK *mask, const WCHAR *instanceId, WCHAR *out, size_t capacity);
