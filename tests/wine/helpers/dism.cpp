// Stand-in for the servicing tool, built as DISM.exe and placed in the
// installer's working directory, where the command interpreter looks first.
//
// It appends its command line (UTF-8, one line per run) to DISM.calls next to
// itself and exits with the status that DISM.status next to itself names
// (0 when that file is absent).  The file reads "STATUS [keep|remove]".
//
// Like the real tool it changes the machine when it succeeds with 0: switching
// the multipath feature on brings the MPIO bus device "ROOT\MPIO" (created
// when none exists); switching it off removes that device with "remove" and
// leaves it in place with "keep" (the default), as a device that is still
// held by the system would be.
//
// It keeps the feature's state in DISM.feature next to itself, as the tool
// shows it ("Disabled" when the file is absent): a switch that answers 0
// makes it "Enabled" or "Disabled", one that answers 3010 "Enable Pending"
// or "Disable Pending".  "/Online /Get-FeatureInfo /FeatureName:MultipathIo"
// prints the feature's information in the tool's layout, its state on the
// line "State : X", and exits 0 whatever DISM.status says.
#include <windows.h>
#include <setupapi.h>
#include <initguid.h>
#include <devguid.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <ctype.h>
#include <string>

namespace {

const wchar_t kBusId[] = L"ROOT\\MPIO";

std::wstring SiblingPath(const wchar_t *name)
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring path(self, length);
    size_t slash = path.find_last_of(L"\\/");
    path = (slash == std::wstring::npos) ? std::wstring() : path.substr(0, slash + 1);
    return path + name;
}

// Calls 'action' for each SCSI adapter that lists the bus ID; stops when it
// returns false.
template <typename Action> void ForEachBusDevice(Action action)
{
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_SCSIADAPTER, NULL, NULL, 0);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); i++) {
        wchar_t ids[2048];
        ZeroMemory(ids, sizeof ids);
        if (!SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, NULL, (BYTE *)ids,
                                               sizeof ids - 2 * sizeof(wchar_t), NULL))
            continue;
        for (const wchar_t *id = ids; *id; id += wcslen(id) + 1)
            if (!_wcsicmp(id, kBusId)) {
                if (!action(set, &data))
                    goto done;
                break;
            }
    }
done:
    SetupDiDestroyDeviceInfoList(set);
}

void AddBusDevice()
{
    bool present = false;
    ForEachBusDevice([&](HDEVINFO, SP_DEVINFO_DATA *) {
        present = true;
        return false;
    });
    if (present)
        return;
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SCSIADAPTER, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = sizeof data;
    // As the system installs it: hardware ID, the bus driver's service, no
    // configuration flags set.
    static const wchar_t ids[] = L"ROOT\\MPIO\0";
    static const wchar_t service[] = L"mpio";
    DWORD flags = 0;
    if (SetupDiCreateDeviceInfoW(set, L"MPIO", &GUID_DEVCLASS_SCSIADAPTER, L"Multi-Path Support", NULL,
                                 DICD_GENERATE_ID, &data) &&
        SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, (const BYTE *)ids, sizeof ids) &&
        SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, (const BYTE *)service, sizeof service) &&
        SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_CONFIGFLAGS, (const BYTE *)&flags, sizeof flags))
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data);
    SetupDiDestroyDeviceInfoList(set);
}

// The feature's state as the tool shows it.
std::string ReadFeatureState()
{
    std::string state = "Disabled";
    FILE *file = _wfopen(SiblingPath(L"DISM.feature").c_str(), L"rb");
    if (file) {
        char text[64] = "";
        if (fgets(text, sizeof text, file)) {
            state = text;
            while (!state.empty() && (state.back() == '\n' || state.back() == '\r'))
                state.pop_back();
        }
        fclose(file);
    }
    return state;
}

void WriteFeatureState(const char *state)
{
    FILE *file = _wfopen(SiblingPath(L"DISM.feature").c_str(), L"wb");
    if (file) {
        fprintf(file, "%s\n", state);
        fclose(file);
    }
}

bool HasOption(const std::string &line, const char *option)
{
    std::string lower = line;
    for (char &c : lower)
        c = (char)tolower((unsigned char)c);
    return lower.find(option) != std::string::npos;
}

// The answer of "/Online /Get-FeatureInfo /FeatureName:MultipathIo", in the
// layout of the tool's English output.
int PrintFeatureInfo()
{
    printf("\nDeployment Image Servicing and Management tool\nVersion: 10.0.17763.1\n\n"
           "Image Version: 10.0.17763.1\n\nFeature Information:\n\n"
           "Feature Name : MultipathIo\nDisplay Name : Multipath I/O\n"
           "Description : Provides support for using multiple data paths to a storage device.\n"
           "Restart Required : Possible\nState : %s\n\nCustom Properties:\n\n"
           "(No custom properties found)\n\nThe operation completed successfully.\n",
           ReadFeatureState().c_str());
    fflush(stdout);
    return 0;
}

void RemoveBusDevices()
{
    ForEachBusDevice([](HDEVINFO set, SP_DEVINFO_DATA *data) {
        SetupDiRemoveDevice(set, data);
        return true;
    });
}

}  // namespace

int wmain(void)
{
    const wchar_t *line = GetCommandLineW();
    int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, NULL, 0, NULL, NULL);
    std::string utf8(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, line, -1, &utf8[0], size, NULL, NULL);

    FILE *calls = _wfopen(SiblingPath(L"DISM.calls").c_str(), L"ab");
    if (calls) {
        fprintf(calls, "%s\n", utf8.c_str());
        fclose(calls);
    }

    // Feature names are case-sensitive to the tool, its options are not.
    if (HasOption(utf8, "/get-featureinfo") && HasOption(utf8, "/online") &&
        strstr(utf8.c_str(), "/FeatureName:MultipathIo"))
        return PrintFeatureInfo();

    int status = 0;
    char onDisable[32] = "keep";
    FILE *file = _wfopen(SiblingPath(L"DISM.status").c_str(), L"rb");
    if (file) {
        char text[64] = "";
        if (fgets(text, sizeof text, file)) {
            char *rest = NULL;
            status = (int)strtol(text, &rest, 0);
            char word[32] = "";
            if (rest && sscanf(rest, "%31s", word) == 1)
                strcpy(onDisable, word);
        }
        fclose(file);
    }

    if (status == 0 && strstr(utf8.c_str(), "/enable-feature:MultipathIo"))
        AddBusDevice();
    else if (status == 0 && strstr(utf8.c_str(), "/disable-feature:MultipathIo") && !strcmp(onDisable, "remove"))
        RemoveBusDevices();
    bool enable = strstr(utf8.c_str(), "/enable-feature:MultipathIo") != NULL;
    bool disable = strstr(utf8.c_str(), "/disable-feature:MultipathIo") != NULL;
    if ((enable || disable) && (status == 0 || status == 3010))
        WriteFeatureState(status == 0 ? (enable ? "Enabled" : "Disabled")
                                       : (enable ? "Enable Pending" : "Disable Pending"));
    return status;
}
