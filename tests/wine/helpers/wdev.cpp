// Device tool for the Wine suite: builds the devices a scenario needs through
// the real setup library, shows what the setup library reports about them
// afterwards, and probes single platform calls whose Wine behaviour the suite
// relies on.
//
//   wdev create FILE                                the devices a description file lists
//   wdev show CLASS...                              every device of each class, all properties
//   wdev probe-update HWID INF FLAGS                UpdateDriverForPlugAndPlayDevicesW
//   wdev probe-classparams CLASS                    SetupDiSetClassInstallParamsW on the first device
//   wdev probe-propchange CLASS                     DIF_PROPERTYCHANGE on the first device
//   wdev probe-copyoem INF                          SetupCopyOEMInfW, the name it chose
//   wdev probe-section INF SECTION                  SetupInstallFromInfSectionW, registry only
//   wdev probe-message CODE                         FormatMessageW's text for a code, as UTF-8
//
// CLASS is a GUID in braces or one of scsiadapter, diskdrive, system.
// Output is UTF-8, one "key value" per line; the runner parses it.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <initguid.h>
#include <devguid.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

const DWORD kUnsetError = 0x5EED5EEDu;   // a last-error value no call sets itself

std::string Utf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

void Line(const char *key, const std::wstring &value) { printf("%s %s\n", key, Utf8(value).c_str()); }

bool ParseClass(const wchar_t *text, GUID *guid)
{
    if (!_wcsicmp(text, L"scsiadapter")) { *guid = GUID_DEVCLASS_SCSIADAPTER; return true; }
    if (!_wcsicmp(text, L"diskdrive")) { *guid = GUID_DEVCLASS_DISKDRIVE; return true; }
    if (!_wcsicmp(text, L"system")) { *guid = GUID_DEVCLASS_SYSTEM; return true; }
    unsigned long d1;
    unsigned int d2, d3, b[8];
    if (swscanf(text, L"{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
        return false;
    guid->Data1 = d1;
    guid->Data2 = (WORD)d2;
    guid->Data3 = (WORD)d3;
    for (int i = 0; i < 8; i++)
        guid->Data4[i] = (BYTE)b[i];
    return true;
}

DWORD ParseNumber(const wchar_t *text) { return (DWORD)wcstoul(text, NULL, 0); }

int Fail(const char *what)
{
    DWORD code = GetLastError();
    printf("error %s 0x%08lX\n", what, code);
    return 2;
}

std::wstring Wide(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), NULL, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &out[0], size);
    return out;
}

std::vector<std::wstring> SplitTabs(const std::wstring &line)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find(L'\t', start);
        fields.push_back(line.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
        if (tab == std::wstring::npos)
            return fields;
        start = tab + 1;
    }
}

// One device from a line "CLASS<tab>INSTANCE<tab>DESC<tab>FLAGS<tab>HWID...":
// INSTANCE "*NAME" lets the setup library generate "ROOT\NAME\nnnn", any
// other text is the full instance ID; DESC and FLAGS "-" leave the property
// absent; no HWID field leaves the hardware IDs absent.
int CreateOne(const std::vector<std::wstring> &fields)
{
    GUID classGuid;
    if (fields.size() < 4 || !ParseClass(fields[0].c_str(), &classGuid)) {
        fprintf(stderr, "bad device line\n");
        return 2;
    }
    bool generate = !fields[1].empty() && fields[1][0] == L'*';
    std::wstring name = generate ? fields[1].substr(1) : fields[1];
    const wchar_t *desc = fields[2] == L"-" ? NULL : fields[2].c_str();
    bool haveFlags = fields[3] != L"-";
    DWORD flags = haveFlags ? ParseNumber(fields[3].c_str()) : 0;
    std::wstring ids;
    for (size_t i = 4; i < fields.size(); i++) {
        ids += fields[i];
        ids += L'\0';
    }
    ids += L'\0';

    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = sizeof data;
    int rc = 0;
    if (!SetupDiCreateDeviceInfoW(set, name.c_str(), &classGuid, desc, NULL, generate ? DICD_GENERATE_ID : 0,
                                  &data))
        rc = Fail("SetupDiCreateDeviceInfoW");
    else if (fields.size() > 4 &&
             !SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, (const BYTE *)ids.data(),
                                                (DWORD)(ids.size() * sizeof(wchar_t))))
        rc = Fail("SetupDiSetDeviceRegistryPropertyW(HARDWAREID)");
    else if (haveFlags && !SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_CONFIGFLAGS,
                                                             (const BYTE *)&flags, sizeof flags))
        rc = Fail("SetupDiSetDeviceRegistryPropertyW(CONFIGFLAGS)");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data))
        rc = Fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
    if (rc == 0) {
        wchar_t instanceId[MAX_DEVICE_ID_LEN];
        if (SetupDiGetDeviceInstanceIdW(set, &data, instanceId, MAX_DEVICE_ID_LEN, NULL))
            Line("created", instanceId);
    }
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

