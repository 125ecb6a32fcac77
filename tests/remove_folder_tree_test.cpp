// Folder-tree removal on a real file system: what goes, what stays, and that nothing outside the folder
// handed in is ever touched.
#include "removal/remove_folder_tree.h"

#include "temp_tree.h"

#include <algorithm>

namespace {

using RemoveFolderTreeTest = SeamedTest;

TEST_F(RemoveFolderTreeTest, OnlyAFolderIsFoundAndThenItGoesWhole) {
    // inside/ neighbour.txt, and each row's entries (as Plant takes them): target/ a folder holding
    // them, or in its place nothing, a read-only file or a link to outside/keep.txt
    struct Row {
        const char* shows;
        std::vector<std::string> entries;
        bool found;
    };
    const Row rows[] = {
        {"a nested tree with read-only files",
         {"target/a.txt", "!target/ro.txt", "target/one/b.txt", "!target/one/two/ro.txt", "target/one/two/three/"}, true},
        {"an empty folder", {"target/"}, true},
        {"names that begin with dots, and beyond ASCII",
         {"target/.hidden", "target/..double", "target/.config/settings", "target/.a.b/", u8"target/\u00dcn\u00efc\u00f8d\u00e9.rbs",
          u8"target/\u6d4b\u8bd5/\u6587\u4ef6.txt", u8"target/party \U0001F389.txt"},
         true},
        {"no folder is not found", {}, false},
        {"a file in place of the folder is not found, and kept", {"!target"}, false},
        {"a file link in place of the folder is not listed, and kept", {"target ~> keep.txt"}, false},
    };
    const fs::path inside = root_ / "inside", target = inside / "target";
    MakeFile(inside / "neighbour.txt");
    for (const Row& row : rows) {
        RemoveAll(target);
        NextRow();
        if (!Plant(inside, row.entries)) continue;

        EXPECT_EQ(RemoveFolderTree(target.wstring()), row.found) << row.shows;
        EXPECT_EQ(Exists(target), !row.found && !row.entries.empty()) << row.shows;
        const std::vector<std::wstring> calls = SeamCalls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), L"FindFirstFileW(" + target.wstring() + L"\\*.*)"), row.found)
            << row.shows << ": only a folder is listed";
        EXPECT_TRUE(Exists(inside / "neighbour.txt"));
    }
}

TEST_F(RemoveFolderTreeTest, UndeletableFileKeepsOnlyTheFoldersOnItsPath) {
    // inside/target/
    //   y.txt, gone/ x.txt
    //   keep/ locked.txt (held open; read-only, hidden and system), other.txt
    const fs::path target = root_ / "inside" / "target";
    ASSERT_TRUE(Plant(target, {"y.txt", "gone/x.txt", "keep/locked.txt", "keep/other.txt"}));
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesW((target / "keep" / "locked.txt").c_str(), kept));
    KeepFromDeletion(target / "keep" / "locked.txt");

    EXPECT_TRUE(RemoveFolderTree(target.wstring()));
    EXPECT_EQ(GetFileAttributesW((target / "keep" / "locked.txt").c_str()) & (kept | FILE_ATTRIBUTE_DIRECTORY),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
        << "only the read-only bit is cleared";
    EXPECT_FALSE(Exists(target / "keep" / "other.txt"));
    EXPECT_FALSE(Exists(target / "gone"));
    EXPECT_FALSE(Exists(target / "y.txt"));
}

TEST_F(RemoveFolderTreeTest, FileWhoseAttributesCannotBeReadIsDeletedWithoutWritingThem) {
    // inside/target/ a.txt, whose attribute lookup is refused: the deletion is tried all the same, and
    // no attribute word made from the failed lookup (every bit but read-only) is ever written.
    const fs::path target = root_ / "inside" / "target";
    MakeFile(target / "a.txt");
    SeamFailOn(L"GetFileAttributesW", (target / "a.txt").wstring());

    EXPECT_TRUE(RemoveFolderTree(target.wstring()));
    EXPECT_FALSE(Exists(target));
    for (const std::wstring& call : SeamCalls()) EXPECT_NE(call.rfind(L"SetFileAttributesW(", 0), 0u) << fs::path(call).string();
}

