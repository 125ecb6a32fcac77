// The Windows rules the program relies on, asserted once: against the stand-in on the host and against
// Wine's real calls in the Windows builds, so that the two are held to the same answers. A row that
// only the host runs says why.
#include "platform/win32api.h"

#include "temp_tree.h"

#include <cwchar>
#include <set>
#include <string>

namespace {

using PlatformTest = TempTreeTest;

#ifdef _WIN32
const bool OnHost = false;
#else
const bool OnHost = true;
#endif

// The calls that take a path, each reduced to its error: 0 when it succeeded.
enum Call { ReadAttributes, WriteAttributes, Delete, RemoveFolder, List };

DWORD ErrorOf(Call call, const std::wstring& path) {
    bool succeeded = false;
    switch (call) {
    case ReadAttributes: succeeded = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; break;
    case WriteAttributes: succeeded = SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_ARCHIVE) != FALSE; break;
    case Delete: succeeded = DeleteFileW(path.c_str()) != FALSE; break;
    case RemoveFolder: succeeded = RemoveDirectoryW(path.c_str()) != FALSE; break;
    case List: {
        WIN32_FIND_DATAW entry = {};
        HANDLE listing = FindFirstFileW((path + L"\\*.*").c_str(), &entry);
        succeeded = listing != INVALID_HANDLE_VALUE;
        if (succeeded) FindClose(listing);
        break;
    }
    }
    return succeeded ? 0 : GetLastError();
}