// Every device of a description file (UTF-8, one device per line), in order.
int Create(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: wdev create FILE\n");
        return 2;
    }
    FILE *file = _wfopen(argv[2], L"rb");
    if (!file) {
        fprintf(stderr, "cannot open the device file\n");
        return 2;
    }
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    fclose(file);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        int rc = CreateOne(SplitTabs(Wide(line)));
        if (rc != 0)
            return rc;
    }
    return 0;
}

// One property: its bytes as the setup library returns them, or the error.
void ShowProperty(HDEVINFO set, SP_DEVINFO_DATA *data, DWORD property, const char *name)
{
    BYTE buffer[4096];
    DWORD type = 0, size = 0;
    SetLastError(kUnsetError);
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, property, &type, buffer, sizeof buffer, &size)) {
        DWORD code = GetLastError();
        if (code == kUnsetError)
            printf("  %s error unset\n", name);
        else
            printf("  %s error 0x%08lX\n", name, code);
        return;
    }
    if (type == REG_MULTI_SZ) {
        const wchar_t *p = (const wchar_t *)buffer;
        const wchar_t *end = (const wchar_t *)(buffer + size);
        printf("  %s multi", name);
        while (p < end && *p) {
            printf(" [%s]", Utf8(p).c_str());
            p += wcslen(p) + 1;
        }
        printf(" size=%lu\n", size);
    } else if (type == REG_SZ) {
        printf("  %s text %s\n", name, Utf8((const wchar_t *)buffer).c_str());
    } else if (type == REG_DWORD) {
        printf("  %s dword 0x%08lX\n", name, *(DWORD *)buffer);
    } else {
        printf("  %s type=%lu size=%lu\n", name, type, size);
    }
}

int ShowClass(const wchar_t *classText)
{
    GUID classGuid;
    if (!ParseClass(classText, &classGuid)) {
        fprintf(stderr, "bad class\n");
        return 2;
    }
    Line("class", classText);
    HDEVINFO set = SetupDiGetClassDevsW(&classGuid, NULL, NULL, 0);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiGetClassDevsW");
    SP_DEVINFO_DATA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); i++) {
        wchar_t instanceId[MAX_DEVICE_ID_LEN];
        if (!SetupDiGetDeviceInstanceIdW(set, &data, instanceId, MAX_DEVICE_ID_LEN, NULL))
            instanceId[0] = 0;
        Line("device", instanceId);
        printf("  devinst 0x%08lX\n", data.DevInst);
        ShowProperty(set, &data, SPDRP_HARDWAREID, "hardware_ids");
        ShowProperty(set, &data, SPDRP_DEVICEDESC, "description");
        ShowProperty(set, &data, SPDRP_CONFIGFLAGS, "config_flags");
        ShowProperty(set, &data, SPDRP_SERVICE, "service");
        ShowProperty(set, &data, SPDRP_DRIVER, "driver");
        ShowProperty(set, &data, SPDRP_ENUMERATOR_NAME, "enumerator");
        // Sentinels show whether the status query wrote its outputs.
        ULONG status = 0xA5A5A5A5, problem = 0xA5A5A5A5;
        CONFIGRET cr = CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0);
        printf("  status cr=0x%08lX status=0x%08lX problem=0x%08lX\n", cr, status, problem);
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

int Show(int argc, wchar_t **argv)
{
    for (int i = 2; i < argc; i++) {
        int rc = ShowClass(argv[i]);
        if (rc != 0)
            return rc;
    }
    printf("end\n");
    return 0;
}

int ProbeUpdate(int argc, wchar_t **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: wdev probe-update HWID INF FLAGS\n");
        return 2;
    }
    BOOL reboot = 0x5A;   // shows whether the call wrote the indicator
    SetLastError(kUnsetError);
    BOOL ok = UpdateDriverForPlugAndPlayDevicesW(NULL, argv[2], argv[3], ParseNumber(argv[4]), &reboot);
    DWORD code = GetLastError();
    printf("result %d\nreboot 0x%X\nlast_error 0x%08lX\n", ok ? 1 : 0, (unsigned)reboot, code);
    return 0;
}

