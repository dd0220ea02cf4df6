// The stand-in's files: opening, reading, writing, moving and deleting them
// on the host file system with Windows' answers, the published INFs in the
// INF folder, and the Windows folder itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "support/machine_test.h"
#include "winsim/machine.h"
#include "winsim/windows.h"

namespace {

using harness::U;

class Files : public harness::MachineTest {
protected:
    Files() { machine_ = harness::Gen6(); }

    static HANDLE Open(const std::string &name, DWORD access, DWORD disposition, DWORD share = 0)
    {
        return CreateFileW(U(name).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static std::string ReadAll(HANDLE file)
    {
        std::string bytes;
        char chunk[4];
        DWORD got = 0;
        while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
            bytes.append(chunk, got);
        return bytes;
    }
};

// Each refusal with its code: a missing folder 3, a missing file 2, a folder
// or a read-only file 5, an existing file 80 or 183, a held file 32.
TEST_F(Files, RefusalsAsWindowsGivesThem)
{
    Enter();
    scratch_.WriteFile("dir/x", "");
    scratch_.WriteFile("b.json", "old");
    scratch_.WriteFile("a.tmp", "");
    scratch_.WriteFile("readonly", "");
    chmod(scratch_.Path("readonly").c_str(), 0444);
    HANDLE held = Open("b.json", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    auto refused = [](const char *path, DWORD access, DWORD disposition, DWORD share = 0) {
        return [=] { return Open(path, access, disposition, share) == INVALID_HANDLE_VALUE; };
    };
    const struct {
        const char *what;
        std::function<bool()> fails;
        DWORD error;
    } rows[] = {
        {"create in a missing folder", refused("nodir\\new", GENERIC_WRITE, CREATE_ALWAYS), ERROR_PATH_NOT_FOUND},
        {"open a missing file", refused("dir\\absent", GENERIC_READ, OPEN_EXISTING), ERROR_FILE_NOT_FOUND},
        {"open a folder", refused("DIR", GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED},
        {"create a new file that exists", refused("DIR\\X", GENERIC_WRITE, CREATE_NEW), ERROR_FILE_EXISTS},
        {"truncate for reading", refused("dir\\x", GENERIC_READ, TRUNCATE_EXISTING), ERROR_INVALID_PARAMETER},
        {"write a read-only file", refused("readonly", GENERIC_WRITE, OPEN_EXISTING), ERROR_ACCESS_DENIED},
        {"write a file held for reading only", refused("b.json", GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ),
         ERROR_SHARING_VIOLATION},
        {"move onto a file without replacing", [] { return !MoveFileExW(u"a.tmp", u"dir\\x", 0); },
         ERROR_ALREADY_EXISTS},
        {"move into a missing folder", [] { return !MoveFileExW(u"a.tmp", u"nodir\\x", 1); }, ERROR_PATH_NOT_FOUND},
        {"move a missing file", [] { return !MoveFileExW(u"absent", u"c", 1); }, ERROR_FILE_NOT_FOUND},
        {"move a held file", [] { return !MoveFileExW(u"b.json", u"c", 1); }, ERROR_SHARING_VIOLATION},
        {"replace a read-only file", [] { return !MoveFileExW(u"a.tmp", u"readonly", 1); }, ERROR_ACCESS_DENIED},
        {"move at the reboot", [] { return !MoveFileExW(u"a.tmp", u"c", 0x4); }, ERROR_INVALID_PARAMETER},
        {"delete a held file", [] { return !DeleteFileW(u"b.json"); }, ERROR_SHARING_VIOLATION},
        {"delete a folder", [] { return !DeleteFileW(u"dir"); }, ERROR_ACCESS_DENIED},
        {"delete in a missing folder", [] { return !DeleteFileW(u"nodir\\x"); }, ERROR_PATH_NOT_FOUND},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_TRUE(row.fails());
        EXPECT_EQ(GetLastError(), row.error);
    }
    EXPECT_EQ(CloseHandle(held), TRUE);
    EXPECT_FAILS_WITH(CloseHandle(held), ERROR_INVALID_HANDLE);
    HANDLE file = Open("a.tmp", GENERIC_WRITE, CREATE_ALWAYS);   // an existing file: 183 with success
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    DWORD done = 0;
    EXPECT_EQ(WriteFile(file, "twin", 4, &done, nullptr), TRUE);
    EXPECT_FAILS_WITH(ReadFile(file, &done, 1, &done, nullptr), ERROR_ACCESS_DENIED);
    CloseHandle(file);
    EXPECT_EQ(MoveFileExW(u"A.TMP", u"b.json", MOVEFILE_REPLACE_EXISTING), TRUE);
    EXPECT_EQ(scratch_.ReadFile("b.json"), "twin");
    EXPECT_EQ(DeleteFileW(u"b.json"), TRUE);
    EXPECT_FALSE(scratch_.Exists("a.tmp") || scratch_.Exists("b.json"));
    EXPECT_EQ(winsim::OpenHandles(), 0u);
}

// The INF folder lists the published INFs as NTFS lists a folder, and
// opening one reads the stored bytes, for reading only.
TEST_F(Files, InfFolderHoldsThePublishedInfs)
{
    for (const char16_t *name : {u"oem2.inf", u"OEM10.inf", u"other.inf", u"oem1.pnf", u"oem1.inf"})
        machine_.driverStore.push_back({name, u"C:\\pkg\\x.inf", winsim::Narrow(name) + " bytes"});
    Enter();
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(u"C:\\Windows\\inf\\oem*.inf", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::u16string> found{data.cFileName};
    while (FindNextFileW(search, &data))
        found.push_back(data.cFileName);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(found, (std::vector<std::u16string>{u"oem1.inf", u"OEM10.inf", u"oem2.inf"}));
    FindClose(search);

    HANDLE file = Open("C:/WINDOWS/INF/OEM10.INF", GENERIC_READ, OPEN_EXISTING);
    EXPECT_EQ(ReadAll(file), "OEM10.inf bytes");
    DWORD done = 0;
    EXPECT_FAILS_WITH(WriteFile(file, "x", 1, &done, nullptr), ERROR_ACCESS_DENIED);
    CloseHandle(file);
    EXPECT_EQ(Open("C:\\Windows\\INF\\oem2.inf", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FAILS_WITH(DeleteFileW(u"C:\\Windows\\INF\\oem2.inf"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("C:\\Windows\\INF\\oem7.inf", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, WindowsFolderAndStandardError)
{
    Enter();
    WCHAR folder[11];
    EXPECT_EQ(GetWindowsDirectoryW(folder, 4), 11u);   // the units it needs, its NUL with them
    EXPECT_EQ(GetWindowsDirectoryW(folder, 11), 10u);
    EXPECT_EQ(std::u16string(folder), u"C:\\Windows");
    DWORD done = 0;
    EXPECT_EQ(WriteFile(GetStdHandle(STD_ERROR_HANDLE), "capture: x\r\n", 12, &done, nullptr), TRUE);
    EXPECT_EQ(winsim::Current().errors, "capture: x\r\n");
    EXPECT_EQ(winsim::Current().console, "");
}

}  // namespace
