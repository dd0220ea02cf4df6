// The reference for the time of a run of install.exe under Wine: a console
// program that does nothing, built and linked as install.exe is (static C and
// C++ runtimes, Unicode entry), importing only kernel32 and msvcrt.
int wmain()
{
    return 0;
}
