/* The MPIO bus driver's path verification and removal period. */
#include "registry/registry.h"

#define MPIO_PARAMETERS_KEY TEXT("SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters")
#define PATH_VERIFY_ENABLED 1
#define PDO_REMOVE_PERIOD 120

static void ZeroUnits(WCHAR *text, size_t units)
{
    size_t i;

    for (i = 0; i < units; i++)
        text[i] = 0;
}

DWORD SetMpioParameters(void)
{
    WCHAR keyPath[REGISTRY_NAME_UNITS] = {};
    WCHAR valueName[REGISTRY_NAME_UNITS] = {};
    HKEY key = NULL;
    DWORD data;
    DWORD result;

    TextCopy(keyPath, REGISTRY_NAME_UNITS, MPIO_PARAMETERS_KEY);
    result = (DWORD)RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, NULL, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, NULL, &key, NULL);
    if (result != ERROR_SUCCESS)
        return result;

    TextCopy(valueName, REGISTRY_NAME_UNITS, TEXT("PathVerifyEnabled"));
    data = PATH_VERIFY_ENABLED;
    result = (DWORD)RegSetValueExW(key, valueName, 0, REG_DWORD, (const BYTE *)&data, sizeof(data));
    if (result != ERROR_SUCCESS)
        goto cleanupKey;

    ZeroUnits(valueName, REGISTRY_NAME_UNITS);
    TextCopy(valueName, REGISTRY_NAME_UNITS, TEXT("PDORemovePeriod"));
    data = PDO_REMOVE_PERIOD;
    result = (DWORD)RegSetValueExW(key, valueName, 0, REG_DWORD, (const BYTE *)&data, sizeof(data));

cleanupKey:
    RegCloseKey(key);
    return result;
}
