// The platform behaviour the program relies on. Run against the stand-in on the host and against the
// real calls under Wine, these show that the two agree.
#include "platform/win32api.h"

#include "temp_tree.h"

#include <cwchar>
#include <set>
#include <string>

namespace {

using PlatformTest = TempTreeTest;

TEST_F(PlatformTest, PathAppendJoinsWithOneBackslash) {
    struct Row {
        const wchar_t* path;
        const wchar_t* more;
        const wchar_t* joined;
    };
    const Row rows[] = {
        {L"C:\\base", L"a\\b.rbs", L"C:\\base\\a\\b.rbs"},
        {L"C:\\base\\", L"a", L"C:\\base\\a"},
        {L"C:\\base", L"\\a", L"C:\\base\\a"},  // a leading backslash is not doubled
    };
    for (const Row& row : rows) {
        WCHAR path[MAX_PATH] = {};
        std::wcscpy(path, row.path);
        EXPECT_TRUE(PathAppendW(path, row.more)) << row.more;
        EXPECT_STREQ(path, row.joined);
    }
}

TEST_F(PlatformTest, PathAppendEmptiesTheBufferWhenTheResultWouldNotFit) {
    // Results of MAX_PATH - 1 characters fit, with the terminating zero; one more does not.
    const std::wstring base = L"C:\\" + std::wstring(MAX_PATH - 6, L'a');
    WCHAR path[MAX_PATH] = {};
    base.copy(path, base.size());
    EXPECT_TRUE(PathAppendW(path, L"b"));
    EXPECT_EQ(std::wstring(path), base + L"\\b");
    ASSERT_EQ(std::wstring(path).size(), static_cast<std::size_t>(MAX_PATH - 1));

    (base + L"a").copy(path, base.size() + 1);
    path[base.size() + 1] = L'\0';
    EXPECT_FALSE(PathAppendW(path, L"b"));
    EXPECT_STREQ(path, L"");
}

TEST_F(PlatformTest, ReadOnlyFileIsDeletedOnlyOnceItsBitIsCleared) {
    // inside/ ro.txt (read-only), rw.txt, folder/
    const fs::path inside = root_ / "inside";
    MakeFile(inside / "ro.txt", "x", true);
    MakeFile(inside / "rw.txt");
    ASSERT_TRUE(fs::create_directory(inside / "folder"));
    const std::wstring ro = (inside / "ro.txt").wstring();

    const DWORD attributes = GetFileAttributesW(ro.c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY),
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW((inside / "rw.txt").wstring().c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_NE(GetFileAttributesW((inside / "folder").wstring().c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesW((inside / "missing").wstring().c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(DeleteFileW((inside / "missing").wstring().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(ro.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW((inside / "folder").wstring().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists(inside / "ro.txt"));
    EXPECT_TRUE(Exists(inside / "folder"));

    EXPECT_TRUE(SetFileAttributesW(ro.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(DeleteFileW(ro.c_str()));
}

TEST_F(PlatformTest, RemoveDirectoryRemovesOnlyEmptyFolders) {
    // inside/ full/ f.txt, empty/
    const fs::path inside = root_ / "inside";
    MakeFile(inside / "full" / "f.txt");
    ASSERT_TRUE(fs::create_directory(inside / "empty"));

    EXPECT_FALSE(RemoveDirectoryW((inside / "full").wstring().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(RemoveDirectoryW((inside / "empty").wstring().c_str()));
    EXPECT_FALSE(Exists(inside / "empty"));
    EXPECT_FALSE(RemoveDirectoryW((inside / "full" / "f.txt").wstring().c_str()));
    EXPECT_TRUE(Exists(inside / "full" / "f.txt"));
}

TEST_F(PlatformTest, ListingYieldsDotEntriesFirstThenEveryName) {
    // inside/ a.txt, sub/; listed as "inside.\*.*", since a middle component loses one trailing dot
    MakeFile(root_ / "inside" / "a.txt");
    ASSERT_TRUE(fs::create_directory(root_ / "inside" / "sub"));
    EXPECT_NE(GetFileAttributesW((root_.wstring() + L"\\inside.\\a.txt").c_str()), INVALID_FILE_ATTRIBUTES);

    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((root_.wstring() + L"\\inside.\\*.*").c_str(), &entry);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    EXPECT_NE(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    std::vector<std::wstring> names{entry.cFileName};
    while (FindNextFileW(listing, &entry) == TRUE) names.push_back(entry.cFileName);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(listing));

    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[0], L".");
    EXPECT_EQ(names[1], L"..");
    EXPECT_EQ(std::set<std::wstring>(names.begin() + 2, names.end()), (std::set<std::wstring>{L"a.txt", L"sub"}));
}

}  // namespace
