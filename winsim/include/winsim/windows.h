// The simulated Windows platform: the Win32 types, constants and functions the
// installer calls, with Windows' widths and 64-bit record layouts.  The host
// build includes this instead of the real SDK headers; every function here is
// implemented against the simulated machine (see winsim/machine.h).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
typedef void VOID;
typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef uint8_t BYTE;
typedef BYTE *PBYTE, *LPBYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD, ULONG, UINT;
typedef DWORD *PDWORD, *LPDWORD;
typedef ULONG *PULONG;
typedef UINT *PUINT;
typedef int32_t LONG, INT, BOOL;
typedef INT *PINT;
typedef BOOL *PBOOL;
typedef LONG LSTATUS;
typedef int64_t LONGLONG;
typedef uintptr_t ULONG_PTR, UINT_PTR, DWORD_PTR, SIZE_T;
typedef intptr_t LONG_PTR, INT_PTR;
typedef char16_t WCHAR;
typedef WCHAR *PWSTR, *LPWSTR, *PWCHAR;
typedef const WCHAR *PCWSTR, *LPCWSTR;
typedef char CHAR;

typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef HANDLE HLOCAL;
typedef struct HWND__ *HWND;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef PVOID HINF;
typedef PVOID HDEVINFO;
typedef DWORD REGSAM;
typedef DWORD DEVINST;
typedef DWORD CONFIGRET;
typedef UINT DI_FUNCTION;

#define TEXT(s) u##s
#define CALLBACK
#define WINAPI
#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, *LPGUID;

inline bool operator==(const GUID &a, const GUID &b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; i++)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
inline bool operator!=(const GUID &a, const GUID &b) { return !(a == b); }

inline constexpr GUID GUID_DEVCLASS_SCSIADAPTER = {0x4D36E97B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID GUID_DEVCLASS_DISKDRIVE = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID GUID_DEVCLASS_SYSTEM = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// ---------------------------------------------------------------------------
// Error codes
// ---------------------------------------------------------------------------
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_SHUTDOWN_IN_PROGRESS 1115L
#define ERROR_CANCELLED 1223L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L
#define ERROR_PRIVILEGE_NOT_HELD 1314L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_SUCCESS_REBOOT_REQUIRED 3010L

// Setup library codes (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | n).
#define ERROR_EXPECTED_SECTION_NAME 0xE0000000UL
#define ERROR_BAD_SECTION_NAME_LINE 0xE0000001UL
#define ERROR_SECTION_NAME_TOO_LONG 0xE0000002UL
#define ERROR_GENERAL_SYNTAX 0xE0000003UL
#define ERROR_WRONG_INF_STYLE 0xE0000100UL
#define ERROR_SECTION_NOT_FOUND 0xE0000101UL
#define ERROR_LINE_NOT_FOUND 0xE0000102UL
#define ERROR_NO_ASSOCIATED_CLASS 0xE0000200UL
#define ERROR_CLASS_MISMATCH 0xE0000201UL
#define ERROR_DUPLICATE_FOUND 0xE0000202UL
#define ERROR_NO_DRIVER_SELECTED 0xE0000203UL
#define ERROR_KEY_DOES_NOT_EXIST 0xE0000204UL
#define ERROR_INVALID_DEVINST_NAME 0xE0000205UL
#define ERROR_INVALID_CLASS 0xE0000206UL
#define ERROR_DEVINST_ALREADY_EXISTS 0xE0000207UL
#define ERROR_DEVINFO_NOT_REGISTERED 0xE0000208UL
#define ERROR_INVALID_REG_PROPERTY 0xE0000209UL
#define ERROR_NO_INF 0xE000020AUL
#define ERROR_NO_SUCH_DEVINST 0xE000020BUL
#define ERROR_INVALID_CLASS_INSTALLER 0xE000020DUL
#define ERROR_DI_DO_DEFAULT 0xE000020EUL
#define ERROR_NO_CLASSINSTALL_PARAMS 0xE0000215UL
#define ERROR_BAD_SERVICE_INSTALLSECT 0xE0000217UL
#define ERROR_NO_ASSOCIATED_SERVICE 0xE0000219UL
#define ERROR_NO_COMPAT_DRIVERS 0xE0000228UL
#define ERROR_NOT_DISABLEABLE 0xE0000231UL
#define ERROR_CANT_REMOVE_DEVINST 0xE0000232UL

// ---------------------------------------------------------------------------
// Kernel
// ---------------------------------------------------------------------------
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define MAX_PATH 260
#define VER_PLATFORM_WIN32_NT 2

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80

typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

DWORD GetLastError(void);
void SetLastError(DWORD code);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL block);
void GetLocalTime(LPSYSTEMTIME time);
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                     LPWSTR buffer, DWORD size, va_list *arguments);
HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData);
BOOL FindClose(HANDLE findFile);
BOOL GetVersionExW(LPOSVERSIONINFOW versionInfo);
HANDLE GetCurrentProcess(void);
BOOL CloseHandle(HANDLE handle);
HANDLE GetStdHandle(DWORD stdHandle);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define REG_OPTION_NON_VOLATILE 0x0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options,
                        REGSAM access, const LPSECURITY_ATTRIBUTES security, PHKEY result,
                        LPDWORD disposition);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE *data,
                       DWORD dataSize);
