// Folder-tree removal against the real file system: what goes, what stays, and that nothing outside
// the folder handed in is ever touched.
#include "removal/remove_folder_tree.h"

#include "platform/win32api.h"
#include "temp_tree.h"

namespace {

using RemoveFolderTreeTest = TempTreeTest;

TEST_F(RemoveFolderTreeTest, OnlyAFolderIsFoundAndThenItGoesWhole) {
    // inside/ neighbour.txt, and target/ as each row has it: a folder holding the row's entries ("name/"
    // a folder, "!name" a read-only file), no entry at all, or a read-only file
    enum Kind { Folder, Missing, File };
    struct Row {
        const char* shows;
        Kind kind;
        std::vector<std::string> entries;
    };
    const Row rows[] = {
        {"a nested tree with read-only files", Folder,
         {"a.txt", "!ro.txt", "one/b.txt", "!one/two/ro.txt", "one/two/three/"}},
        {"an empty folder", Folder, {}},
        {"names that begin with dots, and beyond ASCII", Folder,
         {".hidden", "..double", ".config/settings", ".a.b/", u8"\u00dcn\u00efc\u00f8d\u00e9.rbs",
          u8"\u6d4b\u8bd5/\u6587\u4ef6.txt", u8"party \U0001F389.txt"}},
        {"no folder is not found", Missing, {}},
        {"a file in place of the folder is not found, and kept", File, {}},
    };
    const fs::path target = root_ / "inside" / "target";
    MakeFile(root_ / "inside" / "neighbour.txt");
    for (const Row& row : rows) {
        fs::remove_all(target);
        if (row.kind == Folder) fs::create_directory(target);
        if (row.kind == File) MakeFile(target, "not a folder", true);
        for (const std::string& entry : row.entries) {
            const fs::path planted = target / fs::u8path(entry[0] == '!' ? entry.substr(1) : entry);
            if (entry.back() == '/') {
                ASSERT_TRUE(fs::create_directories(planted));
            } else {
                MakeFile(planted, "x", entry[0] == '!');
            }
        }

        EXPECT_EQ(RemoveFolderTree(target.wstring()), row.kind == Folder) << row.shows;
        EXPECT_EQ(Exists(target), row.kind == File) << row.shows;
        EXPECT_TRUE(Exists(root_ / "inside" / "neighbour.txt"));
    }
}

TEST_F(RemoveFolderTreeTest, UndeletableFileKeepsOnlyTheFoldersOnItsPath) {
    // inside/target/
    //   y.txt, gone/ x.txt
    //   keep/ locked.txt (cannot be deleted), other.txt
    const fs::path target = root_ / "inside" / "target";
    MakeFile(target / "y.txt");
    MakeFile(target / "gone" / "x.txt");
    MakeFile(target / "keep" / "locked.txt");
    MakeFile(target / "keep" / "other.txt");
    KeepFromDeletion(target / "keep" / "locked.txt");

    EXPECT_TRUE(RemoveFolderTree(target.wstring()));
    EXPECT_TRUE(Exists(target / "keep" / "locked.txt"));
    EXPECT_FALSE(Exists(target / "keep" / "other.txt"));
    EXPECT_FALSE(Exists(target / "gone"));
    EXPECT_FALSE(Exists(target / "y.txt"));
}

#ifndef _WIN32
// Names no Windows file can have: the stand-in carries them through in private-use characters.
TEST_F(RemoveFolderTreeTest, BackslashAndNonUtf8NamesNameOnlyThemselves) {
    // inside/
    //   victim.txt
    //   target/ "..\victim.txt", "sub\..\..\victim.txt", "\xff\xfe.bin", "\uf05c", "*", "?:<>|"
    const fs::path target = root_ / "inside" / "target";
    MakeFile(root_ / "inside" / "victim.txt", "victim");
    for (const char* name : {"..\\victim.txt", "sub\\..\\..\\victim.txt", "\xff\xfe.bin", "\xef\x81\x9c", "*",
                             "?:<>|"}) {
        MakeFile(target / name);
    }

    EXPECT_TRUE(RemoveFolderTree(target.wstring()));
    EXPECT_FALSE(Exists(target));
    EXPECT_TRUE(Exists(root_ / "inside" / "victim.txt"));
}

TEST_F(RemoveFolderTreeTest, LinksInsideAreRemovedWithoutTouchingTargets) {
    // inside/target/ dirlink -> outside/dir, filelink -> outside/keep.txt, rolink -> outside/readonly.txt,
    //   dangling -> nowhere, sub/ deeplink -> outside
    const fs::path target = root_ / "inside" / "target";
    ASSERT_TRUE(fs::create_directories(target / "sub"));
    fs::create_directory_symlink(outside_ / "dir", target / "dirlink");
    fs::create_symlink(outside_ / "keep.txt", target / "filelink");
    fs::create_symlink(outside_ / "readonly.txt", target / "rolink");
    fs::create_symlink(root_ / "nowhere", target / "dangling");
    fs::create_directory_symlink(outside_, target / "sub" / "deeplink");

    EXPECT_TRUE(RemoveFolderTree(target.wstring()));
    EXPECT_FALSE(Exists(target));
}

TEST_F(RemoveFolderTreeTest, LinkHandedInIsRemovedAsALinkOnlyWhenItPointsAtAFolder) {
    // inside/ dirlink -> outside/dir, filelink -> outside/keep.txt
    const fs::path inside = root_ / "inside";
    fs::create_directory_symlink(outside_ / "dir", inside / "dirlink");
    fs::create_symlink(outside_ / "keep.txt", inside / "filelink");

    EXPECT_TRUE(RemoveFolderTree((inside / "dirlink").wstring()));
    EXPECT_FALSE(Exists(inside / "dirlink"));
    EXPECT_FALSE(RemoveFolderTree((inside / "filelink").wstring()));
    EXPECT_TRUE(fs::is_symlink(inside / "filelink"));
}

TEST_F(RemoveFolderTreeTest, NamesNoPlainPathNamesAreLeftInPlace) {
    // inside/ro-parent/ (read-only)
    //   target/ one file per row below, "dd."/ keep.rb, "AuX"/ keep.rb
    struct Row {
        std::string name;
        bool stays;
        std::string shows;
    };
    std::vector<Row> rows = {
        {"x.", true, "a trailing dot is dropped: x. names x"},
        {"y ", true, "a trailing space is dropped"},
        {".. ", true, "names the parent, which is read-only here"},
        {"COM0", false, "COM0 is no device"},
        {"LPT0.rb", false, "nor LPT0"},
        {"COM10", false, "nor COM10"},
        {"lpt12.txt", false, "nor LPT12"},
        {"CONSOLE", false, "a device name only as the whole stem"},
        {"NULL.txt", false, "... before the extension"},
    };
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
        for (const std::string& device : {upper, lower}) {
            for (const char* tail : {"", ".txt", ".tar.gz", " .rb", "  .rb"}) rows.push_back({device + tail, true, device});
            rows.push_back({device + " x.txt", false, device + " followed by a space and more"});
        }
    }
    const fs::path parent = root_ / "inside" / "ro-parent";
    const fs::path target = parent / "target";
    for (const Row& row : rows) MakeFile(target / fs::u8path(row.name));
    MakeFile(target / "dd." / "keep.rb");
    ASSERT_TRUE(fs::create_directory(target / "x"));  // what "x." would name: read-only, so it stays
    fs::permissions(target / "x", fs::perms::owner_write, fs::perm_options::remove);
    MakeFile(target / "AuX" / "keep.rb");
    fs::permissions(parent, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const auto parentPermissions = fs::status(parent).permissions();

    EXPECT_TRUE(RemoveFolderTree(target.wstring()));
    for (const Row& row : rows) EXPECT_EQ(Exists(target / fs::u8path(row.name)), row.stays) << row.name << ": " << row.shows;
    EXPECT_TRUE(Exists(target / "dd." / "keep.rb"));
    EXPECT_EQ(fs::status(target / "x").permissions() & fs::perms::owner_write, fs::perms::none) << "x. reached x";
    EXPECT_TRUE(Exists(target / "AuX" / "keep.rb"));
    EXPECT_EQ(fs::status(parent).permissions(), parentPermissions);
}

TEST_F(RemoveFolderTreeTest, TreeDeeperThanMaxPathKeepsOnlyItsDeepEnd) {
    // inside/target/ d/ee/d/ee/... 120 levels, each with files a and bb. As on Windows, where "Z:"
    // stands before the host path, no path of MAX_PATH characters or more can be used: a folder whose
    // "\*.*" pattern is that long cannot be listed, nor can such a file be deleted.
    const fs::path target = root_ / "inside" / "target";
    fs::path level = target;
    std::vector<fs::path> levels;
    for (int i = 0; i < 120; ++i) {
        levels.push_back(level /= (i % 2 == 0 ? "d" : "ee"));
        MakeFile(level / "a");
        MakeFile(level / "bb");
    }
    auto windowsLength = [](const fs::path& path) { return 2 + path.string().size(); };

    EXPECT_TRUE(RemoveFolderTree(target.wstring()));
    for (const fs::path& folder : levels) {
        EXPECT_TRUE(Exists(folder)) << "every folder holds the deep end: " << folder;
        for (const char* name : {"a", "bb"}) {
            const bool removable =
                windowsLength(folder) + 4 < MAX_PATH && windowsLength(folder / name) < MAX_PATH;
            EXPECT_NE(Exists(folder / name), removable) << folder / name;
        }
    }
    ASSERT_GT(windowsLength(levels.back()), static_cast<std::size_t>(MAX_PATH));
}
#endif

}  // namespace
