// The whole run against planted installations under the two known folders, with the report captured.
#include "app/uninstall.h"

#include "plan/removal_plan.h"
#include "platform/win32api.h"
#include "platform/posix/standin_seam.h"
#include "temp_tree.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sys/wait.h>

namespace {

const char Found[] = "All applications have been uninstalled";
const char NotFound[] = "No application installed";
const char Left[] = "Some files could not be removed. Close SketchUp and run the uninstaller again.";

class UninstallRunTest : public TempTreeTest {
protected:
    void SetUp() override {
        TempTreeTest::SetUp();
        // inside/ roaming/, programdata/ (the two known folders)
        roaming_ = root_ / "inside" / "roaming";
        common_ = root_ / "inside" / "programdata";
        ASSERT_TRUE(fs::create_directories(roaming_));
        ASSERT_TRUE(fs::create_directories(common_));
        ASSERT_EQ(setenv("APPDATA", roaming_.c_str(), 1), 0);
        ASSERT_EQ(setenv("ProgramData", common_.c_str(), 1), 0);
    }

    static fs::path Plugins(const fs::path& base) {
        return base / "SketchUp" / "SketchUp 2014" / "SketchUp" / "Plugins";
    }

    // Plants each path below base's plug-in folder: a folder where it ends in "/", else a file,
    // read-only where it begins with "!".
    static void Plant(const fs::path& base, const std::vector<std::string>& paths) {
        for (const std::string& path : paths) {
            const bool readOnly = path[0] == '!';
            const fs::path planted = Plugins(base) / path.substr(readOnly ? 1 : 0);
            if (path.back() == '/') {
                ASSERT_TRUE(fs::create_directories(planted));
            } else {
                MakeFile(planted, "x", readOnly);
            }
        }
    }

    // A full installation of one generation ("SU_Varnok_V2" or "SU_Varnok_V2.5"), with the shared files.
    static std::vector<std::string> Installation(const std::string& product) {
        return {product + "/plug_in/varnok_tools.rbs", "!" + product + "/plug_in/icons/tool.png", product + "/main.rb",
                product + ".rbs", "SU_Varnok_Section_Tool.rb", "varnok_tools.rbs", "Veltrix_Section/section.rb"};
    }

    static void PlantInstallation(const fs::path& base, const std::string& product) {
        Plant(base, Installation(product));
    }

    // Another vendor's plug-ins, which every run must leave alone.
    static void PlantNeighbours(const fs::path& base) {
        Plant(base, {"OtherVendor.rb", "SU_Varnok_V3/keep.rb", "su_varnok_tools.rbs"});
    }

    // The names in base's plug-in folder, less the other vendors' plug-ins.
    static std::set<std::string> NamesLeft(const fs::path& base) {
        std::set<std::string> left;
        for (const auto& entry : fs::directory_iterator(Plugins(base))) left.insert(entry.path().filename());
        for (const char* neighbour : {"OtherVendor.rb", "SU_Varnok_V3", "su_varnok_tools.rbs"}) {
            EXPECT_EQ(left.erase(neighbour), 1u) << neighbour << " went";
        }
        return left;
    }

    // An installation of both generations under elsewhere/, reached from base through a link at
    // `level` (1 to 4) of the plug-in folder's path: SketchUp, SketchUp 2014, SketchUp or Plugins.
    static void PlantBehindLink(const fs::path& base, int level, const fs::path& elsewhere) {
        PlantInstallation(elsewhere, "SU_Varnok_V2");
        PlantInstallation(elsewhere, "SU_Varnok_V2.5");
        PlantNeighbours(elsewhere);
        fs::path link = base;
        fs::path target = elsewhere;
        int depth = 0;
        for (const fs::path& component : fs::path("SketchUp/SketchUp 2014/SketchUp/Plugins")) {
            if (++depth > level) break;
            link /= component;
            target /= component;
        }
        fs::create_directories(link.parent_path());
        fs::create_directory_symlink(target, link);
    }

    static std::string Report() {
        const StandInMessageBoxRecord box = StandInMessageBoxes();
        EXPECT_EQ(box.count, 1);
        EXPECT_EQ(box.caption, "SU Varnok Uninstaller 2014");
        const unsigned icon = box.text == Left ? MB_ICONWARNING : MB_ICONINFORMATION;
        EXPECT_EQ(box.style, static_cast<unsigned>(MB_OK | icon)) << box.text;
        return box.text;
    }

