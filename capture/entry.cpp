/* The program's entry; CaptureMain does the work. */
#include "capture.h"

int wmain(int argc, WCHAR **argv)
{
    return CaptureMain(argc, argv);
}