LSTATUS RegCloseKey(HKEY key);

// ---------------------------------------------------------------------------
// Security and shutdown
// ---------------------------------------------------------------------------
#define TOKEN_QUERY 0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define SE_PRIVILEGE_ENABLED 0x00000002
#define SE_SHUTDOWN_NAME TEXT("SeShutdownPrivilege")
#define ANYSIZE_ARRAY 1

typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES;

typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                           PTOKEN_PRIVILEGES previousState, PDWORD returnLength);

#define EWX_LOGOFF 0x0
#define EWX_SHUTDOWN 0x1
#define EWX_REBOOT 0x2
#define EWX_FORCE 0x4
#define SHTDN_REASON_FLAG_PLANNED 0x80000000
#define SHTDN_REASON_MAJOR_OPERATINGSYSTEM 0x00020000
#define SHTDN_REASON_MINOR_UPGRADE 0x00000003

BOOL ExitWindowsEx(UINT flags, DWORD reason);

// ---------------------------------------------------------------------------
// Message boxes
// ---------------------------------------------------------------------------
#define MB_OK 0x0
#define MB_OKCANCEL 0x1
#define IDOK 1
#define IDCANCEL 2

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// ---------------------------------------------------------------------------
// C runtime pieces that take UTF-16 text
// ---------------------------------------------------------------------------
// Runs a command line through the simulated command interpreter.
int _wsystem(const WCHAR *command);
// Console output of UTF-16 text, converted as a Windows console in text mode
// does: code units up to U+00FF as one byte, "\n" as CR LF.  Knows %s, %ls,
// %d, %u, %x, %08x, %08X and %%.
int wprintf(const WCHAR *format, ...);

// ---------------------------------------------------------------------------
// Device installation library
// ---------------------------------------------------------------------------
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_CONFIGFLAGS 0x0000000A
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_UPPERFILTERS 0x00000011
#define SPDRP_LOWERFILTERS 0x00000012
#define SPDRP_ENUMERATOR_NAME 0x00000016

#define DIF_SELECTDEVICE 0x00000001
#define DIF_INSTALLDEVICE 0x00000002
#define DIF_REMOVE 0x00000005
#define DIF_PROPERTYCHANGE 0x00000012
#define DIF_REGISTERDEVICE 0x00000019

#define DI_REMOVEDEVICE_GLOBAL 0x00000001
#define DI_REMOVEDEVICE_CONFIGSPECIFIC 0x00000002

#define DICS_ENABLE 0x00000001
#define DICS_DISABLE 0x00000002
#define DICS_PROPCHANGE 0x00000003
#define DICS_START 0x00000004
#define DICS_STOP 0x00000005
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002

#define DI_NEEDRESTART 0x00000080
#define DI_NEEDREBOOT 0x00000100

#define DICD_GENERATE_ID 0x00000001
#define DICD_INHERIT_CLASSDRVS 0x00000002