TEST_F(PlatformTest, PathsAreReadAndRefusedAsWindowsDoes) {
    // inside/ x, a.txt, d/ h, full/ f.txt, empty/, ro.txt (read-only), held.txt (held open)
    const fs::path inside = root_ / "inside";
    for (const char* name : {"x", "a.txt", "d/h", "full/f.txt"}) MakeFile(inside / name);
    ASSERT_TRUE(fs::create_directory(inside / "empty"));
    MakeFile(inside / "ro.txt", "x", true);
    MakeFile(inside / "held.txt");
    KeepFromDeletion(inside / "held.txt");
    const std::wstring base = WindowsForm(inside);
    const std::wstring longest = L"\\d\\" + std::wstring(MAX_PATH - 1 - base.size() - 3, L'f');
    const std::wstring deepest = L"\\d\\" + std::wstring(MAX_PATH - 1 - base.size() - 3 - 4, L'g');  // + "\\*.*"
    ASSERT_TRUE(fs::create_directory(inside / "d" / deepest.substr(3)));
    ASSERT_TRUE(fs::create_directory(inside / "d" / (deepest.substr(3) + L"g")));
    struct Row {
        Call call;
        std::wstring path;  // below inside, or "|" then a whole path
        DWORD error;        // 0: it succeeded
        const char* shows;
        const char* hostOnly = nullptr;  // why Wine cannot show this row
    };
    const Row rows[] = {
        {ReadAttributes, L"\\x", 0, "a file"},
        {ReadAttributes, L"/x", 0, "'/' separates as '\\' does"},
        {ReadAttributes, L"\\\\d\\\\h", 0, "separators in a row count as one"},
        {ReadAttributes, L"\\d\\..\\.\\x", 0, "'.' and '..' are resolved by text"},
        {ReadAttributes, L"\\d\\.. ", 0, "'.. ' at the end is the parent"},
        {ReadAttributes, L"\\x. .", 0, "the last component loses its trailing dots and spaces"},
        {ReadAttributes, L"\\d.\\h", 0, "a middle component loses one trailing dot"},
        {ReadAttributes, L"\\d..\\h", ERROR_PATH_NOT_FOUND, "but not two"},
        {ReadAttributes, L"\\missing", ERROR_FILE_NOT_FOUND, "a missing file"},
        {ReadAttributes, L"\\missing\\x", ERROR_PATH_NOT_FOUND, "a missing folder on the way"},
        {ReadAttributes, L"\\x\\y", ERROR_PATH_NOT_FOUND, "a file on the way"},
        {ReadAttributes, L"\\q?", ERROR_INVALID_NAME, "a wildcard is no name"},
        {ReadAttributes, L"\\a\"b", ERROR_INVALID_NAME, "nor is a quote"},
        {ReadAttributes, L"|\\a?\\Q:\\x", ERROR_INVALID_NAME, "'\\a?\\' is no device path"},
        {ReadAttributes, L"|Q:\\x", ERROR_PATH_NOT_FOUND, "a drive that is not there", "Wine answers 2"},
        {ReadAttributes, L"|\\\\nosuchserver\\share\\x", ERROR_BAD_NETPATH, "a server that is not there",
         "Wine asks the network for the server"},
        {ReadAttributes, longest, ERROR_FILE_NOT_FOUND, "MAX_PATH - 1 characters is a path"},
        {ReadAttributes, longest + L"f", ERROR_FILENAME_EXCED_RANGE, "MAX_PATH characters is not",
         "Wine does not enforce MAX_PATH"},
        {WriteAttributes, L"\\missing", ERROR_FILE_NOT_FOUND, "setting attributes needs the file"},
        {WriteAttributes, L"\\q?", ERROR_INVALID_NAME, "... and a name"},
        {Delete, L"\\missing", ERROR_FILE_NOT_FOUND, "deleting needs the file"},
        {Delete, L"\\ro.txt", ERROR_ACCESS_DENIED, "a read-only file is not deleted"},
        {Delete, L"\\empty", ERROR_ACCESS_DENIED, "nor a folder"},
        {Delete, L"\\held.txt", ERROR_SHARING_VIOLATION, "nor a file held open"},
        {RemoveFolder, L"\\full", ERROR_DIR_NOT_EMPTY, "a folder that holds anything stays"},
        {RemoveFolder, L"\\x", ERROR_DIRECTORY, "a file is no folder"},
        {RemoveFolder, L"\\missing", ERROR_FILE_NOT_FOUND, "a missing folder"},
        {List, L"\\missing", ERROR_PATH_NOT_FOUND, "a missing folder cannot be listed"},
        {List, deepest, 0, "a folder whose pattern has MAX_PATH - 1 characters can"},
        {List, deepest + L"g", ERROR_FILENAME_EXCED_RANGE, "one whose pattern has MAX_PATH cannot",
         "Wine does not enforce MAX_PATH"},
        {List, L"\\x", ERROR_PATH_NOT_FOUND, "nor a file", "Wine answers 123; any failure is not found"},
        {Delete, L"\\x. .", 0, "the file the trimmed name names goes"},
        {RemoveFolder, L"\\empty.", 0, "and the folder"},
    };
    for (const Row& row : rows) {
        if (!OnHost && row.hostOnly != nullptr) continue;
        const std::wstring path = row.path[0] == L'|' ? row.path.substr(1) : base + row.path;
        EXPECT_EQ(ErrorOf(row.call, path), row.error) << row.shows;
    }
    EXPECT_FALSE(Exists(inside / "x"));
    EXPECT_FALSE(Exists(inside / "empty"));
}

TEST_F(PlatformTest, PathAppendJoinsWithOneBackslashOrEmptiesTheBuffer) {
    // Results of MAX_PATH - 1 characters fit, with the terminating zero; one more does not.
    const std::wstring fits = L"C:\\" + std::wstring(MAX_PATH - 6, L'a');
    struct Row {
        std::wstring path;
        const wchar_t* more;
        const wchar_t* joined;  // nullptr: it fails and leaves the buffer empty
    };
    const Row rows[] = {
        {L"C:\\base", L"a\\b.rbs", L"C:\\base\\a\\b.rbs"},
        {L"C:\\base\\", L"a", L"C:\\base\\a"},
        {L"C:\\base", L"\\a", L"C:\\base\\a"},  // a leading backslash is not doubled
        {fits, L"b", nullptr},
        {fits + L"a", L"b", L""},
    };
    for (const Row& row : rows) {
        WCHAR path[MAX_PATH] = {};
        row.path.copy(path, row.path.size());
        const std::wstring joined = row.joined != nullptr ? row.joined : row.path + L"\\b";
        EXPECT_EQ(PathAppendW(path, row.more) != FALSE, !joined.empty()) << row.path;
        EXPECT_EQ(std::wstring(path), joined);
    }
}

