// What only the POSIX stand-in has to get right: its safety net, the Linux names and paths no Windows
// file can have, its folder lookup, how it shows links and mount points, and its seam.
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

TEST_F(StandInTest, SafetyNetRefusesEmptyRelativeAndRootPathsOneCallEach) {
    for (const wchar_t* path : {L"", L"relative\\path", L"Z:drive-relative", L"\\", L"Z:\\", L"\\tmp\\..", L"\\.\\",
                                L"r\\?\\Z:\\tmp", L"`:\\tmp", L"{:\\tmp"}) {
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
    EXPECT_EQ(GetFileAttributesW(nullptr), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(StandInRefusalCount(), 5);
    StandInReset();
    EXPECT_EQ(GetFileAttributesW(L"C:\\tmp"), INVALID_FILE_ATTRIBUTES);  // another drive is merely absent
    EXPECT_EQ(StandInRefusalCount(), 0);
}

TEST_F(StandInTest, LinuxNamesMapToOneWideNameAndBack) {
    // inside/ one file per row, by its Linux name; each is listed, found again by the name the listing
    // gave, and deleted by it
    struct Row {
        std::string native;
        std::wstring wide;
        const char* shows;
    };
    const Row rows[] = {
        {"\xc3\xa9\xe6\x96\x87\xf0\x9f\x8e\x89", L"\x00E9\x6587\U0001F389", "two-, three- and four-byte UTF-8"},
        {"caf\xe9", L"caf\xF0E9", "a Latin-1 byte is no UTF-8: escaped"},
        {"\x01" "ctl", L"\xF001" L"ctl", "a control character is escaped"},
        {"a:b*?|", L"a\xF03A" L"b\xF02A\xF03F\xF07C", "so are the characters Windows forbids"},
        {"a\\b", L"a\xF05C" L"b", "and a backslash"},
        {"\xee\xbf\xbf", L"\xEFFF", "U+EFFF, below the escape range, is itself"},
        {"\xef\x80\x80", L"\xF0EF\xF080\xF080", "U+F000, the escape range's first, goes byte by byte"},
        {"\xef\x83\xbf", L"\xF0EF\xF083\xF0BF", "U+F0FF, its last, too"},
        {"\xef\x84\x80", L"\xF100", "U+F100, above it, is itself"},
        {"\xed\x9f\xbf", L"\xD7FF", "U+D7FF, below the surrogates, is itself"},
        {"\xed\xa0\x80", L"\xF0ED\xF0A0\xF080", "a surrogate is no UTF-8: escaped"},
        {"\xee\x80\x80", L"\xE000", "U+E000, above the surrogates, is itself"},
        {"\xc0\xaf", L"\xF0C0\xF0AF", "an overlong '/' is escaped"},
        {"\xe0\x80\xaf", L"\xF0E0\xF080\xF0AF", "so is a three-byte one"},
        {"\xf4\x90\x80\x80", L"\xF0F4\xF090\xF080\xF080", "beyond U+10FFFF"},
        {"\x7f", L"\x7F", "U+007F, the last one-byte character, is itself"},
        {"\x1f", L"\xF01F", "U+001F, the last control character, is escaped"},
        {"\x80", L"\xF080", "a lone continuation byte is escaped"},
        {"\xc1\xbf", L"\xF0C1\xF0BF", "C1 never starts a character"},
        {"\xc2\x80", L"\x0080", "U+0080, the first two-byte character"},
        {"\xdf\xbf", L"\x07FF", "U+07FF, the last"},
        {"\xe0\xa0\x80", L"\x0800", "U+0800, the first three-byte character"},
        {"\xef\xbf\xbf", L"\xFFFF", "U+FFFF, the last"},
        {"\xf0\x90\x80\x80", L"\U00010000", "U+10000, the first four-byte character"},
        {"\xf4\x8f\xbf\xbf", L"\U0010FFFF", "U+10FFFF, the last"},
        {"\xf5\x80\x80\x80", L"\xF0F5\xF080\xF080\xF080", "F5 never starts a character"},
        {"x\xe6\x96", L"x\xF0E6\xF096", "a character cut short"},
        {"\xc3\x41", L"\xF0C3\x41", "a lead byte without its continuation"},
        {"\xe0\x9f\xbf", L"\xF0E0\xF09F\xF0BF", "U+07FF in three bytes is overlong"},
        {"\xf0\x8f\xbf\xbf", L"\xF0F0\xF08F\xF0BF\xF0BF", "U+FFFF in four bytes is overlong"},
        {"\xed\xbf\xbf", L"\xF0ED\xF0BF\xF0BF", "U+DFFF, the last surrogate, is escaped"},
    };
    const fs::path inside = root_ / "inside";
    for (const Row& row : rows) MakeFile(inside / row.native);
    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((WindowsForm(inside) + L"\\*").c_str(), &entry);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    std::set<std::wstring> listed;
    while (FindNextFileW(listing, &entry) == TRUE) listed.insert(entry.cFileName);
    FindClose(listing);
    for (const Row& row : rows) {
        EXPECT_EQ(listed.count(row.wide), 1u) << row.shows;
        const std::wstring path = WindowsForm(inside) + L"\\" + row.wide;
        EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << row.shows;
        EXPECT_TRUE(DeleteFileW(path.c_str())) << row.shows;
        EXPECT_FALSE(Exists(inside / row.native)) << row.shows;
    }
}

TEST_F(StandInTest, PathsNoWindowsFileHasAreReadAsWindowsReadsThem) {
    // inside/ keep.txt, "d."/ g, d/ h, "sp "/ f, dirlink -> outside/dir, deep/ (a file whose path
    // through the share \\server\share, mapped to inside/, is MAX_PATH - 1 characters long)
    const fs::path inside = root_ / "inside";
    for (const char* name : {"keep.txt", "d./g", "d/h", "sp /f"}) MakeFile(inside / name);
    fs::create_directory_symlink(outside_ / "dir", inside / "dirlink");
    StandInMapRoot(L"\\\\server\\share", inside.string());
    const std::wstring share = L"\\\\server\\share";
    const std::wstring longest = L"\\deep\\" + std::wstring(MAX_PATH - 1 - share.size() - 6, L'f');
    MakeFile(inside / "deep" / std::wstring(longest.substr(6)));
    struct Row {
        std::wstring path;  // below inside; "|" first for a path below the share, ">" for a whole path
        DWORD error;        // 0: found
        const char* shows;
    };
    const Row rows[] = {
        {L"\\dirlink\\.\\..\\.\\keep.txt", 0, "'.' and '..' resolved by text, not through the link"},
        {L"\\d.\\g", ERROR_FILE_NOT_FOUND, "d.\\g is d\\g, which is missing"},
        {L"\\sp \\f", 0, "a middle component keeps its trailing space"},
        {L"\\a:b", ERROR_INVALID_NAME, "a plain ':' is no name"},
        {L"\\\xF06B" L"eep.txt", ERROR_INVALID_NAME, "an escaped 'k', which needs no escape, is refused"},
        {L"\\\xF02F" L"..\xF02F" L"keep.txt", ERROR_INVALID_NAME, "so is an escaped '/'"},
        {L"\\\xF07F", ERROR_INVALID_NAME, "and an escaped DEL, the last byte that needs none"},
        {L"\\\xF000", ERROR_INVALID_NAME, "and an escaped NUL"},
        {L"\\a\x1F", ERROR_INVALID_NAME, "a plain control character is no name"},
        {L"\\\xD800", ERROR_INVALID_NAME, "nor is a lone surrogate"},
        {L"\\\xDFFF", ERROR_INVALID_NAME, "... the last one too"},
        {L"\\" + std::wstring(1, static_cast<wchar_t>(0x110000)), ERROR_INVALID_NAME, "nor what lies beyond U+10FFFF"},
        {L">\\a?\\Z:\\tmp", ERROR_INVALID_NAME, "'a?' is no device path's '?'"},
        {L">\\\\server", ERROR_BAD_NETPATH, "a server with no share"},
        {L"|", 0, "the share itself"},
        {L"|\\..\\..\\keep.txt", 0, "'..' never leaves a share"},
        {L"|" + longest, 0, "a share's path of MAX_PATH - 1 characters"},
        {L"|" + longest + L"f", ERROR_FILENAME_EXCED_RANGE, "one more counts the server and share too"},
    };
    for (const Row& row : rows) {
        const std::wstring path = row.path[0] == L'|'   ? share + row.path.substr(1)
                                  : row.path[0] == L'>' ? row.path.substr(1)
                                                        : WindowsForm(inside) + row.path;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        EXPECT_EQ(attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0, row.error) << row.shows;
    }
    EXPECT_EQ(GetFileAttributesW((L"\\\\" + inside.wstring().substr(1) + L"\\keep.txt").c_str()),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH)) << "a share is never read as a local path";
    WIN32_FIND_DATAW entry = {};
    for (const wchar_t* pattern : {L"\\a*", L"\\*.rb", L"\\?"}) {
        EXPECT_EQ(FindFirstFileW((WindowsForm(inside) + pattern).c_str(), &entry), INVALID_HANDLE_VALUE) << pattern;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "a listing takes only * and *.*";
    }
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

    EXPECT_EQ(SHGetFolderPathW(nullptr, 0x0005, nullptr, SHGFP_TYPE_CURRENT, path), static_cast<HRESULT>(0x80070057))
        << "E_INVALIDARG for a folder the stand-in does not know";
    MakeFile(root_ / "inside" / "file");
    for (const std::string& bad :
         std::vector<std::string>{".", "/no/such", "", fits.string() + "l", (root_ / "inside" / "file").string()}) {
        ASSERT_EQ(setenv("ProgramData", bad.c_str(), 1), 0);
        std::wcscpy(path, L"stale");
        // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), as Wine answers for a missing ProgramData
        EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path),
                  static_cast<HRESULT>(0x80070002)) << bad;
        EXPECT_STREQ(path, L"");
    }
}