#define INF_STYLE_NONE 0x00000000
#define INF_STYLE_OLDNT 0x00000001
#define INF_STYLE_WIN4 0x00000002

#define SPINST_LOGCONFIG 0x00000001
#define SPINST_INIFILES 0x00000002
#define SPINST_REGISTRY 0x00000004
#define SPINST_INI2REG 0x00000008
#define SPINST_FILES 0x00000010
#define SPINST_BITREG 0x00000020
#define SPINST_REGSVR 0x00000040
#define SPINST_UNREGSVR 0x00000080
#define SPINST_PROFILEITEMS 0x00000100
#define SPINST_ALL 0x000001ff

#define SP_COPY_FORCE_NEWER 0x00002000

#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2

#define SPFILENOTIFY_STARTQUEUE 0x00000001
#define SPFILENOTIFY_ENDQUEUE 0x00000002
#define SPFILENOTIFY_STARTCOPY 0x0000000b
#define SPFILENOTIFY_ENDCOPY 0x0000000c
#define SPFILENOTIFY_STARTDELETE 0x00000005
#define SPFILENOTIFY_ENDDELETE 0x00000006
#define FILEOP_ABORT 0
#define FILEOP_DOIT 1
#define FILEOP_SKIP 2

#define FLG_ADDREG_BINVALUETYPE 0x00000001
#define FLG_ADDREG_TYPE_MULTI_SZ 0x00010000
#define FLG_ADDREG_APPEND 0x00000008
#define FLG_DELREG_MULTI_SZ_DELSTRING 0x00018002
#define SPSVCINST_ASSOCSERVICE 0x00000002

#define CONFIGFLAG_DISABLED 0x00000001
#define CONFIGFLAG_REINSTALL 0x00000020

#define LINE_LEN 256
#define MAX_CLASS_NAME_LEN 32

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_CLASSINSTALL_HEADER {
    DWORD cbSize;
    DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

typedef struct _SP_REMOVEDEVICE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD Scope;
    DWORD HwProfile;
} SP_REMOVEDEVICE_PARAMS, *PSP_REMOVEDEVICE_PARAMS;

typedef struct _SP_PROPCHANGE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD StateChange;
    DWORD Scope;
    DWORD HwProfile;
} SP_PROPCHANGE_PARAMS, *PSP_PROPCHANGE_PARAMS;

typedef UINT(CALLBACK *PSP_FILE_CALLBACK_W)(PVOID context, UINT notification, UINT_PTR param1,
                                            UINT_PTR param2);

typedef struct _SP_DEVINSTALL_PARAMS_W {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PSP_FILE_CALLBACK_W InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    PVOID FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    WCHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_W, *PSP_DEVINSTALL_PARAMS_W;

typedef struct _INFCONTEXT {
    PVOID Inf;
    PVOID CurrentInf;
    UINT Section;
    UINT Line;
} INFCONTEXT, *PINFCONTEXT;

// Record sizes of 64-bit Windows; the program relies on sizeof() of each.
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA layout");
static_assert(sizeof(SP_DEVINSTALL_PARAMS_W) == 584, "SP_DEVINSTALL_PARAMS_W layout");
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8, "SP_CLASSINSTALL_HEADER layout");
static_assert(sizeof(SP_REMOVEDEVICE_PARAMS) == 16, "SP_REMOVEDEVICE_PARAMS layout");
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20, "SP_PROPCHANGE_PARAMS layout");
static_assert(sizeof(INFCONTEXT) == 24, "INFCONTEXT layout");
static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW layout");
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME layout");
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "WIN32_FIND_DATAW layout");
static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "TOKEN_PRIVILEGES layout");
static_assert(sizeof(GUID) == 16, "GUID layout");

HDEVINFO SetupDiGetClassDevsW(const GUID *classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA deviceData);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
HDEVINFO SetupDiCreateDeviceInfoList(const GUID *classGuid, HWND parent);
BOOL SetupDiCreateDeviceInfoW(HDEVINFO set, PCWSTR deviceName, const GUID *classGuid,
                              PCWSTR deviceDescription, HWND parent, DWORD creationFlags,
                              PSP_DEVINFO_DATA deviceData);
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceData, DWORD property,
                                       PDWORD propertyRegDataType, PBYTE propertyBuffer,
                                       DWORD propertyBufferSize, PDWORD requiredSize);
BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceData, DWORD property,
                                       const BYTE *propertyBuffer, DWORD propertyBufferSize);
BOOL SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA deviceData,
                                   PSP_CLASSINSTALL_HEADER classInstallParams,
                                   DWORD classInstallParamsSize);
BOOL SetupDiCallClassInstaller(DI_FUNCTION installFunction, HDEVINFO set, PSP_DEVINFO_DATA deviceData);
BOOL SetupDiGetDeviceInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA deviceData,
                                    PSP_DEVINSTALL_PARAMS_W deviceInstallParams);
BOOL SetupDiGetINFClassW(PCWSTR infName, LPGUID classGuid, PWSTR className, DWORD classNameSize,
                         PDWORD requiredSize);

HINF SetupOpenInfFileW(PCWSTR fileName, PCWSTR infClass, DWORD infStyle, PUINT errorLine);
void SetupCloseInfFile(HINF inf);
BOOL SetupGetLineTextW(PINFCONTEXT context, HINF inf, PCWSTR section, PCWSTR key, PWSTR returnBuffer,
                       DWORD returnBufferSize, PDWORD requiredSize);
LONG SetupGetLineCountW(HINF inf, PCWSTR section);
BOOL SetupGetLineByIndexW(HINF inf, PCWSTR section, DWORD index, PINFCONTEXT context);
DWORD SetupGetFieldCount(PINFCONTEXT context);
BOOL SetupGetIntField(PINFCONTEXT context, DWORD fieldIndex, PINT integerValue);
BOOL SetupGetStringFieldW(PINFCONTEXT context, DWORD fieldIndex, PWSTR returnBuffer,
                          DWORD returnBufferSize, PDWORD requiredSize);

PVOID SetupInitDefaultQueueCallbackEx(HWND owner, HWND alternateProgressWindow, UINT progressMessage,
                                      DWORD reserved1, PVOID reserved2);
UINT SetupDefaultQueueCallbackW(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2);
void SetupTermDefaultQueueCallback(PVOID context);
BOOL SetupInstallFromInfSectionW(HWND owner, HINF inf, PCWSTR sectionName, UINT flags,
                                 HKEY relativeKeyRoot, PCWSTR sourceRootPath, UINT copyFlags,
                                 PSP_FILE_CALLBACK_W msgHandler, PVOID context, HDEVINFO set,
                                 PSP_DEVINFO_DATA deviceData);
BOOL SetupInstallServicesFromInfSectionW(HINF inf, PCWSTR sectionName, DWORD flags);
BOOL SetupCopyOEMInfW(PCWSTR sourceInfFileName, PCWSTR oemSourceMediaLocation, DWORD oemSourceMediaType,
                      DWORD copyStyle, PWSTR destinationInfFileName, DWORD destinationInfFileNameSize,
                      PDWORD requiredSize, PWSTR *destinationInfFileNameComponent);

// ---------------------------------------------------------------------------
// Configuration manager
// ---------------------------------------------------------------------------
#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_NO_SUCH_DEVNODE 0x0000000D

#define DN_ROOT_ENUMERATED 0x00000001
#define DN_DRIVER_LOADED 0x00000002
#define DN_STARTED 0x00000008
#define DN_NEED_RESTART 0x00000100
#define DN_HAS_PROBLEM 0x00000400
#define DN_DISABLEABLE 0x00002000
#define DN_REMOVABLE 0x00004000
#define DN_WILL_BE_REMOVED 0x00040000
#define DN_NT_ENUMERATOR 0x00800000
#define DN_NT_DRIVER 0x01000000

CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problemNumber, DEVINST devInst, ULONG flags);

// ---------------------------------------------------------------------------
// New-device library
// ---------------------------------------------------------------------------
#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004

BOOL UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId, LPCWSTR fullInfPath,
                                        DWORD installFlags, PBOOL rebootRequired);

// ---------------------------------------------------------------------------
// Files, the environment and the system
// ---------------------------------------------------------------------------
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_FAULT 29L
#define ERROR_FILE_EXISTS 80L
#define ERROR_DISK_FULL 112L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_FILENAME_EXCED_RANGE 206L