    fs::path roaming_;
    fs::path common_;
};

TEST_F(UninstallRunTest, WhatIsFoundIsRemovedAndReported) {
    // roaming/ and programdata/: other vendors' plug-ins, and each row's entries below the plug-in folder
    // (written as Plant takes them)
    const std::vector<std::string> v2 = Installation("SU_Varnok_V2");
    std::vector<std::string> v2AndV25 = Installation("SU_Varnok_V2.5");
    v2AndV25.insert(v2AndV25.end(), v2.begin(), v2.end());
    struct Row {
        const char* shows;
        std::vector<std::string> roaming, common;
        const char* report;
        std::set<std::string> roamingLeft, commonLeft;  // beside the other vendors' plug-ins
    };
    const Row rows[] = {
        {"nothing installed", {}, {}, NotFound, {}, {}},
        {"V2 and V2.5 side by side under both folders", v2AndV25, v2AndV25, Found, {}, {}},
        {"an empty V2.5 folder, under the shared folder only", {}, {"SU_Varnok_V2.5/", "SU_Varnok_V2.5.rbs"}, Found,
         {}, {}},
        {"files in place of the product and companion folders stay; loose files and the companion folder go "
         "unreported",
         {"SU_Varnok_V2", "Veltrix_Section", "SU_Varnok_V2.rbs", "varnok_tools.rbs"}, {"!Veltrix_Section/deep/a.rb"},
         NotFound, {"SU_Varnok_V2", "Veltrix_Section"}, {}},
        {"a read-only loose file stays, and does not change the report", v2, {"!varnok_tools.rbs"}, Found, {},
         {"varnok_tools.rbs"}},
    };
    for (const Row& row : rows) {
        StandInReset();
        for (const auto& [base, paths] : {std::pair{roaming_, row.roaming}, std::pair{common_, row.common}}) {
            fs::remove_all(base / "SketchUp");
            PlantNeighbours(base);
            Plant(base, paths);
        }

        RunUninstall();
        EXPECT_EQ(Report(), row.report) << row.shows;
        EXPECT_EQ(NamesLeft(roaming_), row.roamingLeft) << row.shows;
        EXPECT_EQ(NamesLeft(common_), row.commonLeft) << row.shows;
    }
}

TEST_F(UninstallRunTest, BaseFolderTooLongForThePlanTouchesNothing) {
    // inside/ lll.../roaming/: V2 installation, the base folder 230 characters long;
    // programdata/: nothing
    fs::path base = root_ / "inside";
    while (base.string().size() < 200) base /= std::string(20, 'l');
    base /= std::string(230 - base.string().size() - 1, 'r');
    ASSERT_EQ(base.string().size(), 230u);
    PlantInstallation(base, "SU_Varnok_V2");
    ASSERT_EQ(setenv("APPDATA", base.c_str(), 1), 0);
    const auto before = Snapshot(root_ / "inside");

    RunUninstall();
    EXPECT_EQ(Report(), NotFound);
    EXPECT_EQ(Snapshot(root_ / "inside"), before);
}

TEST_F(UninstallRunTest, EachPassRunsItsStepsInThePlansOrder) {
    // roaming/ and programdata/: V2 and V2.5 installations. One pass at a time runs: the first lookup
    // of every other pass fails, and so does every later lookup of this pass but the one for step k.
    // Step 1 reuses the pass's first lookup, so the product folder and the target of step k go. A
    // skipped pass makes one lookup, so the pass after it under the same folder starts at the second.
    struct Pass {
        BaseFolder base;
        int firstLookup;              // of its base folder's lookups
        const char* product;
        const char* laterTargets[5];  // steps 2 to 6; "" for the file inside the product folder
    };
    const Pass passes[] = {
        {UserAppData, 1, "SU_Varnok_V2",
         {"SU_Varnok_V2.rbs", "SU_Varnok_Section_Tool.rb", "varnok_tools.rbs", "", "Veltrix_Section"}},
        {CommonAppData, 1, "SU_Varnok_V2",
         {"SU_Varnok_V2.rbs", "SU_Varnok_Section_Tool.rb", "Veltrix_Section", "varnok_tools.rbs", ""}},
        {CommonAppData, 2, "SU_Varnok_V2.5",
         {"SU_Varnok_V2.5.rbs", "SU_Varnok_Section_Tool.rb", "Veltrix_Section", "varnok_tools.rbs", ""}},
        {UserAppData, 2, "SU_Varnok_V2.5",
         {"SU_Varnok_V2.5.rbs", "SU_Varnok_Section_Tool.rb", "Veltrix_Section", "varnok_tools.rbs", ""}},
    };
    auto names = [](const fs::path& base) {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(Plugins(base))) found.insert(entry.path().filename());
        return found;
    };
    for (const Pass& pass : passes) {
        const fs::path base = pass.base == UserAppData ? roaming_ : common_;
        const fs::path other = pass.base == UserAppData ? common_ : roaming_;
        for (int step = 2; step <= 6; ++step) {
            StandInReset();
            for (const fs::path& folder : {roaming_, common_}) {
                fs::remove_all(folder / "SketchUp");
                PlantInstallation(folder, "SU_Varnok_V2");
                PlantInstallation(folder, "SU_Varnok_V2.5");
            }
            const auto untouched = names(other);
            std::set<std::string> expected = names(base);
            expected.erase(pass.product);
            expected.erase(pass.laterTargets[step - 2]);
            std::set<int> failing;
            for (int lookup = 1; lookup <= 8; ++lookup) {
                if (lookup != pass.firstLookup && lookup != pass.firstLookup + step - 1) failing.insert(lookup);
            }
            StandInFailFolderLookups(pass.base, failing);
            StandInFailFolderLookups(pass.base == UserAppData ? CSIDL_COMMON_APPDATA : CSIDL_APPDATA, {1, 2});

            RunUninstall();
            const std::string row = std::string(pass.product) + " under " + base.filename().string() + ", step " +
                                    std::to_string(step);
            EXPECT_EQ(Report(), Found) << row;
            EXPECT_EQ(names(base), expected) << row;
            EXPECT_EQ(names(other), untouched) << row;
        }
    }
}