TEST_F(RemoveFolderTreeTest, OnlyWhatTheListingShowsIsAPlainFolderIsEntered) {
    // inside/ target/ a.txt, sub/ b.txt, and the row's entry: below target/ or handed in itself
    // (inside/handed), a link to outside/dir (a junction or a directory symbolic link), a link to the
    // read-only outside/readonly.txt, or a plain folder holding c.txt, its attribute lookup answered or
    // refused.
    struct Row {
        const char* shows;
        bool handedIn;
        const wchar_t* link;  // the request that makes it, or nullptr for a plain folder
        bool lookupRefused;
    };
    const wchar_t* junction = L"junction|";
    const wchar_t* symlink = L"symlink|";
    const wchar_t* filelink = L"filelink|";
    const Row rows[] = {
        {"a junction below the folder is removed as a link", false, junction, false},
        {"... and never entered when its lookup fails", false, junction, true},
        {"a directory symbolic link below the folder is removed as a link", false, symlink, false},
        {"a junction handed in is removed as a link, and counts as found", true, junction, false},
        {"... and is left alone, not found, when its lookup fails", true, junction, true},
        {"a directory symbolic link handed in is removed as a link", true, symlink, false},
        {"a file link below the folder is removed as a link: its target keeps its content and read-only bit", false,
         filelink, false},
        {"a plain subfolder whose lookup fails is left alone with what it holds", false, nullptr, true},
        {"a plain folder handed in whose lookup fails is not listed", true, nullptr, true},
    };
    const fs::path inside = root_ / "inside", target = inside / "target";
    for (const Row& row : rows) {
        RemoveAll(target);
        RemoveAll(inside / "handed");
        NextRow();
        ASSERT_TRUE(Plant(target, {"a.txt", "sub/b.txt"}));
        const fs::path entry = row.handedIn ? inside / "handed" : target / "entry";
        const fs::path linkTarget = outside_ / (row.link == filelink ? "readonly.txt" : "dir");
        if (!row.link) {
            MakeFile(entry / "c.txt");
        } else if (!Hands(row.link + entry.wstring() + L"|" + linkTarget.wstring())) {
            continue;
        }
        if (row.lookupRefused) SeamFailOn(L"GetFileAttributesW", entry.wstring());

        const bool found = RemoveFolderTree((row.handedIn ? entry : target).wstring());
        EXPECT_EQ(found, !row.handedIn || (row.link && !row.lookupRefused)) << row.shows;
        const std::vector<std::wstring> calls = SeamCalls();
        for (const std::wstring& call : calls) {
            EXPECT_EQ(call.find(entry.wstring() + L"\\"), std::wstring::npos)
                << row.shows << ": entered " << fs::path(call).string();
        }
        const std::wstring removal = (row.link == filelink ? L"DeleteFileW(" : L"RemoveDirectoryW(") + entry.wstring() + L")";
        const bool removedAsLink = std::find(calls.begin(), calls.end(), removal) != calls.end();
        EXPECT_EQ(removedAsLink, row.link && !(row.handedIn && row.lookupRefused)) << row.shows;
        EXPECT_EQ(Exists(entry / "c.txt"), !row.link) << row.shows;
        if (!row.handedIn) {
            EXPECT_FALSE(Exists(target / "a.txt")) << row.shows;
            EXPECT_FALSE(Exists(target / "sub")) << row.shows;
        }
    }
}