#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_ARCHIVE 0x20

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_WRITE_THROUGH 0x00000008

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);
BOOL DeleteFileW(LPCWSTR fileName);
BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData);
UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);

#define PROCESSOR_ARCHITECTURE_INTEL 0
#define PROCESSOR_ARCHITECTURE_AMD64 9

typedef struct _SYSTEM_INFO {
    union {
        DWORD dwOemId;
        struct {
            WORD wProcessorArchitecture;
            WORD wReserved;
        };
    };
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;
static_assert(sizeof(SYSTEM_INFO) == 48, "SYSTEM_INFO layout");

void GetSystemInfo(LPSYSTEM_INFO systemInfo);

// ---------------------------------------------------------------------------
// Registry enumeration
// ---------------------------------------------------------------------------
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameUnits, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD dataSize);

// ---------------------------------------------------------------------------
// Service control manager
// ---------------------------------------------------------------------------
#define ERROR_INVALID_LEVEL 124L
#define ERROR_DATABASE_DOES_NOT_EXIST 1065L

typedef struct SC_HANDLE__ *SC_HANDLE;
typedef SC_HANDLE *LPSC_HANDLE;
typedef enum _SC_ENUM_TYPE { SC_ENUM_PROCESS_INFO = 0 } SC_ENUM_TYPE;

#define SERVICES_ACTIVE_DATABASEW TEXT("ServicesActive")
#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004
#define SC_MANAGER_LOCK 0x0008
#define SC_MANAGER_QUERY_LOCK_STATUS 0x0010
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020
#define SC_MANAGER_ALL_ACCESS 0xF003F

#define SERVICE_QUERY_CONFIG 0x0001
#define SERVICE_CHANGE_CONFIG 0x0002
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define SERVICE_PAUSE_CONTINUE 0x0040
#define SERVICE_INTERROGATE 0x0080
#define SERVICE_USER_DEFINED_CONTROL 0x0100
#define SERVICE_ALL_ACCESS 0xF01FF
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define GENERIC_EXECUTE 0x20000000UL
#define GENERIC_ALL 0x10000000UL
#define MAXIMUM_ALLOWED 0x02000000UL

#define SERVICE_KERNEL_DRIVER 0x00000001
#define SERVICE_FILE_SYSTEM_DRIVER 0x00000002
#define SERVICE_ADAPTER 0x00000004
#define SERVICE_RECOGNIZER_DRIVER 0x00000008
#define SERVICE_DRIVER 0x0000000B
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020
#define SERVICE_WIN32 0x00000030
#define SERVICE_ACTIVE 0x00000001
#define SERVICE_INACTIVE 0x00000002
#define SERVICE_STATE_ALL 0x00000003
#define SERVICE_STOPPED 0x00000001
#define SERVICE_RUNNING 0x00000004

typedef struct _SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
} SERVICE_STATUS_PROCESS;

typedef struct _ENUM_SERVICE_STATUS_PROCESSW {
    LPWSTR lpServiceName;
    LPWSTR lpDisplayName;
    SERVICE_STATUS_PROCESS ServiceStatusProcess;
} ENUM_SERVICE_STATUS_PROCESSW, *LPENUM_SERVICE_STATUS_PROCESSW;

typedef struct _QUERY_SERVICE_CONFIGW {
    DWORD dwServiceType;
    DWORD dwStartType;
    DWORD dwErrorControl;
    LPWSTR lpBinaryPathName;
    LPWSTR lpLoadOrderGroup;
    DWORD dwTagId;
    LPWSTR lpDependencies;
    LPWSTR lpServiceStartName;
    LPWSTR lpDisplayName;
} QUERY_SERVICE_CONFIGW, *LPQUERY_SERVICE_CONFIGW;