TEST_F(UninstallRunTest, DllSearchIsRestrictedBeforeAnythingElse) {
    // roaming/: V2 installation. The request for redirection trust follows; with no
    // SetDefaultDllDirectories, as before Windows 8, SetDllDirectoryW drops the current folder.
    struct Row {
        const char* lacking;
        std::vector<std::string> requests;
    };
    const Row rows[] = {
        {"", {"SetDefaultDllDirectories(0x800)", "SetProcessMitigationPolicy(16, 1, 4)"}},
        {"SetDefaultDllDirectories", {"SetDllDirectoryW(\"\")", "SetProcessMitigationPolicy(16, 1, 4)"}},
        {"SetProcessMitigationPolicy", {"SetDefaultDllDirectories(0x800)"}},
    };
    for (const Row& row : rows) {
        StandInReset();
        fs::remove_all(roaming_ / "SketchUp");
        PlantInstallation(roaming_, "SU_Varnok_V2");
        StandInLackKernelFunction(row.lacking);

        RunUninstall();
        EXPECT_EQ(StandInProcessRequests(), row.requests) << "lacking " << row.lacking;
        EXPECT_EQ(Report(), Found);
    }
}

TEST_F(UninstallRunTest, BothLookupsFailingRunsNoStep) {
    // roaming/: V2 installation, but neither known folder resolves
    PlantInstallation(roaming_, "SU_Varnok_V2");
    const auto before = Snapshot(root_ / "inside");
    unsetenv("APPDATA");
    unsetenv("ProgramData");

    RunUninstall();
    EXPECT_EQ(Report(), NotFound);
    EXPECT_EQ(Snapshot(root_ / "inside"), before);
}

