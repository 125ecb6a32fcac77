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
const char LeftShared[] =
    "Some files could not be removed. Close SketchUp and run the uninstaller again as an administrator.";

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

    // Plants each entry below base's plug-in folder: "name/" a folder, "name -> dir" a link to that
    // folder of outside/, else a file; "!" first makes a file read-only, "#" keeps the entry from deletion.
    void Plant(const fs::path& base, const std::vector<std::string>& entries) {
        for (std::string entry : entries) {
            const bool readOnly = entry[0] == '!';
            const bool kept = entry[0] == '#';
            if (readOnly || kept) entry.erase(0, 1);
            const std::size_t arrow = entry.find(" -> ");
            const fs::path planted = Plugins(base) / entry.substr(0, arrow);
            if (arrow != std::string::npos) {
                fs::create_directories(planted.parent_path());
                fs::create_directory_symlink(outside_ / entry.substr(arrow + 4), planted);
            } else if (entry.back() == '/') {
                ASSERT_TRUE(fs::create_directories(planted));
            } else {
                MakeFile(planted, "x", readOnly);
            }
            if (kept) KeepFromDeletion(planted);
        }
    }

    // A full installation of one generation ("SU_Varnok_V2" or "SU_Varnok_V2.5"), with the shared files.
    static std::vector<std::string> Installation(const std::string& product) {
        return {product + "/plug_in/varnok_tools.rbs", "!" + product + "/plug_in/icons/tool.png", product + "/main.rb",
                product + ".rbs", "SU_Varnok_Section_Tool.rb", "varnok_tools.rbs", "Veltrix_Section/section.rb"};
    }

    // Another vendor's plug-ins, which every run must leave alone.
    void PlantNeighbours(const fs::path& base) {
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

    // Both folders afresh: other vendors' plug-ins, and the entries given for each.
    void PlantBoth(const std::vector<std::string>& roaming, const std::vector<std::string>& common) {
        StandInReset();
        for (const auto& [base, entries] : {std::pair{roaming_, roaming}, std::pair{common_, common}}) {
            fs::remove_all(base / "SketchUp");
            PlantNeighbours(base);
            Plant(base, entries);
        }
    }

    static std::string Report() {
        const StandInMessageBoxRecord box = StandInMessageBoxes();
        EXPECT_EQ(box.count, 1);
        EXPECT_EQ(box.caption, "SU Varnok Uninstaller 2014");
        const bool warning = box.text == Left || box.text == LeftShared;
        EXPECT_EQ(box.style, static_cast<unsigned>(MB_OK | (warning ? MB_ICONWARNING : MB_ICONINFORMATION))) << box.text;
        return box.text;
    }

    fs::path roaming_;
    fs::path common_;
};

