// What only the POSIX stand-in has to get right: its safety net, its folder lookup, how it names
// what Linux allows and Windows does not, and how it shows links.
#include "platform/win32api.h"

#include "platform/posix/standin_seam.h"
#include "removal/remove_folder_tree.h"
#include "temp_tree.h"

#include <algorithm>
#include <cstdlib>

namespace {

using StandInTest = TempTreeTest;

TEST_F(StandInTest, SafetyNetRefusesEmptyRelativeAndRootPaths) {
    WIN32_FIND_DATAW entry = {};
    EXPECT_FALSE(DeleteFileW(L""));
    EXPECT_EQ(FindFirstFileW(L"\\*.*", &entry), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileAttributesW(L"relative\\path"), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(RemoveDirectoryW(L"\\tmp\\.."));
    EXPECT_FALSE(RemoveFolderTree(L""));
    EXPECT_GE(StandInRefusalCount(), 5);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    StandInReset();
}

TEST_F(StandInTest, DotDotIsResolvedLexicallyAsWindowsDoes) {
    // inside/ a/ (empty), b.txt
    MakeFile(root_ / "inside" / "b.txt");
    ASSERT_TRUE(fs::create_directory(root_ / "inside" / "a"));

    EXPECT_TRUE(DeleteFileW(((root_ / "inside").wstring() + L"\\a\\..\\b.txt").c_str()));
    EXPECT_FALSE(Exists(root_ / "inside" / "b.txt"));
}

TEST_F(StandInTest, FolderLookupNeedsAnExistingAbsoluteFolder) {
    // inside/ roaming/
    ASSERT_TRUE(fs::create_directory(root_ / "inside" / "roaming"));
    WCHAR path[MAX_PATH] = L"stale";

    ASSERT_EQ(setenv("APPDATA", ((root_ / "inside" / "roaming").string() + "//").c_str(), 1), 0);
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), 0);
    std::wstring expected = (root_ / "inside" / "roaming").wstring();
    std::replace(expected.begin(), expected.end(), L'/', L'\\');
    EXPECT_EQ(std::wstring(path), expected);

    // inside/ link -> outside/dir: ".." after it leads to outside/, not back to inside/
    fs::create_directory_symlink(outside_ / "dir", root_ / "inside" / "link");
    ASSERT_EQ(setenv("APPDATA", (root_ / "inside" / "link" / "..").c_str(), 1), 0);
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), 0);
    expected = outside_.wstring();
    std::replace(expected.begin(), expected.end(), L'/', L'\\');
    EXPECT_EQ(std::wstring(path), expected);

    for (const char* bad : {"relative/roaming", "/no/such/folder", ""}) {
        ASSERT_EQ(setenv("APPDATA", bad, 1), 0);
        std::wcscpy(path, L"stale");
        EXPECT_LT(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), 0) << bad;
        EXPECT_STREQ(path, L"");
    }
    unsetenv("ProgramData");
    EXPECT_LT(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), 0);
}

TEST_F(StandInTest, LinksShowAsReparsePointsAndAreNeverFollowed) {
    // inside/ dirlink -> outside/dir, filelink -> outside/readonly.txt
    const fs::path inside = root_ / "inside";
    fs::create_directory_symlink(outside_ / "dir", inside / "dirlink");
    fs::create_symlink(outside_ / "readonly.txt", inside / "filelink");
    const std::wstring dirLink = inside.wstring() + L"/dirlink";
    const std::wstring fileLink = inside.wstring() + L"/filelink";

    EXPECT_EQ(GetFileAttributesW(dirLink.c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(fileLink.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_TRUE(SetFileAttributesW(fileLink.c_str(), 0));
    EXPECT_FALSE(RemoveDirectoryW(fileLink.c_str()));
    EXPECT_FALSE(DeleteFileW(dirLink.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileW(fileLink.c_str()));
    EXPECT_FALSE(Exists(inside / "filelink"));
    EXPECT_TRUE(RemoveDirectoryW(dirLink.c_str()));
    EXPECT_FALSE(Exists(inside / "dirlink"));
}

TEST_F(StandInTest, WhatAListingKnewEndsWithIt) {
    // inside/ a/ f.txt; then a/ is moved to old/ and a new a/ f.txt (read-only) takes its place
    const fs::path inside = root_ / "inside";
    MakeFile(inside / "a" / "f.txt");
    const std::wstring file = (inside / "a" / "f.txt").wstring();
    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((inside / "a" / "*").wstring().c_str(), &entry);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    while (std::wstring(entry.cFileName) != L"f.txt") ASSERT_TRUE(FindNextFileW(listing, &entry));
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    ASSERT_TRUE(FindClose(listing));

    fs::rename(inside / "a", inside / "old");
    MakeFile(inside / "a" / "f.txt", "new", true);

    EXPECT_NE(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_FALSE(DeleteFileW(file.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists(inside / "old" / "f.txt"));
}

}  // namespace
