/* The usage text, one log record per line. */
#include "frontend/frontend.h"

void PrintUsage(void)
{
    LogMessage(TEXT("Installs the Multi-Path software package.\n"));
    LogMessage(TEXT("\n"));
    LogMessage(TEXT("Usage: install switch source_path dsm_inf dsm_hwid\n"));
    LogMessage(TEXT("\n"));
    LogMessage(TEXT("  switch     \tWhether to install or uninstall (-i, -u, -c)\n"));
    LogMessage(TEXT("  source_path\tPermanent location that hosts all the infs and drivers\n"));
    LogMessage(TEXT("  dsm_inf    \tName of dsm inf (with extension)\n"));
    LogMessage(TEXT("  dsm_hwid   \tHardware Id associated with the dsm\n"));
    LogMessage(TEXT("\n"));
}