TEST_F(UninstallRunTest, ReportSaysWhatStayedAndWhere) {
    // roaming/ and programdata/: other vendors' plug-ins, and each row's entries below the plug-in
    // folder (written as Plant takes them); outside/ holds what the links point at.
    const std::vector<std::string> v2 = Installation("SU_Varnok_V2");
    std::vector<std::string> both = Installation("SU_Varnok_V2.5");
    both.insert(both.end(), v2.begin(), v2.end());
    std::string deep = "SU_Varnok_V2";
    for (int i = 0; i < 60; ++i) deep += "/level";
    struct Row {
        const char* shows;
        std::vector<std::string> roaming, common;
        const char* report;
        std::set<std::string> roamingLeft, commonLeft;  // beside the other vendors' plug-ins
        std::set<int> failingRoamingLookups = {};
    };
    const Row rows[] = {
        {"nothing installed", {}, {}, NotFound, {}, {}},
        {"V2 and V2.5 side by side under both folders", both, both, Found, {}, {}},
        {"an empty product folder counts as found", {}, {"SU_Varnok_V2.5/", "SU_Varnok_V2.5.rbs"}, Found, {}, {}},
        {"files in place of the product and companion folders stay; loose files and the companion folder go "
         "unreported",
         {"SU_Varnok_V2", "Veltrix_Section", "SU_Varnok_V2.rbs", "varnok_tools.rbs"}, {"!Veltrix_Section/deep/a.rb"},
         NotFound, {"SU_Varnok_V2", "Veltrix_Section"}, {}},
        {"a read-only loose file stays unreported", v2, {"!varnok_tools.rbs"}, Found, {}, {"varnok_tools.rbs"}},
        {"a loose file held open stays unreported", {"SU_Varnok_V2/main.rb", "#SU_Varnok_V2.rbs"}, {}, Found,
         {"SU_Varnok_V2.rbs"}, {}},
        {"a companion folder held open stays unreported", {"#Veltrix_Section/a.rb"}, {}, NotFound,
         {"Veltrix_Section"}, {}},
        {"... beside a product that went", {"SU_Varnok_V2/", "#Veltrix_Section/"}, {}, Found, {"Veltrix_Section"}, {}},
        {"a product held open under the user's folder", {"SU_Varnok_V2/main.rb", "#SU_Varnok_V2/plug_in/x.rb"},
         {"SU_Varnok_V2.5/"}, Left, {"SU_Varnok_V2"}, {}},
        {"a product held open under the shared folder needs an administrator", {"SU_Varnok_V2/"},
         {"#SU_Varnok_V2.5/plug_in/varnok_tools.rbs"}, LeftShared, {}, {"SU_Varnok_V2.5"}},
        {"... whatever stays under the user's folder", {"#SU_Varnok_V2.5/a.rb"}, {"#SU_Varnok_V2/a.rb"}, LeftShared,
         {"SU_Varnok_V2.5"}, {"SU_Varnok_V2"}},
        {"a tree deeper than MAX_PATH keeps its deep end", {deep + "/f.rb"}, {}, Left, {"SU_Varnok_V2"}, {}},
        {"a name ending in a dot is left in place", {}, {"SU_Varnok_V2/x."}, LeftShared, {}, {"SU_Varnok_V2"}},
        {"a device name is left in place", {"SU_Varnok_V2.5/sub/nul.txt"}, {}, Left, {"SU_Varnok_V2.5"}, {}},
        {"a product folder that is a link is found, and only the link goes", {"SU_Varnok_V2 -> dir"},
         {"Veltrix_Section -> dir"}, Found, {}, {}},
        {"... found too when the link cannot be removed", {}, {"#SU_Varnok_V2.5 -> dir"}, LeftShared, {},
         {"SU_Varnok_V2.5"}},
        {"a file step never reaches through a link that survived, and the next step runs (pass 4's lookups for "
         "Veltrix_Section fail, however many steps before it ran)",
         {"SU_Varnok_V2/main.rb", "#SU_Varnok_V2/plug_in -> dir", "Veltrix_Section/a.rb"}, {}, Left, {"SU_Varnok_V2"}, {},
         {9, 10}},
    };
    for (const Row& row : rows) {
        PlantBoth(row.roaming, row.common);
        StandInFailFolderLookups(CSIDL_APPDATA, row.failingRoamingLookups);

        RunUninstall();
        EXPECT_EQ(Report(), row.report) << row.shows;
        EXPECT_EQ(NamesLeft(roaming_), row.roamingLeft) << row.shows;
        EXPECT_EQ(NamesLeft(common_), row.commonLeft) << row.shows;
    }
}