TEST_F(StandInTest, ReadOnlyIsTheOwnersWriteBitAndLinksAreNeverFollowed) {
    // inside/ all.txt (mode 0777), dirlink -> outside/dir, filelink -> outside/readonly.txt, listed/
    const fs::path inside = root_ / "inside";
    MakeFile(inside / "all.txt");
    fs::permissions(inside / "all.txt", fs::perms::all);
    const std::wstring all = inside.wstring() + L"/all.txt";
    EXPECT_TRUE(SetFileAttributesW(all.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(fs::status(inside / "all.txt").permissions(), static_cast<fs::perms>(0555)) << "every write bit goes";
    EXPECT_TRUE(SetFileAttributesW(all.c_str(), FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(fs::status(inside / "all.txt").permissions(), static_cast<fs::perms>(0755)) << "the owner's comes back";

    fs::create_directory_symlink(outside_ / "dir", inside / "dirlink");
    fs::create_symlink(outside_ / "readonly.txt", inside / "filelink");
    const std::wstring dirLink = inside.wstring() + L"/dirlink";
    const std::wstring fileLink = inside.wstring() + L"/filelink";

    EXPECT_EQ(GetFileAttributesW(dirLink.c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(fileLink.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_FALSE(SetFileAttributesW(fileLink.c_str(), 0));  // the target stays read-only
    EXPECT_FALSE(RemoveDirectoryW(fileLink.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(DeleteFileW(dirLink.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileW(fileLink.c_str()));
    EXPECT_FALSE(Exists(inside / "filelink"));
    EXPECT_TRUE(RemoveDirectoryW(dirLink.c_str()));
    EXPECT_FALSE(Exists(inside / "dirlink"));

    // Windows holds a folder open while it is listed; here its removal is refused until then.
    ASSERT_TRUE(fs::create_directory(inside / "listed"));
    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((inside / "listed" / "*").wstring().c_str(), &entry);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(RemoveDirectoryW((inside / "listed").wstring().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(FindClose(listing));
    EXPECT_TRUE(RemoveDirectoryW((inside / "listed").wstring().c_str()));
    for (HANDLE bad : {listing, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        EXPECT_FALSE(FindNextFileW(bad == listing ? INVALID_HANDLE_VALUE : bad, &entry));
        EXPECT_FALSE(FindClose(bad)) << "a handle closed already, or none";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST_F(StandInTest, SeamRecordsEveryCallAndResetForgetsAll) {
    // inside/ held.txt (undeletable), unread/ (its attributes fail), the drive Y:
    const fs::path inside = root_ / "inside";
    MakeFile(inside / "held.txt");
    ASSERT_TRUE(fs::create_directory(inside / "unread"));
    const std::wstring held = WindowsForm(inside / "held.txt");
    const std::wstring unread = WindowsForm(inside / "unread");
    auto arrange = [&] {
        StandInMakeUndeletable(held);
        StandInFailAttributes(unread);
        StandInMapRoot(L"X:", inside.string());
        StandInLackKernelFunction("SetDllDirectoryW");
    };
    arrange();
    EXPECT_FALSE(DeleteFileW(held.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(GetFileAttributesW(unread.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(GetFileAttributesW(L"x:\\held.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(L"relative"), INVALID_FILE_ATTRIBUTES);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    EXPECT_EQ(GetProcAddress(kernel, "SetDllDirectoryW"), nullptr);
    auto setDllDirectory = reinterpret_cast<BOOL (*)(LPCWSTR)>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDllDirectoryW")));
    EXPECT_EQ(MessageBoxA(nullptr, "one", "caption", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "two", "caption", MB_OK | MB_ICONWARNING), IDOK);
    const StandInMessageBoxRecord boxes = StandInMessageBoxes();
    EXPECT_EQ(boxes.count, 2);
    EXPECT_EQ(boxes.text, "two");
    EXPECT_EQ(boxes.style, static_cast<unsigned>(MB_ICONWARNING));
    EXPECT_EQ(StandInCalls(), (std::vector<std::string>{"DeleteFileW", "GetFileAttributesW", "GetFileAttributesW",
                                                        "GetFileAttributesW", "MessageBoxA", "MessageBoxA"}));
    EXPECT_EQ(setDllDirectory, nullptr);

    StandInReset();
    EXPECT_EQ(StandInCalls(), std::vector<std::string>{});
    EXPECT_EQ(StandInMessageBoxes().count, 0);
    EXPECT_NE(GetFileAttributesW(unread.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(L"X:\\held.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(StandInRefusalCount(), 0);
    EXPECT_EQ(StandInLastRefusal(), L"");
    EXPECT_DEATH(StandInFailFolderLookups(0x0005, {1}), "no known folder 0x5") << "a test naming another folder ends";
    setDllDirectory = reinterpret_cast<BOOL (*)(LPCWSTR)>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDllDirectoryW")));
    ASSERT_NE(setDllDirectory, nullptr);
    EXPECT_TRUE(setDllDirectory(nullptr));
    EXPECT_TRUE(setDllDirectory(L""));
    auto setPolicy = reinterpret_cast<BOOL (*)(int, void*, std::size_t)>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetProcessMitigationPolicy")));
    auto setDefault = reinterpret_cast<BOOL (*)(DWORD)>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    std::uint64_t flags = 5;
    EXPECT_TRUE(setPolicy(16, &flags, 2));
    EXPECT_TRUE(setPolicy(16, &flags, 8));
    EXPECT_TRUE(setDefault(0x1000));
    EXPECT_EQ(GetProcAddress(kernel, "CreateFileW"), nullptr);
    EXPECT_EQ(GetModuleHandleW(nullptr), nullptr);
    EXPECT_EQ(GetModuleHandleW(L"user32.dll"), nullptr);
    WCHAR buffer[MAX_PATH] = L"Z:\\tmp";
    EXPECT_FALSE(PathAppendW(nullptr, L"x"));
    EXPECT_FALSE(PathAppendW(buffer, nullptr));
    EXPECT_TRUE(SetFileAttributesW(held.c_str(), FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(DeleteFileW(held.c_str()));
    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((unread + L"\\*").c_str(), &entry);
    EXPECT_TRUE(FindNextFileW(listing, &entry));
    EXPECT_TRUE(FindClose(listing));
    EXPECT_TRUE(RemoveDirectoryW(unread.c_str()));
    EXPECT_EQ(StandInCalls(), (std::vector<std::string>{"GetFileAttributesW", "GetFileAttributesW",
                                                        "SetDllDirectoryW(other)", "SetDllDirectoryW(\"\")",
                                                        "SetProcessMitigationPolicy(16, 0, 2)",
                                                        "SetProcessMitigationPolicy(16, 5, 8)",
                                                        "SetDefaultDllDirectories(0x1000)", "PathAppendW", "PathAppendW",
                                                        "SetFileAttributesW", "DeleteFileW", "FindFirstFileW",
                                                        "FindNextFileW", "FindClose", "RemoveDirectoryW"}));
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
