// Prints the version that GetVersionExW reports to this program: built once
// with the installer's resources (its manifest) and once without, to show
// what the manifest changes.
#include <windows.h>
#include <stdio.h>

int wmain(void)
{
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExW(&info)) {
        printf("error %lu\n", GetLastError());
        return 2;
    }
    printf("version %lu.%lu build %lu\n", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
    return 0;
}