static_assert(sizeof(ENUM_SERVICE_STATUS_PROCESSW) == 56, "ENUM_SERVICE_STATUS_PROCESSW layout");
static_assert(sizeof(QUERY_SERVICE_CONFIGW) == 64, "QUERY_SERVICE_CONFIGW layout");

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
BOOL EnumServicesStatusExW(SC_HANDLE manager, SC_ENUM_TYPE infoLevel, DWORD serviceType, DWORD serviceState,
                           LPBYTE services, DWORD bufferSize, LPDWORD bytesNeeded, LPDWORD servicesReturned,
                           LPDWORD resumeHandle, LPCWSTR groupName);
BOOL QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD bufferSize,
                         LPDWORD bytesNeeded);
BOOL CloseServiceHandle(SC_HANDLE handle);

// ---------------------------------------------------------------------------
// Security identifiers and group membership
// ---------------------------------------------------------------------------
#define ERROR_NO_IMPERSONATION_TOKEN 1309L
#define ERROR_INVALID_SID 1337L

typedef PVOID PSID;
typedef struct _SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

#define SECURITY_WORLD_SID_AUTHORITY {0, 0, 0, 0, 0, 1}
#define SECURITY_NT_AUTHORITY {0, 0, 0, 0, 0, 5}
#define SECURITY_WORLD_RID 0x00000000
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220
#define DOMAIN_ALIAS_RID_USERS 0x00000221

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount, DWORD subAuthority0,
                              DWORD subAuthority1, DWORD subAuthority2, DWORD subAuthority3, DWORD subAuthority4,
                              DWORD subAuthority5, DWORD subAuthority6, DWORD subAuthority7, PSID *sid);
PVOID FreeSid(PSID sid);
BOOL CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember);

// ---------------------------------------------------------------------------
// Device keys, instance IDs and published INF information
// ---------------------------------------------------------------------------
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE

#define DIREG_DEV 0x00000001
#define DIREG_DRV 0x00000002
#define DIREG_BOTH 0x00000004

#define INFINFO_INF_SPEC_IS_HINF 1
#define INFINFO_INF_NAME_IS_ABSOLUTE 2
#define INFINFO_DEFAULT_SEARCH 3
#define INFINFO_REVERSE_DEFAULT_SEARCH 4
#define INFINFO_INF_PATH_LIST_SEARCH 5

typedef struct _SP_INF_INFORMATION {
    DWORD InfStyle;
    DWORD InfCount;
    BYTE VersionData[ANYSIZE_ARRAY];
} SP_INF_INFORMATION, *PSP_INF_INFORMATION;

typedef struct _SP_ORIGINAL_FILE_INFO_W {
    DWORD cbSize;
    WCHAR OriginalInfName[MAX_PATH];
    WCHAR OriginalCatalogName[MAX_PATH];
} SP_ORIGINAL_FILE_INFO_W, *PSP_ORIGINAL_FILE_INFO_W;
static_assert(sizeof(SP_ORIGINAL_FILE_INFO_W) == 1044, "SP_ORIGINAL_FILE_INFO_W layout");

typedef struct _SP_ALTPLATFORM_INFO_V2 SP_ALTPLATFORM_INFO, *PSP_ALTPLATFORM_INFO;

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA deviceData, PWSTR deviceInstanceId,
                                 DWORD deviceInstanceIdSize, PDWORD requiredSize);
HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA deviceData, DWORD scope, DWORD hwProfile, DWORD keyType,
                          REGSAM desiredAccess);
BOOL SetupGetInfInformationW(LPCVOID infSpec, DWORD searchControl, PSP_INF_INFORMATION returnBuffer,
                             DWORD returnBufferSize, PDWORD requiredSize);
BOOL SetupQueryInfOriginalFileInformationW(PSP_INF_INFORMATION infInformation, UINT infIndex,
                                           PSP_ALTPLATFORM_INFO alternatePlatformInfo,
                                           PSP_ORIGINAL_FILE_INFO_W originalFileInfo);

// ---------------------------------------------------------------------------
// C runtime: a command's output as a stream
// ---------------------------------------------------------------------------
// Runs a command line through the simulated command interpreter and gives
// what it writes on its standard output to read ("r", "rt" or "rb"; text
// mode reads CR LF as LF).  _pclose gives its exit status.
#include <cstdio>

FILE *_wpopen(const WCHAR *command, const WCHAR *mode);
int _pclose(FILE *stream);