TEST_F(UninstallRunTest, LinkOnTheWayIsFollowedOnlyBelowTheUsersOwnFolder) {
    // roaming/ or programdata/: SketchUp/... with one level a link to the same path under elsewhere/,
    // which holds V2 and V2.5 installations beside other vendors' plug-ins. Every user can create
    // folders below the shared folder, so there no link is followed.
    const fs::path elsewhere = root_ / "inside" / "elsewhere";
    for (const bool shared : {true, false}) {
        for (int level = 1; level <= 4; ++level) {
            fs::remove_all(roaming_ / "SketchUp");
            fs::remove_all(common_ / "SketchUp");
            fs::remove_all(elsewhere);
            PlantBehindLink(shared ? common_ : roaming_, level, elsewhere);
            const auto before = Snapshot(elsewhere);
            StandInReset();

            RunUninstall();
            const std::string row = (shared ? "shared folder, level " : "roaming folder, level ") + std::to_string(level);
            EXPECT_EQ(Report(), shared ? NotFound : Found) << row;
            if (shared) {
                EXPECT_EQ(Snapshot(elsewhere), before) << row;
            } else {
                EXPECT_EQ(NamesLeft(elsewhere), std::set<std::string>{}) << row;
            }
        }
    }
}

TEST_F(UninstallRunTest, KnownFolderIsUsedOnlyWhenItIsAbsolute) {
    // roaming/: V2 installation, and the current folder, where a relative path would lead. The roaming
    // folder's lookup hands back each row's text, as Windows hands back the registry's value.
    const std::wstring roaming = L"Z:" + roaming_.wstring();
    struct Row {
        std::wstring given;
        bool used;
        const char* shows;
    };
    const Row rows[] = {
        {roaming, true, "a drive and its root"},
        {L"z" + roaming.substr(1), true, "a lower-case drive letter"},
        {L"\\\\server\\share", true, "a server and a share"},
        {L"\\\\server\\", false, "a share with no share name"},
        {L"\\\\\\share", false, "a share with no server name"},
        {L".", false, "relative"},
        {L"Z:.", false, "drive-relative"},
        {L"", false, "empty"},
        {L"%X%", false, "an unset variable"},
        {roaming.substr(2), false, "rooted on the current drive"},
    };
    // inside/decoy/ SketchUp 2014/SketchUp/Plugins/SU_Varnok_V2/: what a malformed share followed by the
    // plug-in path would reach, were it taken for a share whose name is "SketchUp"
    const fs::path decoy = root_ / "inside" / "decoy";
    MakeFile(decoy / "SketchUp 2014" / "SketchUp" / "Plugins" / "SU_Varnok_V2" / "main.rb");
    const fs::path previous = fs::current_path();
    fs::current_path(roaming_);
    for (const Row& row : rows) {
        StandInReset();
        StandInShareFolder(L"server\\share", roaming_.string());
        StandInShareFolder(L"server\\SketchUp", decoy.string());
        StandInShareFolder(L"share\\SketchUp", decoy.string());
        fs::remove_all(roaming_ / "SketchUp");
        PlantInstallation(roaming_, "SU_Varnok_V2");
        StandInGiveFolderPath(CSIDL_APPDATA, row.given);

        RunUninstall();
        EXPECT_EQ(Report(), row.used ? Found : NotFound) << row.shows;
        EXPECT_NE(Exists(Plugins(roaming_) / "SU_Varnok_V2"), row.used) << row.shows;
        EXPECT_TRUE(Exists(decoy / "SketchUp 2014" / "SketchUp" / "Plugins" / "SU_Varnok_V2")) << row.shows;
        EXPECT_EQ(StandInRefusalCount(), 0) << row.shows;
    }
    fs::current_path(previous);
}

TEST_F(UninstallRunTest, FileThatResistsDeletionIsReportedUntilItIsLetGo) {
    // roaming/: V2 installation whose plug_in/varnok_tools.rbs cannot be deleted, as while SketchUp runs
    PlantInstallation(roaming_, "SU_Varnok_V2");
    const fs::path locked = Plugins(roaming_) / "SU_Varnok_V2" / "plug_in" / "varnok_tools.rbs";
    KeepFromDeletion(locked);

    RunUninstall();
    EXPECT_EQ(Report(), Left);
    EXPECT_TRUE(Exists(locked));
    EXPECT_FALSE(Exists(Plugins(roaming_) / "SU_Varnok_V2" / "main.rb"));
    EXPECT_FALSE(Exists(Plugins(roaming_) / "SU_Varnok_V2" / "plug_in" / "icons"));

    StandInReset();
    KeepFromDeletion(locked);
    RunUninstall();
    EXPECT_EQ(Report(), Left) << "still held";

    StandInReset();  // let go
    RunUninstall();
    EXPECT_EQ(Report(), Found);
    EXPECT_FALSE(Exists(Plugins(roaming_) / "SU_Varnok_V2"));
}