TEST_F(UninstallRunTest, KnownFolderIsUsedOnlyWhenItIsAbsolute) {
    // The roaming folder's lookup hands back each row's text, as Windows hands back the registry's value.
    // inside/ (drive Y:, and the current folder)
    //   roaming/: V2 installation, also the share \\server\share
    //   SketchUp/SketchUp 2014/SketchUp/Plugins/SU_Varnok_V2/: decoy, what "Y:" taken for "Y:\" reaches
    //   decoy/SketchUp 2014/SketchUp/Plugins/SU_Varnok_V2/: decoy, the shares \\server\SketchUp and
    //     \\share\SketchUp, what a share with no share or server name followed by the plan's path reaches
    // Refused forms leave the installation, which a wrong reading reaches too, and both decoys.
    const fs::path inside = root_ / "inside";
    struct Row {
        std::wstring given;
        bool used;
        const char* shows;
    };
    const Row rows[] = {
        {L"Y:\\roaming", true, "a drive and its root"},
        {L"y:/roaming", true, "a lower-case drive and a forward slash"},
        {L"A:\\roaming", true, "the first drive letter"},
        {L"a:\\roaming", true, "... in lower case"},
        {L"Z:" + (inside / "roaming").wstring(), true, "the last drive letter"},
        {L"z:" + (inside / "roaming").wstring(), true, "... in lower case"},
        {L"@:\\roaming", false, "'@' comes before A"},
        {L"[:\\roaming", false, "'[' after Z"},
        {L"`:\\roaming", false, "'`' before a"},
        {L"{:\\roaming", false, "'{' after z"},
        {L"\\\\server\\share", true, "a server and a share"},
        {L"\\\\server\\s", true, "a share of one letter"},
        {L"\\\\server\\s\\", true, "... and a separator"},
        {L"\\\\?\\Y:\\roaming", true, "a device path to a drive"},
        {L"\\\\.\\Y:\\roaming", true, "the same in the device namespace"},
        {L"Y:", false, "a bare drive: its current folder"},
        {L"Y:roaming", false, "drive-relative"},
        {(inside / "roaming").wstring(), false, "rooted on the current drive"},
        {L"\\\\server", false, "a server with no share"},
        {L"\\\\server\\", false, "a share with no share name"},
        {L"\\\\\\share", false, "a share with no server name"},
        {L"\\\\\\server\\share", false, "three separators: no server name either"},
        {L"\\\\server\\\\share", false, "two separators after the server: no share name"},
        {L"r\\server\\share", false, "relative, its second character a separator"},
        {L"\\\\", false, "two separators alone"},
        {L"roaming", false, "relative"},
        {L"ro\\..\\roaming", false, "relative, its second character no colon"},
        {L".", false, "the current folder"},
        {L"", false, "empty"},
        {L"%APPDATA%", false, "an unexpanded variable"},
        {L"Y:\\" + std::wstring(300, L'x'), false, "longer than the buffer"},
    };
    const fs::path decoys[] = {Plugins(inside) / "SU_Varnok_V2" / "main.rb",
                               inside / "decoy" / "SketchUp 2014" / "SketchUp" / "Plugins" / "SU_Varnok_V2" / "main.rb"};
    for (const fs::path& decoy : decoys) MakeFile(decoy);
    const fs::path previous = fs::current_path();
    fs::current_path(inside);
    for (const Row& row : rows) {
        PlantBoth(Installation("SU_Varnok_V2"), {});
        StandInMapRoot(L"Y:", inside.string());
        StandInMapRoot(L"A:", inside.string());
        StandInMapRoot(L"\\\\server\\share", roaming_.string());
        StandInMapRoot(L"\\\\server\\s", roaming_.string());
        StandInMapRoot(L"\\\\server\\SketchUp", (inside / "decoy").string());
        StandInMapRoot(L"\\\\share\\SketchUp", (inside / "decoy").string());
        StandInGiveFolderPath(CSIDL_APPDATA, row.given);

        RunUninstall();
        EXPECT_EQ(Report(), row.used ? Found : NotFound) << row.shows;
        EXPECT_NE(Exists(Plugins(roaming_) / "SU_Varnok_V2"), row.used) << row.shows;
        for (const fs::path& decoy : decoys) EXPECT_TRUE(Exists(decoy)) << row.shows;
        EXPECT_EQ(StandInRefusalCount(), 0) << row.shows;
    }
    fs::current_path(previous);
}

TEST_F(UninstallRunTest, StepWhosePathWouldNotFitIsSkippedAlone) {
    // inside/ lll.../rrr/: SU_Varnok_V2/ and Veltrix_Section/ (empty), SU_Varnok_V2.rbs,
    // SU_Varnok_Section_Tool.rb, varnok_tools.rbs, the base folder each row's length in its Windows
    // form; programdata/: nothing. Of pass 1's relative paths, the longest (the file inside the product
    // folder) is 77 characters and the section tool's 65: a base folder of 195 lets every append but
    // those two fit, and one of 230 none.
    struct Row {
        std::size_t length;
        const char* report;
        std::set<std::string> left;
    };
    const Row rows[] = {
        {195, Found, {"SU_Varnok_Section_Tool.rb"}},
        {230, NotFound, {"SU_Varnok_V2", "SU_Varnok_V2.rbs", "SU_Varnok_Section_Tool.rb", "varnok_tools.rbs",
                         "Veltrix_Section"}},
    };
    for (const Row& row : rows) {
        fs::path base = root_ / "inside" / std::to_string(row.length);
        while (base.string().size() + 2 < row.length - 30) base /= std::string(20, 'l');
        base /= std::string(row.length - 2 - base.string().size() - 1, 'r');
        ASSERT_EQ(base.string().size() + 2, row.length);
        StandInReset();
        PlantNeighbours(base);
        Plant(base, {"SU_Varnok_V2/", "SU_Varnok_V2.rbs", "SU_Varnok_Section_Tool.rb", "varnok_tools.rbs",
                     "Veltrix_Section/"});
        ASSERT_EQ(setenv("APPDATA", base.c_str(), 1), 0);

        RunUninstall();
        EXPECT_EQ(Report(), row.report) << row.length;
        EXPECT_EQ(NamesLeft(base), row.left) << row.length;
    }
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
    std::vector<std::string> both = Installation("SU_Varnok_V2");
    for (const std::string& entry : Installation("SU_Varnok_V2.5")) both.push_back(entry);
    for (const Pass& pass : passes) {
        const fs::path base = pass.base == UserAppData ? roaming_ : common_;
        const fs::path other = pass.base == UserAppData ? common_ : roaming_;
        for (int step = 2; step <= 6; ++step) {
            PlantBoth(both, both);
            const auto untouched = NamesLeft(other);
            std::set<std::string> expected = NamesLeft(base);
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
            EXPECT_EQ(NamesLeft(base), expected) << row;
            EXPECT_EQ(NamesLeft(other), untouched) << row;
        }
    }
}

