/* capture.exe: writes the machine description of the Windows machine it
 * runs on, reading only.  One reader per part of the description; each
 * writes its member to the open JSON document and notes what it could not
 * read, with the platform's error code, instead of skipping it. */
#pragma once

#include "common/common.h"
#include "description.h"
#include "json.h"
#include "mask.h"

/* Exit codes. */
#define CAPTURE_EXIT_WRITTEN 0
#define CAPTURE_EXIT_USAGE 1
#define CAPTURE_EXIT_NOT_ADMINISTRATOR 2
#define CAPTURE_EXIT_NOT_WRITTEN 3
#define CAPTURE_EXIT_WOW64 4

#define MESSAGE_UNITS 1024

typedef struct _UNREAD_ITEM {
    WCHAR *what;
    DWORD error;
} UNREAD_ITEM;

/* Every item that could not be read; 'dropped' counts those that memory
 * did not allow to keep (they were printed all the same). */
typedef struct _UNREAD_LIST {
    UNREAD_ITEM *items;
    DWORD count;
    DWORD capacity;
    DWORD dropped;
} UNREAD_LIST;

typedef struct _CAPTURE {
    JSON_WRITER *json;
    UNREAD_LIST unread;
    OSVERSIONINFOW os;
    BOOL maskSerials;
    SERIAL_MASK mask;
    DWORD devices;
    DWORD services;
    DWORD storeEntries;
} CAPTURE;

/* main.cpp: the program, as wmain (entry.cpp) runs it: the arguments, the
 * checks, the capture and the exit code.  The host tests call it too. */
int CaptureMain(int argc, WCHAR **argv);

/* output.cpp: messages on standard error, the unread list, the file. */
void PrintMessage(const WCHAR *format, ...);
/* Prints "capture: not read: WHAT (error N)" and keeps the item. */
void NoteUnread(CAPTURE *capture, DWORD error, const WCHAR *format, ...);
void WriteUnreadList(CAPTURE *capture);
void FreeUnreadList(UNREAD_LIST *list);
/* The system's text for an error, without its line end; the empty text
 * when it has none. */
void SystemErrorText(DWORD error, WCHAR *text, size_t capacity);

/* Allocation of exactly 'bytes' (at least one), NULL with the last error
 * ERROR_NOT_ENOUGH_MEMORY when it fails. */
PVOID AllocateBytes(SIZE_T bytes);

/* The output file: written as FILE.tmp, moved over FILE when whole. */
typedef struct _OUTPUT_FILE {
    WCHAR path[PATH_BUFFER_UNITS * 4];
    WCHAR temporary[PATH_BUFFER_UNITS * 4];
    HANDLE handle;
    DWORD error;          /* the first write error */
} OUTPUT_FILE;

DWORD OpenOutput(OUTPUT_FILE *output, const WCHAR *path);
BOOL OutputSink(PVOID context, const BYTE *bytes, DWORD count);
/* Closes the temporary file and moves it over FILE; deletes it when
 * anything failed.  Returns the first error, or ERROR_SUCCESS. */
DWORD CommitOutput(OUTPUT_FILE *output, BOOL whole);

/* system.cpp */
BOOL RunsUnderWow64(void);
/* ERROR_SUCCESS and whether the token holds the Administrators group. */
DWORD CheckAdministrator(BOOL *isAdministrator);
void CaptureOs(CAPTURE *capture);
void CaptureClock(CAPTURE *capture);

/* The parts of the description, each its member. */
void CaptureDevices(CAPTURE *capture);
void CaptureRegistry(CAPTURE *capture);
void CaptureServices(CAPTURE *capture);
void CaptureFeatures(CAPTURE *capture);
void CaptureDriverStore(CAPTURE *capture);

/* registry.cpp, shared with the device and service readers: a value's
 * bytes in two calls, exactly as large as the value.  ERROR_SUCCESS with
 * 'value' filled, or the error (ERROR_FILE_NOT_FOUND: no such value). */
DWORD ReadRegistryValue(HKEY key, const WCHAR *name, DWORD *type, READ_BYTES *value);
void FreeBytes(READ_BYTES *bytes);
