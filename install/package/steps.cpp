/* Steps the install and uninstall sequences share. */
#include "package/package.h"
#include "device/device.h"
#include "frontend/log.h"
#include "registry/registry.h"

/* source path + "\" + file name, cut at the buffer's end. */
void ComposeInfPath(WCHAR *path, const WCHAR *sourcePath, const WCHAR *fileName)
{
    TextCopy(path, PATH_BUFFER_UNITS, sourcePath);
    TextAppend(path, PATH_BUFFER_UNITS, TEXT("\\"));
    TextAppend(path, PATH_BUFFER_UNITS, fileName);
}

/* ERROR_SUCCESS when the source path names an existing file or directory; otherwise
 * logs the reason and returns the search's code. */
DWORD ValidateSourcePath(const WCHAR *sourcePath)
{
    WIN32_FIND_DATAW findData = {};
    HANDLE search;

    search = FindFirstFileW(sourcePath, &findData);
    if (search == INVALID_HANDLE_VALUE)
        return LogFailure(LOG_BAD_SOURCE_PATH, GetLastError());
    FindClose(search);
    return ERROR_SUCCESS;
}

DWORD ReadSupportedDeviceList(WCHAR **block, MULTISZ_VIEW *list)
{
    DWORD size = 0;
    DWORD result;

    result = ReadMultiSzValue(MULTISZ_SUPPORTED_DEVICES, block, &size);
    if (result != ERROR_SUCCESS)
        return result;
    MultiSzViewInit(list, *block, size);
    NormalizeSupportedDeviceList(list);
    return ERROR_SUCCESS;
}
