/* The numbers of the masked serial parts: an open-addressing table keyed
 * by the part without ASCII case, so that a server with tens of thousands
 * of disks is masked in linear time. */
#include "mask.h"
#include "common/common.h"

#define MASK_FIRST_CAPACITY 64

void SerialMaskInit(SERIAL_MASK *mask)
{
    mask->slots = NULL;
    mask->capacity = 0;
    mask->used = 0;
}

void SerialMaskFree(SERIAL_MASK *mask)
{
    DWORD i;

    for (i = 0; i < mask->capacity; i++)
        if (mask->slots[i].part != NULL)
            LocalFree(mask->slots[i].part);
    if (mask->slots != NULL)
        LocalFree(mask->slots);
    SerialMaskInit(mask);
}

static WCHAR FoldAscii(WCHAR unit)
{
    return (unit >= 'a' && unit <= 'z') ? (WCHAR)(unit - 'a' + 'A') : unit;
}

/* FNV-1a over the folded units. */
static DWORD HashPart(const WCHAR *part)
{
    DWORD hash = 2166136261u;

    for (; *part != 0; part++) {
        hash ^= (DWORD)FoldAscii(*part);
        hash *= 16777619u;
    }
    return hash;
}

/* The slot holding 'part', or the free slot where it belongs. */
static MASK_SLOT *FindSlot(MASK_SLOT *slots, DWORD capacity, const WCHAR *part)
{
    DWORD i = HashPart(part) & (capacity - 1);

    while (slots[i].part != NULL && TextCompareNoCase(slots[i].part, part) != 0)
        i = (i + 1) & (capacity - 1);
    return &slots[i];
}

/* Twice the room (or the first room), every part moved over. */
static DWORD GrowTable(SERIAL_MASK *mask)
{
    DWORD capacity = mask->capacity == 0 ? MASK_FIRST_CAPACITY : 2 * mask->capacity;
    MASK_SLOT *slots;
    DWORD i;

    slots = (MASK_SLOT *)LocalAlloc(LPTR, capacity * sizeof(MASK_SLOT));
    if (slots == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    for (i = 0; i < mask->capacity; i++)
        if (mask->slots[i].part != NULL)
            *FindSlot(slots, capacity, mask->slots[i].part) = mask->slots[i];
    if (mask->slots != NULL)
        LocalFree(mask->slots);
    mask->slots = slots;
    mask->capacity = capacity;
    return ERROR_SUCCESS;
}

/* The number of 'part', given the next one when it is new. */
static DWORD NumberOf(SERIAL_MASK *mask, const WCHAR *part, DWORD *number)
{
    MASK_SLOT *slot;
    size_t units;
    DWORD error;

    if (2 * (mask->used + 1) > mask->capacity) {
        error = GrowTable(mask);
        if (error != ERROR_SUCCESS)
            return error;
    }
    slot = FindSlot(mask->slots, mask->capacity, part);
    if (slot->part == NULL) {
        units = TextLength(part) + 1;
        slot->part = (WCHAR *)LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR));
        if (slot->part == NULL)
            return ERROR_NOT_ENOUGH_MEMORY;
        TextCopy(slot->part, units, part);
        slot->number = ++mask->used;
    }
    *number = slot->number;
    return ERROR_SUCCESS;
}

DWORD MaskInstanceId(SERIAL_MASK *mask, const WCHAR *instanceId, WCHAR *out, size_t capacity)
{
    size_t length = TextLength(instanceId);
    size_t lastPart = 0;
    size_t i;
    DWORD number = 0;
    DWORD error;

    for (i = 0; i < length; i++)
        if (instanceId[i] == '\\')
            lastPart = i + 1;
    error = NumberOf(mask, instanceId + lastPart, &number);
    if (error != ERROR_SUCCESS)
        goto empty_output;
    if (lastPart + 1 > capacity) {
        error = ERROR_INSUFFICIENT_BUFFER;
        goto empty_output;
    }
    TextCopyN(out, capacity, instanceId, lastPart);
    if (TextFormat(out + lastPart, capacity - lastPart, TEXT("MASKED&%04u"), (unsigned int)number) < 0) {
        error = ERROR_INSUFFICIENT_BUFFER;
        goto empty_output;
    }
    return ERROR_SUCCESS;

empty_output:
    if (capacity > 0)
        out[0] = 0;
    return error;
}