TEST_F(UninstallRunTest, ProductFolderKeepingWhatNoPlainPathReachesIsReportedAsLeft) {
    // programdata/: V2.5 installation, and in its product folder one of the rows below
    struct Row {
        const char* shows;
        fs::path kept;
    };
    fs::path deep;
    for (int i = 0; i < 60; ++i) deep /= "level";
    const Row rows[] = {
        {"a tree deeper than MAX_PATH keeps its deep end", deep / "f.rb"},
        {"a name ending in a dot is left in place", "x."},
        {"a device name is left in place", "sub/nul.txt"},
    };
    for (const Row& row : rows) {
        StandInReset();
        fs::remove_all(common_ / "SketchUp");
        PlantInstallation(common_, "SU_Varnok_V2.5");
        const fs::path kept = Plugins(common_) / "SU_Varnok_V2.5" / row.kept;
        MakeFile(kept);

        RunUninstall();
        EXPECT_EQ(Report(), Left) << row.shows;
        EXPECT_TRUE(Exists(kept)) << row.shows;
        EXPECT_FALSE(Exists(Plugins(common_) / "SU_Varnok_V2.5" / "main.rb")) << row.shows;
    }
}

TEST_F(UninstallRunTest, ProductFolderThatIsALinkIsFoundAndOnlyTheLinkGoes) {
    // roaming/: SU_Varnok_V2 -> outside/dir; programdata/: Veltrix_Section -> outside
    ASSERT_TRUE(fs::create_directories(Plugins(roaming_)));
    ASSERT_TRUE(fs::create_directories(Plugins(common_)));
    fs::create_directory_symlink(outside_ / "dir", Plugins(roaming_) / "SU_Varnok_V2");
    fs::create_directory_symlink(outside_, Plugins(common_) / "Veltrix_Section");

    RunUninstall();
    EXPECT_EQ(Report(), Found);
    EXPECT_TRUE(fs::is_empty(Plugins(roaming_)));
    EXPECT_TRUE(fs::is_empty(Plugins(common_)));
}

TEST_F(UninstallRunTest, FileStepDoesNotReachThroughALinkThatSurvived) {
    // roaming/: SU_Varnok_V2/ main.rb, plug_in -> elsewhere/ (cannot be removed)
    // inside/elsewhere/ varnok_tools.rbs
    const fs::path elsewhere = root_ / "inside" / "elsewhere";
    MakeFile(elsewhere / "varnok_tools.rbs");
    MakeFile(Plugins(roaming_) / "SU_Varnok_V2" / "main.rb");
    fs::create_directory_symlink(elsewhere, Plugins(roaming_) / "SU_Varnok_V2" / "plug_in");
    KeepFromDeletion(Plugins(roaming_) / "SU_Varnok_V2" / "plug_in");

    RunUninstall();
    EXPECT_EQ(Report(), Left);
    EXPECT_TRUE(fs::is_symlink(Plugins(roaming_) / "SU_Varnok_V2" / "plug_in"));
    EXPECT_TRUE(Exists(elsewhere / "varnok_tools.rbs"));
    EXPECT_FALSE(Exists(Plugins(roaming_) / "SU_Varnok_V2" / "main.rb"));
}

TEST_F(UninstallRunTest, ProgramExitsWithStatusOneAndPrintsTheReport) {
    // roaming/: V2.5 installation
    PlantInstallation(roaming_, "SU_Varnok_V2.5");

    FILE* program = popen(UNINSTALLER_PATH, "r");
    ASSERT_NE(program, nullptr);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, program), nullptr);
    const int status = pclose(program);
    EXPECT_STREQ(line, "SU Varnok Uninstaller 2014: All applications have been uninstalled\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_FALSE(Exists(Plugins(roaming_) / "SU_Varnok_V2.5"));
}

}  // namespace
