/* The entry: banner, OS version, switch dispatch and the exit code. */
#include "frontend/frontend.h"
#include "package/package.h"
#include "registry/registry.h"

#define EXIT_FAILED (-1)
#define EXIT_MARKED_FOR_DELETE (-2)

/* "-c": the install condition it stores becomes the exit code. */
static INT RunCheck(INT *rebootFlag)
{
    INT condition = EXIT_FAILED;

    if (CheckInstallMPIO(&condition, rebootFlag) != ERROR_SUCCESS)
        return EXIT_FAILED;
    return condition;
}

static INT RunInstall(WCHAR **argv, INT *rebootFlag)
{
    DWORD result = InstallPackage(argv[2], argv[3], argv[4], rebootFlag);

    if (result == ERROR_SUCCESS)
        return *rebootFlag != 0 ? 1 : 0;
    if (result == ERROR_SERVICE_MARKED_FOR_DELETE)
        return EXIT_MARKED_FOR_DELETE;
    return EXIT_FAILED;
}

static INT RunUninstall(WCHAR **argv, INT *rebootFlag)
{
    if (UninstallPackage(argv[2], argv[3], argv[4], rebootFlag) != ERROR_SUCCESS)
        return EXIT_FAILED;
    return *rebootFlag != 0 ? 1 : 0;
}

/* "-r": installs over what is present and offers a reboot after every
 * success, whatever the sequence said about one.  Always fails the run. */
static INT RunReinstall(WCHAR **argv, INT *rebootFlag)
{
    if (InstallPackage(argv[2], argv[3], argv[4], rebootFlag) != ERROR_SUCCESS) {
        MessageBoxW(NULL, TEXT("Driver reinstall Failed \n Manual uninstall required"),
                    TEXT("REINSTALL"), MB_OK);
        return EXIT_FAILED;
    }
    SetMpioParameters();
    if (MessageBoxW(NULL, TEXT("Driver reinstall success \n Reboot required!"), TEXT("REINSTALL"),
                    MB_OKCANCEL) == IDOK)
        RebootSystem();
    return EXIT_FAILED;
}

static BOOL ReadOsVersion(void)
{
    OSVERSIONINFOW zeroed = {};

    OsVersion = zeroed;
    OsVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!GetVersionExW(&OsVersion))
        return FALSE;
    MpioBusHardwareId = OsVersion.dwMajorVersion >= 6 ? MPIO_BUS_HARDWARE_ID_NEW
                                                       : MPIO_BUS_HARDWARE_ID_OLD;
    return TRUE;
}

int wmain(int argc, WCHAR **argv)
{
    INT exitCode = EXIT_FAILED;
    INT rebootFlag = 0;

    LogMessage(TEXT("Starting Multi-Path install/uninstall package\n"));
    if (!ReadOsVersion()) {
        LogMessage(TEXT("Failed to get the OS version, exiting ...\n"));
        return EXIT_FAILED;
    }

    /* Switches match exactly: case, slash or trailing space make a mismatch. */
    if (argc == 2 && TextCompare(argv[1], TEXT("-c")) == 0)
        exitCode = RunCheck(&rebootFlag);
    else if (argc == 5 && TextCompare(argv[1], TEXT("-i")) == 0)
        exitCode = RunInstall(argv, &rebootFlag);
    else if (argc == 5 && TextCompare(argv[1], TEXT("-u")) == 0)
        exitCode = RunUninstall(argv, &rebootFlag);
    else if (argc == 5 && TextCompare(argv[1], TEXT("-r")) == 0)
        exitCode = RunReinstall(argv, &rebootFlag);
    else
        PrintUsage();
    return exitCode;
}