bool FirstDevice(const wchar_t *classText, HDEVINFO *set, SP_DEVINFO_DATA *data)
{
    GUID classGuid;
    if (!ParseClass(classText, &classGuid))
        return false;
    *set = SetupDiGetClassDevsW(&classGuid, NULL, NULL, 0);
    if (*set == INVALID_HANDLE_VALUE)
        return false;
    ZeroMemory(data, sizeof *data);
    data->cbSize = sizeof *data;
    if (!SetupDiEnumDeviceInfo(*set, 0, data)) {
        SetupDiDestroyDeviceInfoList(*set);
        return false;
    }
    return true;
}

int ProbeClassParams(int argc, wchar_t **argv)
{
    HDEVINFO set;
    SP_DEVINFO_DATA data;
    if (argc < 3 || !FirstDevice(argv[2], &set, &data)) {
        printf("no device\n");
        return 2;
    }
    SP_REMOVEDEVICE_PARAMS params;
    ZeroMemory(&params, sizeof params);
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    SetLastError(kUnsetError);
    BOOL ok = SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params);
    DWORD code = GetLastError();
    printf("result %d\nlast_error 0x%08lX\n", ok ? 1 : 0, code);
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

int ProbePropChange(int argc, wchar_t **argv)
{
    HDEVINFO set;
    SP_DEVINFO_DATA data;
    if (argc < 3 || !FirstDevice(argv[2], &set, &data)) {
        printf("no device\n");
        return 2;
    }
    SetLastError(kUnsetError);
    BOOL ok = SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data);
    DWORD code = GetLastError();
    printf("result %d\nlast_error 0x%08lX\n", ok ? 1 : 0, code);
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

int ProbeCopyOem(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: wdev probe-copyoem INF\n");
        return 2;
    }
    wchar_t dest[MAX_PATH] = L"";
    DWORD required = 0;
    SetLastError(kUnsetError);
    BOOL ok = SetupCopyOEMInfW(argv[2], NULL, SPOST_PATH, 0, dest, MAX_PATH, &required, NULL);
    DWORD code = GetLastError();
    printf("result %d\nlast_error 0x%08lX\n", ok ? 1 : 0, code);
    Line("destination", dest);
    return 0;
}

int ProbeSection(int argc, wchar_t **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: wdev probe-section INF SECTION\n");
        return 2;
    }
    HINF inf = SetupOpenInfFileW(argv[2], NULL, INF_STYLE_WIN4, NULL);
    if (inf == INVALID_HANDLE_VALUE)
        return Fail("SetupOpenInfFileW");
    SetLastError(kUnsetError);
    BOOL ok = SetupInstallFromInfSectionW(NULL, inf, argv[3], SPINST_REGISTRY, NULL, NULL, 0, NULL, NULL,
                                          NULL, NULL);
    DWORD code = GetLastError();
    printf("result %d\nlast_error 0x%08lX\n", ok ? 1 : 0, code);
    SetupCloseInfFile(inf);
    return 0;
}

int ProbeMessage(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: wdev probe-message CODE\n");
        return 2;
    }
    wchar_t *text = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
                                  ParseNumber(argv[2]), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  (LPWSTR)&text, 0, NULL);
    if (!length) {
        printf("none 0x%08lX\n", GetLastError());
        return 0;
    }
    std::wstring message(text, length);
    LocalFree(text);
    std::string bytes = Utf8(message);
    printf("text ");
    for (unsigned char ch : bytes)
        printf("%02X", ch);
    printf("\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: wdev create|show|probe-update|probe-classparams|probe-propchange|probe-copyoem|probe-section|probe-message ...\n");
        return 2;
    }
    std::wstring command = argv[1];
    int rc;
    if (command == L"create")
        rc = Create(argc, argv);
    else if (command == L"show")
        rc = Show(argc, argv);
    else if (command == L"probe-update")
        rc = ProbeUpdate(argc, argv);
    else if (command == L"probe-classparams")
        rc = ProbeClassParams(argc, argv);
    else if (command == L"probe-propchange")
        rc = ProbePropChange(argc, argv);
    else if (command == L"probe-copyoem")
        rc = ProbeCopyOem(argc, argv);
    else if (command == L"probe-section")
        rc = ProbeSection(argc, argv);
    else if (command == L"probe-message")
        rc = ProbeMessage(argc, argv);
    else {
        fprintf(stderr, "unknown command\n");
        rc = 2;
    }
    fflush(stdout);
    return rc;
}