TEST_F(PlatformTest, ReadOnlyBitIsReadWrittenAndKeepsAFileFromDeletion) {
    // inside/ ro.txt (read-only), rw.txt, folder/
    const fs::path inside = root_ / "inside";
    MakeFile(inside / "ro.txt", "x", true);
    MakeFile(inside / "rw.txt");
    ASSERT_TRUE(fs::create_directory(inside / "folder"));
    const std::wstring ro = WindowsForm(inside / "ro.txt");
    const std::wstring rw = WindowsForm(inside / "rw.txt");
    const DWORD kinds = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY;
    EXPECT_EQ(GetFileAttributesW(ro.c_str()) & kinds, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(rw.c_str()) & kinds, 0u);
    EXPECT_EQ(GetFileAttributesW(WindowsForm(inside / "folder").c_str()) & kinds,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

    const DWORD attributes = GetFileAttributesW(rw.c_str());
    EXPECT_TRUE(SetFileAttributesW(rw.c_str(), attributes | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(rw.c_str()), attributes | FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(DeleteFileW(rw.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    for (const std::wstring& file : {ro, rw}) {
        EXPECT_TRUE(SetFileAttributesW(file.c_str(), GetFileAttributesW(file.c_str()) & ~FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
        EXPECT_TRUE(DeleteFileW(file.c_str()));
    }
    if (OnHost) {  // Wine removes a read-only folder; Windows refuses
        fs::permissions(inside / "folder", fs::perms::owner_write, fs::perm_options::remove);
        EXPECT_FALSE(RemoveDirectoryW(WindowsForm(inside / "folder").c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
}

TEST_F(PlatformTest, ListingYieldsDotEntriesFirstThenEveryNameAsWritten) {
    // inside/ a.txt, sub/, é文🎉, "x y.z.rbs"; listed as "inside.\*.*", since a middle component
    // loses one trailing dot
    const fs::path inside = root_ / "inside";
    MakeFile(inside / "a.txt");
    MakeFile(inside / fs::u8path(u8"\u00E9\u6587\U0001F389"));
    MakeFile(inside / "x y.z.rbs");
    ASSERT_TRUE(fs::create_directory(inside / "sub"));
    const std::set<std::wstring> names = {L"a.txt", L"sub", L"\x00E9\x6587\U0001F389", L"x y.z.rbs"};

    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((WindowsForm(root_) + L"\\inside.\\*.*").c_str(), &entry);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> listed{entry.cFileName};
    std::vector<DWORD> attributes{entry.dwFileAttributes};
    while (FindNextFileW(listing, &entry) == TRUE) {
        listed.push_back(entry.cFileName);
        attributes.push_back(entry.dwFileAttributes);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(listing));

    ASSERT_EQ(listed.size(), names.size() + 2);
    EXPECT_EQ(listed[0], L".");
    EXPECT_EQ(listed[1], L"..");
    EXPECT_EQ(std::set<std::wstring>(listed.begin() + 2, listed.end()), names);
    for (std::size_t i = 2; i < listed.size(); ++i) {
        const std::wstring child = WindowsForm(inside) + L"\\" + listed[i];
        EXPECT_EQ(attributes[i] & FILE_ATTRIBUTE_DIRECTORY, listed[i] == L"sub" ? FILE_ATTRIBUTE_DIRECTORY : 0u);
        EXPECT_TRUE(listed[i] == L"sub" ? RemoveDirectoryW(child.c_str()) : DeleteFileW(child.c_str()));
    }
    EXPECT_TRUE(fs::is_empty(inside));
}

}  // namespace
