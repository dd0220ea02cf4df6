/* Steps the install and uninstall sequences share. */
#include "package/package.h"
#include "frontend/log.h"

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
    DWORD code;

    search = FindFirstFileW(sourcePath, &findData);
    if (search == INVALID_HANDLE_VALUE) {
        code = GetLastError();
        LogMessage(TEXT("Unable to validate the source path."));
        LogErrorText(code);
        return code;
    }
    FindClose(search);
    return ERROR_SUCCESS;
}

/* The list block carries two NUL units behind its byte count.  Writing them
 * again at the last whole unit inside the count closes a value stored without
 * its last NULs or with an odd byte count, so that walking it entry by entry
 * stays inside the block. */
void CloseListAtByteCount(WCHAR *list, DWORD byteCount)
{
    list[byteCount / sizeof(WCHAR)] = 0;
    list[byteCount / sizeof(WCHAR) + 1] = 0;
}
