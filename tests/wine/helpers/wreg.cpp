// Registry reader for the Wine suite: a value's type and bytes exactly as
// stored, so that scenarios can assert on multi-strings byte for byte.
//
//   wreg QUERY...   each QUERY is one of
//     value KEY NAME    "value KEY\NAME" then "type N size N hex XX..." or "error N"
//     key KEY           "key KEY" then "present" and one "name NAME" line per value, or "error N"
//
// KEY is a path under HKEY_LOCAL_MACHINE.
#include <windows.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, NULL, NULL);
    return out;
}

int Value(const wchar_t *path, const wchar_t *name)
{
    printf("value %s\\%s\n", Utf8(path).c_str(), Utf8(name).c_str());
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        printf("error %ld\n", rc);
        return 0;
    }
    DWORD type = 0, size = 0;
    rc = RegQueryValueExW(key, name, NULL, &type, NULL, &size);
    std::vector<BYTE> data(size + 1);
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExW(key, name, NULL, &type, data.data(), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        printf("error %ld\n", rc);
        return 0;
    }
    printf("type %lu size %lu hex ", type, size);
    for (DWORD i = 0; i < size; i++)
        printf("%02X", data[i]);
    printf("\n");
    return 0;
}

int Key(const wchar_t *path)
{
    printf("key %s\n", Utf8(path).c_str());
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        printf("error %ld\n", rc);
        return 0;
    }
    printf("present\n");
    wchar_t name[16384];
    for (DWORD i = 0;; i++) {
        DWORD length = 16384;
        if (RegEnumValueW(key, i, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        printf("name %s\n", Utf8(name).c_str());
    }
    RegCloseKey(key);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    for (int i = 1; i < argc;) {
        if (i + 2 < argc && !wcscmp(argv[i], L"value")) {
            Value(argv[i + 1], argv[i + 2]);
            i += 3;
        } else if (i + 1 < argc && !wcscmp(argv[i], L"key")) {
            Key(argv[i + 1]);
            i += 2;
        } else {
            fprintf(stderr, "usage: wreg (value KEY NAME | key KEY)...\n");
            return 2;
        }
    }
    fflush(stdout);
    return 0;
}
