// The stand-in's files: opening, reading, writing, moving and deleting them
// on the host file system with Windows' answers, the published INFs in the
// INF folder, and the Windows folder itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/machine_test.h"
#include "winsim/machine.h"
#include "winsim/windows.h"

namespace {

using harness::U;

class Files : public harness::MachineTest {
protected:
    Files() { machine_ = harness::Gen6(); }

    HANDLE Open(const std::string &name, DWORD access, DWORD disposition, DWORD share = 0)
    {
        return CreateFileW(U(name).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    std::string ReadAll(HANDLE file)
    {
        std::string bytes;
        char chunk[4];
        DWORD got = 0;
        while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
            bytes.append(chunk, got);
        return bytes;
    }
};

// One failed call and its last error, named by the row's text.
void CheckFailed(bool failed, DWORD expected, const std::string &what)
{
    const DWORD error = GetLastError();
    EXPECT_TRUE(failed) << what;
    EXPECT_EQ(error, expected) << what;
}

TEST_F(Files, CreateRefusesAsWindowsDoes)
{
    Enter();
    scratch_.WriteFile("dir/kept.txt", "kept");
    scratch_.WriteFile("readonly.txt", "r");
    chmod(scratch_.Path("readonly.txt").c_str(), 0444);
    HANDLE held = Open("dir/kept.txt", GENERIC_READ, OPEN_EXISTING);   // shares nothing
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const struct {
        const char *path;
        DWORD access, disposition;
        DWORD error;
    } rows[] = {
        {"nodir\\new.txt", GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        {"dir\\absent.txt", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"dir\\absent.txt", GENERIC_WRITE, TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND},
        {"dir", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"DIR\\KEPT.TXT", GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
        {"dir\\kept.txt", GENERIC_READ, 9, ERROR_INVALID_PARAMETER},
        {"dir\\kept.txt", GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},
        {"dir\\kept.txt", GENERIC_READ, OPEN_EXISTING, ERROR_SHARING_VIOLATION},
        {"C:\\Windows\\INF\\oem0.inf", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"C:\\Windows\\INF\\oem9.inf", GENERIC_WRITE, CREATE_ALWAYS, ERROR_ACCESS_DENIED},
        {"readonly.txt", GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED},
    };
    for (const auto &row : rows)
        CheckFailed(Open(row.path, row.access, row.disposition) == INVALID_HANDLE_VALUE, row.error, row.path);
    EXPECT_EQ(CloseHandle(held), TRUE);
    EXPECT_FAILS_WITH(CloseHandle(held), ERROR_INVALID_HANDLE);
    EXPECT_EQ(winsim::OpenHandles(), 0u);
}

TEST_F(Files, WritesReadsAndReportsAnExistingFile)
{
    Enter();
    HANDLE file = Open("out.txt", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    DWORD done = 0;
    EXPECT_EQ(WriteFile(file, "twin", 4, &done, nullptr), TRUE);
    EXPECT_EQ(done, 4u);
    char byte;
    EXPECT_FAILS_WITH(ReadFile(file, &byte, 1, &done, nullptr), ERROR_ACCESS_DENIED);
    CloseHandle(file);

    file = Open("OUT.TXT", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadAll(file), "twin");
    EXPECT_EQ(ReadFile(file, &byte, 1, &done, nullptr), TRUE);   // the end reads as 0 bytes
    EXPECT_EQ(done, 0u);
    CloseHandle(file);
    EXPECT_EQ(scratch_.ReadFile("out.txt"), "twin");
}

TEST_F(Files, MoveAndDeleteRefuseAsWindowsDoes)
{
    Enter();
    scratch_.WriteFile("a.tmp", "new");
    scratch_.WriteFile("b.json", "old");
    scratch_.WriteFile("dir/x", "");
    scratch_.WriteFile("locked", "");
    scratch_.WriteFile("readonly", "");
    chmod(scratch_.Path("readonly").c_str(), 0444);
    HANDLE held = Open("locked", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    const struct {
        const char *from, *to;
        DWORD flags, error;
    } moves[] = {
        {"a.tmp", "b.json", 0, ERROR_ALREADY_EXISTS},
        {"absent", "c", MOVEFILE_REPLACE_EXISTING, ERROR_FILE_NOT_FOUND},
        {"nodir\\absent", "c", MOVEFILE_REPLACE_EXISTING, ERROR_PATH_NOT_FOUND},
        {"a.tmp", "nodir\\c", MOVEFILE_REPLACE_EXISTING, ERROR_PATH_NOT_FOUND},
        {"locked", "c", MOVEFILE_REPLACE_EXISTING, ERROR_SHARING_VIOLATION},
        {"a.tmp", "dir", MOVEFILE_REPLACE_EXISTING, ERROR_ACCESS_DENIED},
        {"a.tmp", "readonly", MOVEFILE_REPLACE_EXISTING, ERROR_ACCESS_DENIED},
        {"a.tmp", "c", 0x4 /* delayed */, ERROR_INVALID_PARAMETER},
    };
    for (const auto &row : moves)
        CheckFailed(!MoveFileExW(U(row.from).c_str(), U(row.to).c_str(), row.flags), row.error,
                    std::string("move ") + row.from + " to " + row.to);
    const struct {
        const char *path;
        DWORD error;
    } deletions[] = {
        {"absent", ERROR_FILE_NOT_FOUND}, {"nodir\\absent", ERROR_PATH_NOT_FOUND}, {"dir", ERROR_ACCESS_DENIED},
        {"locked", ERROR_SHARING_VIOLATION}, {"readonly", ERROR_ACCESS_DENIED},
    };
    for (const auto &row : deletions)
        CheckFailed(!DeleteFileW(U(row.path).c_str()), row.error, std::string("delete ") + row.path);
    CloseHandle(held);

    EXPECT_EQ(MoveFileExW(u"A.TMP", u"b.json", MOVEFILE_REPLACE_EXISTING), TRUE);
    EXPECT_EQ(scratch_.ReadFile("b.json"), "new");
    EXPECT_FALSE(scratch_.Exists("a.tmp"));
    EXPECT_EQ(DeleteFileW(u"locked"), TRUE);
    EXPECT_FALSE(scratch_.Exists("locked"));
}

// The INF folder lists the published INFs as NTFS lists a folder, and
// opening one reads the stored bytes.
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
    EXPECT_EQ(FindClose(search), TRUE);
    EXPECT_FAILS_WITH(FindNextFileW(search, &data), ERROR_INVALID_HANDLE);

    HANDLE file = Open("C:/WINDOWS/INF/OEM10.INF", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadAll(file), "OEM10.inf bytes");
    DWORD done = 0;
    EXPECT_FAILS_WITH(WriteFile(file, "x", 1, &done, nullptr), ERROR_ACCESS_DENIED);
    CloseHandle(file);
    EXPECT_FAILS_WITH(DeleteFileW(u"C:\\Windows\\INF\\oem2.inf"), ERROR_ACCESS_DENIED);

    machine_.driverStore.clear();
    Enter();
    EXPECT_EQ(FindFirstFileW(u"C:\\Windows\\INF\\oem*.inf", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, WindowsFolderInTwoCalls)
{
    Enter();
    WCHAR small[4];
    EXPECT_EQ(GetWindowsDirectoryW(small, 4), 11u);   // the units it needs, its NUL with them
    WCHAR folder[11];
    EXPECT_EQ(GetWindowsDirectoryW(folder, 11), 10u);
    EXPECT_EQ(std::u16string(folder), u"C:\\Windows");
}

TEST_F(Files, StandardErrorIsTheRunsOwn)
{
    Enter();
    DWORD done = 0;
    EXPECT_EQ(WriteFile(GetStdHandle(STD_ERROR_HANDLE), "capture: x\r\n", 12, &done, nullptr), TRUE);
    EXPECT_EQ(winsim::Current().errors, "capture: x\r\n");
    EXPECT_EQ(winsim::Current().console, "");
}

}  // namespace
