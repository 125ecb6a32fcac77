// What only the POSIX stand-in has to get right: its safety net, how it reads paths as Windows does,
// its folder lookup, how it shows links and mount points, and what it refuses as Windows refuses it.
#include "platform/win32api.h"

#include "platform/posix/standin_seam.h"
#include "removal/remove_folder_tree.h"
#include "temp_tree.h"

#include <cstdlib>
#include <set>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using StandInTest = TempTreeTest;

// The Windows form of a host path, as the stand-in hands it out: "Z:" and backslashes.
std::wstring WindowsForm(const fs::path& path) {
    std::wstring wide = L"Z:" + path.wstring();
    for (wchar_t& c : wide) c = c == L'/' ? L'\\' : c;
    return wide;
}

TEST_F(StandInTest, SafetyNetRefusesEmptyRelativeAndRootPathsOneCallEach) {
    for (const wchar_t* path : {L"", L"relative\\path", L"Z:drive-relative", L"\\", L"Z:\\", L"\\tmp\\..", L"\\.\\"}) {
        StandInReset();
        EXPECT_EQ(GetFileAttributesW(path), INVALID_FILE_ATTRIBUTES) << path;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << path;
        EXPECT_EQ(StandInRefusalCount(), 1) << path;
        EXPECT_EQ(StandInLastRefusal(), path);
    }
    StandInReset();
    WIN32_FIND_DATAW entry = {};
    EXPECT_EQ(FindFirstFileW(L"\\*.*", &entry), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileW(L"relative"));
    EXPECT_FALSE(RemoveFolderTree(L""));  // its own attribute lookup and listing: two
    EXPECT_EQ(StandInRefusalCount(), 4);
    StandInReset();
    // Another drive is a path of its own, merely absent here (a share: see the test below).
    EXPECT_EQ(GetFileAttributesW(L"C:\\tmp"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(StandInRefusalCount(), 0);
}

TEST_F(StandInTest, PathsAreReadAsWindowsReadsThem) {
    // inside/ keep.txt, x, "x.", "a:b", "q?", "d."/ g, d/ h, "sp "/ f, é文🎉, dirlink -> outside/dir
    const fs::path inside = root_ / "inside";
    for (const char* name : {"keep.txt", "x", "x.", "a:b", "q?", "d./g", "d/h", "sp /f"}) MakeFile(inside / name);
    MakeFile(inside / fs::u8path(u8"é文🎉"));
    fs::create_directory_symlink(outside_ / "dir", inside / "dirlink");
    struct Row {
        std::wstring path;  // below inside
        DWORD error;        // 0: found
        const char* shows;
    };
    const Row rows[] = {
        {L"\\dirlink\\.\\..\\.\\keep.txt", 0, "'.' and '..' resolved by text, not through the link"},
        {L"\\x\\.. ", 0, "'.. ' at the end is the parent"},
        {L"/x. .", 0, "the last component loses its trailing dots and spaces: x"},
        {L"\\d.\\h", 0, "a middle component loses one trailing dot: d"},
        {L"\\d.\\g", ERROR_FILE_NOT_FOUND, "so d.\\g is d\\g, which is missing"},
        {L"\\sp \\f", 0, "a middle component keeps its trailing space"},
        {L"\\missing", ERROR_FILE_NOT_FOUND, "a missing file"},
        {L"\\a:b", ERROR_INVALID_NAME, "a plain ':' is no name"},
        {L"\\q?", ERROR_INVALID_NAME, "nor is a plain '?'"},
        {L"\\a\xF03A" L"b", 0, "the escaped ':' a listing hands out names it"},
        {L"\\\xF06B" L"eep.txt", ERROR_INVALID_NAME, "an escaped 'k', which needs no escape, is refused"},
        {L"\\\xF02F" L"..\xF02F" L"keep.txt", ERROR_INVALID_NAME, "so is an escaped '/'"},
        {L"\\\x00E9\x6587\x01F389", 0, "two-, three- and four-byte UTF-8"},
    };
    for (const Row& row : rows) {
        const std::wstring path = WindowsForm(inside) + row.path;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        EXPECT_EQ(attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0, row.error) << row.shows;
    }
    EXPECT_TRUE(DeleteFileW((WindowsForm(inside) + L"\\x. .").c_str()));
    EXPECT_TRUE(Exists(inside / "x."));
    // A share is not read as a local path, even where the local path exists; ".." never leaves a share.
    const std::wstring share = L"\\\\" + inside.wstring().substr(1) + L"\\keep.txt";
    EXPECT_EQ(GetFileAttributesW(share.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
    StandInMapRoot(L"\\\\server\\share", inside.string());
    EXPECT_NE(GetFileAttributesW(L"\\\\server\\share\\..\\..\\keep.txt"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(StandInTest, ListingsTakeOnlyWholeFolderPatternsAndNameEntriesExactly) {
    // inside/ é文🎉, "\x01ctl", "\xc0\xaf" and "\xe0\x80\xaf" (overlong '/'), "\xed\xa0\x80" (a surrogate)
    const fs::path inside = root_ / "inside";
    MakeFile(inside / fs::u8path(u8"é文🎉"));
    MakeFile(inside / "\x01" "ctl");
    MakeFile(inside / "\xc0\xaf");
    MakeFile(inside / "\xe0\x80\xaf");
    MakeFile(inside / "\xed\xa0\x80");
    WIN32_FIND_DATAW entry = {};
    for (const wchar_t* pattern : {L"\\a*", L"\\*.rb", L"\\?"}) {
        EXPECT_EQ(FindFirstFileW((WindowsForm(inside) + pattern).c_str(), &entry), INVALID_HANDLE_VALUE) << pattern;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    HANDLE listing = FindFirstFileW((WindowsForm(inside) + L"\\*").c_str(), &entry);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    std::set<std::wstring> names;
    while (FindNextFileW(listing, &entry) == TRUE) names.insert(entry.cFileName);
    FindClose(listing);
    EXPECT_EQ(names, (std::set<std::wstring>{L"..", L"\x00E9\x6587\x01F389", L"\xF001" L"ctl", L"\xF0C0\xF0AF",
                                             L"\xF0E0\xF080\xF0AF", L"\xF0ED\xF0A0\xF080"}));
}

TEST_F(StandInTest, PathsOfMaxPathCharactersOrMoreAreRefused) {
    // inside/deep/ holding a file whose Windows path is exactly MAX_PATH - 1 long
    const fs::path inside = root_ / "inside";
    const fs::path longest = inside / "deep" / std::string(MAX_PATH - 1 - WindowsForm(inside / "deep/").size(), 'f');
    MakeFile(longest);
    MakeFile(longest.string() + "g");
    ASSERT_EQ(WindowsForm(longest).size(), static_cast<std::size_t>(MAX_PATH - 1));
    EXPECT_FALSE(DeleteFileW((longest.wstring() + L"g").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(DeleteFileW(longest.wstring().c_str()));
}

TEST_F(StandInTest, RemoveDirectoryRefusesAFolderBeingListedOrReadOnly) {
    // inside/ listed/ (empty), readonly/ (empty, read-only)
    const fs::path inside = root_ / "inside";
    ASSERT_TRUE(fs::create_directory(inside / "listed"));
    ASSERT_TRUE(fs::create_directory(inside / "readonly"));
    fs::permissions(inside / "readonly", fs::perms::owner_write, fs::perm_options::remove);
    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((inside / "listed" / "*").wstring().c_str(), &entry);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);

    EXPECT_FALSE(RemoveDirectoryW((inside / "listed").wstring().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(FindClose(listing));
    EXPECT_TRUE(RemoveDirectoryW((inside / "listed").wstring().c_str()));
    EXPECT_FALSE(RemoveDirectoryW((inside / "readonly").wstring().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists(inside / "readonly"));
}

TEST_F(StandInTest, FolderLookupNeedsAnExistingAbsoluteFolderThatFits) {
    // inside/ roaming/; link -> outside/dir; a folder whose Windows form is MAX_PATH - 1 long
    ASSERT_TRUE(fs::create_directory(root_ / "inside" / "roaming"));
    WCHAR path[MAX_PATH] = L"stale";
    ASSERT_EQ(setenv("APPDATA", ((root_ / "inside" / "roaming").string() + "//").c_str(), 1), 0);
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
    EXPECT_EQ(std::wstring(path), WindowsForm(root_ / "inside" / "roaming"));

    // ".." after a link leads where the kernel takes it, outside/, and not back to inside/.
    fs::create_directory_symlink(outside_ / "dir", root_ / "inside" / "link");
    ASSERT_EQ(setenv("APPDATA", (root_ / "inside" / "link" / "..").c_str(), 1), 0);
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
    EXPECT_EQ(std::wstring(path), WindowsForm(outside_));

    const fs::path fits = root_ / "inside" / std::string(MAX_PATH - 1 - WindowsForm(root_ / "inside/").size(), 'l');
    ASSERT_TRUE(fs::create_directory(fits));
    ASSERT_TRUE(fs::create_directory(fits.string() + "l"));
    ASSERT_EQ(setenv("ProgramData", fits.c_str(), 1), 0);
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
    EXPECT_EQ(std::wstring(path).size(), static_cast<std::size_t>(MAX_PATH - 1));

    MakeFile(root_ / "inside" / "file");
    for (const std::string& bad :
         std::vector<std::string>{".", "/no/such", "", fits.string() + "l", (root_ / "inside" / "file").string()}) {
        ASSERT_EQ(setenv("ProgramData", bad.c_str(), 1), 0);
        std::wcscpy(path, L"stale");
        EXPECT_LT(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), 0) << bad;
        EXPECT_STREQ(path, L"");
    }
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
    EXPECT_FALSE(SetFileAttributesW(fileLink.c_str(), 0));  // the target stays read-only
    EXPECT_FALSE(RemoveDirectoryW(fileLink.c_str()));
    EXPECT_FALSE(DeleteFileW(dirLink.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileW(fileLink.c_str()));
    EXPECT_FALSE(Exists(inside / "filelink"));
    EXPECT_TRUE(RemoveDirectoryW(dirLink.c_str()));
    EXPECT_FALSE(Exists(inside / "dirlink"));
}

TEST_F(StandInTest, BindMountOnTheSameDeviceIsAMountPointAndNotDescended) {
    // inside/target/ a.txt, mnt/ with outside/dir bound onto it, in a mount namespace of a child's own
    const fs::path target = root_ / "inside" / "target";
    MakeFile(target / "a.txt");
    ASSERT_TRUE(fs::create_directory(target / "mnt"));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount((outside_ / "dir").c_str(), (target / "mnt").c_str(), nullptr, MS_BIND, nullptr) != 0) {
            _exit(2);
        }
        const DWORD attributes = GetFileAttributesW((target / "mnt").wstring().c_str());
        const bool removed = RemoveFolderTree(target.wstring());
        _exit(attributes == (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT) && removed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no mount namespace to be had: not root, or not allowed here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(Exists(target / "a.txt"));
    EXPECT_NE(GetFileAttributesW(L"\\proc") & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
}

}  // namespace