TEST_F(UninstallRunTest, ProcessRequestsComeBeforeAnythingElse) {
    // roaming/: V2 installation. With no SetDefaultDllDirectories, as before Windows 8, SetDllDirectoryW
    // drops the current folder from the search; with neither call there is nothing to ask.
    struct Row {
        std::vector<std::string> lacking;
        std::vector<std::string> requests;
    };
    const std::string dllSearch = "SetDefaultDllDirectories(0x800)";
    const std::string redirectionTrust = "SetProcessMitigationPolicy(16, 1, 4)";
    const Row rows[] = {
        {{}, {dllSearch, redirectionTrust}},
        {{"SetDefaultDllDirectories"}, {"SetDllDirectoryW(\"\")", redirectionTrust}},
        {{"SetProcessMitigationPolicy"}, {dllSearch}},
        {{"SetDefaultDllDirectories", "SetDllDirectoryW", "SetProcessMitigationPolicy"}, {}},
    };
    for (const Row& row : rows) {
        PlantBoth(Installation("SU_Varnok_V2"), {});
        for (const std::string& name : row.lacking) StandInLackKernelFunction(name);

        RunUninstall();
        std::vector<std::string> first = StandInCalls();
        first.resize(row.requests.size() + 1);
        std::vector<std::string> expected = row.requests;
        expected.push_back("SHGetFolderPathW");
        EXPECT_EQ(first, expected) << row.lacking.size() << " lacking";
        EXPECT_EQ(Report(), Found);
    }
}

TEST_F(UninstallRunTest, BothLookupsFailingRunsNoStep) {
    // roaming/: V2 installation, but neither known folder resolves
    Plant(roaming_, Installation("SU_Varnok_V2"));
    const auto before = Snapshot(root_ / "inside");
    unsetenv("APPDATA");
    unsetenv("ProgramData");

    RunUninstall();
    EXPECT_EQ(Report(), NotFound);
    EXPECT_EQ(Snapshot(root_ / "inside"), before);
}

TEST_F(UninstallRunTest, FolderOnTheWayIsTrustedOnlyBelowTheUsersOwnFolder) {
    // roaming/ or programdata/: V2 and V2.5 installations beside other vendors' plug-ins, reached
    // through SketchUp/SketchUp 2014/SketchUp/Plugins, one of which is a link to the same path under
    // elsewhere/, or cannot have its attributes read. Every user can create folders below the shared
    // folder, so there neither is passed; the user's own folder is trusted down to the plug-in folder.
    const fs::path elsewhere = root_ / "inside" / "elsewhere";
    std::vector<std::string> both = Installation("SU_Varnok_V2");
    for (const std::string& entry : Installation("SU_Varnok_V2.5")) both.push_back(entry);
    const fs::path levels[] = {"SketchUp", "SketchUp/SketchUp 2014", "SketchUp/SketchUp 2014/SketchUp",
                               "SketchUp/SketchUp 2014/SketchUp/Plugins"};
    for (const bool shared : {true, false}) {
        for (const bool link : {true, false}) {
            for (const fs::path& level : levels) {
                const fs::path base = shared ? common_ : roaming_;
                const fs::path installed = link ? elsewhere : base;
                PlantBoth({}, {});
                fs::remove_all(elsewhere);
                PlantNeighbours(installed);
                Plant(installed, both);
                if (link) {
                    fs::remove_all(base / level);
                    fs::create_directory_symlink(elsewhere / level, base / level);
                } else {
                    StandInFailAttributes((base / level).wstring());
                }
                const auto before = Snapshot(installed);

                RunUninstall();
                const std::string row = std::string(shared ? "shared folder, " : "roaming folder, ") +
                                        (link ? "link at " : "unreadable ") + level.string();
                EXPECT_EQ(Report(), shared ? NotFound : Found) << row;
                if (shared) {
                    EXPECT_EQ(Snapshot(installed), before) << row;
                } else {
                    EXPECT_EQ(NamesLeft(installed), std::set<std::string>{}) << row;
                }
            }
        }
    }
}

TEST_F(UninstallRunTest, ProgramExitsWithStatusOneAndPrintsTheReport) {
    // roaming/: V2.5 installation
    Plant(roaming_, Installation("SU_Varnok_V2.5"));

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