TEST_F(RemoveFolderTreeTest, NamesNoPlainPathNamesAreLeftInPlace) {
    // inside/target/ one file per row below (lower case in lower/), x/, "dd."/ keep.rb, mixed/ "AuX"/ keep.rb:
    // the program must never name what stays, since Windows drops a trailing dot or space ("x." names x,
    // ".. " the parent) and opens a device
    struct Row {
        std::string name;
        bool stays;
        std::string shows;
    };
    std::vector<Row> rows = {
        {"x.", true, "a trailing dot is dropped: x. names x"},
        {" notes.txt", false, "a leading space is kept: a plain name"},
        {"y ", true, "a trailing space is dropped"},
        {".. ", true, "names the parent"},
        {"COM0", false, "COM0 is no device"},
        {"LPT0.rb", false, "nor LPT0"},
        {"COM10", false, "nor COM10"},
        {"lpt12.txt", false, "nor LPT12"},
        {"CONSOLE", false, "a device name only as the whole stem"},
        {"NULL.txt", false, "... before the extension"},
        {"CON1.rb", false, "a device name and more"},
        {"COX9", false, "three letters that are no port"},
        {"LPX1", false, "... nor this"},
        {"CO", false, "a device name's prefix"},
        {"COM", false, "a port's name without its digit"},
        {"AU.txt", false, "a device name's prefix before an extension"},
    };
    // Between the superscripts 2 and 3 (U+00B2, U+00B3) and 1 (U+00B9) lie characters that are no digit.
    for (const char* port : {"COM", "LPT"}) {
        for (const char* other : {"\u00b4", "\u00b5", "\u00b6", "\u00b7", "\u00b8"}) {
            rows.push_back({std::string(port) + other, false, "no superscript digit"});
        }
    }
    // Every device name, in either case, alone, before one extension or two, and before spaces and an
    // extension; a space followed by more makes an ordinary name.
    std::vector<std::string> devices = {"CON", "PRN", "AUX", "NUL"};
    for (const char* port : {"COM", "LPT"}) {
        for (const char* digit : {"1", "2", "3", "4", "5", "6", "7", "8", "9", "\u00b9", "\u00b2", "\u00b3"}) {
            devices.push_back(std::string(port) + digit);
        }
    }
    for (const std::string& upper : devices) {
        std::string lower = upper;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const std::string& device : {upper, "lower\\" + lower}) {  // in a folder of their own: Windows ignores case
            for (const char* tail : {"", ".txt", ".tar.gz", " .rb", "  .rb"}) rows.push_back({device + tail, true, device});
            rows.push_back({device + " x.txt", false, device + " followed by a space and more"});
        }
    }
    const fs::path target = root_ / "inside" / "target";
    ASSERT_TRUE(Plant(target, {"x/", "dd./keep.rb", "mixed/AuX/keep.rb"}));  // x/: what "x." would name
    for (const Row& row : rows) MakeFile(target / fs::u8path(row.name));

    rows.push_back({"dd.", true, "a folder whose name ends in a dot"});
    rows.push_back({"mixed\\AuX", true, "a folder with a device name"});

    EXPECT_TRUE(RemoveFolderTree(target.wstring()));
    const std::vector<std::wstring> calls = SeamCalls();
    for (const Row& row : rows) {
        EXPECT_EQ(Exists(Verbatim(target / fs::u8path(row.name))), row.stays) << row.name << ": " << row.shows;
        const std::wstring name = L"\\" + fs::u8path(row.name).filename().wstring();
        for (const std::wstring& call : calls) {
            for (const wchar_t* after : {L")", L"\\", L", "}) {
                if (row.stays) {
                    EXPECT_EQ(call.find(name + after), std::wstring::npos) << row.name << " was named";
                }
            }
        }
    }
}

TEST_F(RemoveFolderTreeTest, TreeDeeperThanMaxPathKeepsOnlyItsDeepEnd) {
    // inside/target/ d/ee/d/ee/... 120 levels, each with files a and bb. Windows refuses a path of
    // MAX_PATH characters or more: a folder whose "\*.*" pattern is that long cannot be listed, nor can
    // such a file be deleted.
    const fs::path target = root_ / "inside" / "target";
    fs::path level = target;
    std::vector<fs::path> levels;
    for (int i = 0; i < 120; ++i) {
        levels.push_back(level /= (i % 2 == 0 ? "d" : "ee"));
        MakeFile(level / "a");
        MakeFile(level / "bb");
    }
    auto length = [](const fs::path& path) { return path.wstring().size(); };

    EXPECT_TRUE(RemoveFolderTree(target.wstring()));
    for (const fs::path& folder : levels) {
        EXPECT_TRUE(Exists(Verbatim(folder))) << "every folder holds the deep end: " << folder;
        for (const char* name : {"a", "bb"}) {
            const bool removable = length(folder) + 4 < MAX_PATH && length(folder / name) < MAX_PATH;
            EXPECT_NE(Exists(Verbatim(folder / name)), removable) << folder / name;
        }
    }
    ASSERT_GT(length(levels.back()), static_cast<std::size_t>(MAX_PATH));
}

}  // namespace
