// The whole run against planted installations below the two known folders, through the test seam.
#include "app/uninstall.h"

#include "temp_tree.h"

#include <algorithm>
#include <set>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int);

namespace {

class UninstallRunTest : public SeamedTest {
protected:
    void SetUp() override {
        SeamedTest::SetUp();
        // inside/ roaming/, programdata/ (the two known folders, as the seam gives them)
        roaming_ = root_ / "inside" / "roaming";
        common_ = root_ / "inside" / "programdata";
        ASSERT_TRUE(fs::create_directories(roaming_));
        ASSERT_TRUE(fs::create_directories(common_));
    }

    // The next row: the seam afresh, with the known folders at roaming/ and programdata/.
    void ResetSeam() {
        NextRow();
        SeamGiveFolderPath(CSIDL_APPDATA, roaming_.wstring());
        SeamGiveFolderPath(CSIDL_COMMON_APPDATA, common_.wstring());
    }

    // Both plug-in folders afresh, each with other vendors' plug-ins and the entries given for it, for
    // the next row; false as Plant.
    bool PlantBoth(const std::vector<std::string>& roaming, const std::vector<std::string>& common) {
        ResetSeam();
        LetGo();
        bool planted = true;
        for (const auto& [base, entries] : {std::pair{roaming_, roaming}, std::pair{common_, common}}) {
            RemoveAll(base / "SketchUp");
            planted = Plant(Plugins(base), Neighbours) && Plant(Plugins(base), entries) && planted;
        }
        return planted;
    }

    static std::string TopName(const std::string& entry) { return entry.substr(0, entry.find('/')); }

    // The names in base's plug-in folder, less the other vendors' plug-ins, each of which must be there.
    static std::set<std::string> NamesLeft(const fs::path& base) {
        std::set<std::string> left = Names(Plugins(base));
        for (const std::string& neighbour : Neighbours) EXPECT_EQ(left.erase(TopName(neighbour)), 1u) << neighbour << " went";
        return left;
    }

    // One run through the program's entry, which returns 1 whatever happened.
    static void Run(const std::string& when = "") {
        wchar_t noArguments[] = L"";
        EXPECT_EQ(wWinMain(nullptr, nullptr, noArguments, SW_SHOWDEFAULT), 1) << when;
    }

    // The one message box's text, with its caption, style and owner (none) checked.
    static std::string Report() {
        std::vector<std::string> boxes;
        for (const std::wstring& call : SeamCalls()) {
            if (call.rfind(L"MessageBoxA(", 0) == 0) boxes.push_back(fs::path(call.substr(12, call.size() - 13)).string());
        }
        EXPECT_EQ(boxes.size(), 1u);
        if (boxes.empty()) return "";
        const std::string text = boxes[0].substr(0, boxes[0].find('|'));
        const bool warning = text == Left || text == LeftShared;
        EXPECT_EQ(boxes[0], text + "|" + Caption + "|" +
                                std::to_string(MB_OK | (warning ? MB_ICONWARNING : MB_ICONINFORMATION)) + "|0");
        return text;
    }

    fs::path roaming_;
    fs::path common_;
};

TEST_F(UninstallRunTest, ReportSaysWhatStayedAndWhere) {
    // roaming/ and programdata/: other vendors' plug-ins, and each row's entries below the plug-in
    // folder (written as Plant takes them); outside/ holds what the links point at. A row may have known
    // folder lookups fail, and calls refused on paths below the plug-in folders ("R" roaming, "C" shared).
    struct Refusal {
        const wchar_t* function;
        char base;
        const char* below;
    };
    struct Row {
        const char* shows;
        std::vector<std::string> roaming, common;
        const char* report;
        std::set<std::string> roamingLeft, commonLeft;  // beside the other vendors' plug-ins
        std::map<int, std::set<int>> failingLookups = {};  // by known folder, counted from 1
        std::vector<Refusal> refused = {};
    };
    const std::vector<std::string> looseFolders = {"SU_Varnok_V2.rbs/a.rb", "SU_Varnok_Section_Tool.rb/a.rb",
                                                   "varnok_tools.rbs/a.rb"};
    const std::set<std::string> looseFolderNames = {"SU_Varnok_V2.rbs", "SU_Varnok_Section_Tool.rb", "varnok_tools.rbs"};
    const bool linksStay = !LinkThatHoldsAnythingIsRemoved();
    const std::set<std::string> none, everything = {"SU_Varnok_V2", "SU_Varnok_V2.rbs", "SU_Varnok_V2.5",
                                                     "SU_Varnok_V2.5.rbs", "SU_Varnok_Section_Tool.rb",
                                                     "varnok_tools.rbs", "Veltrix_Section"};
    const int U = CSIDL_APPDATA, C = CSIDL_COMMON_APPDATA;
    const Row rows[] = {
        {"nothing installed", {}, {}, NotFound, {}, {}},
        {"both first lookups fail: no step runs", BothInstallations(), BothInstallations(), NotFound, everything,
         everything, {{U, {1, 2}}, {C, {1, 2}}}},
        {"the roaming folder's first lookups fail: its passes are skipped whole", BothInstallations(),
         BothInstallations(), Found, everything, {}, {{U, {1, 2}}}},
        {"V2 and V2.5 side by side under both folders", BothInstallations(), BothInstallations(), Found, {}, {}},
        {"an empty product folder counts as found", {}, {"SU_Varnok_V2.5/", "SU_Varnok_V2.5.rbs"}, Found, {}, {}},
        {"V2.5 alone under the user's folder", {"SU_Varnok_V2.5/main.rb"}, {}, Found, {}, {}},
        {"files in place of the product and companion folders stay; loose files and the companion folder go "
         "unreported",
         {"SU_Varnok_V2", "Veltrix_Section", "SU_Varnok_V2.rbs", "varnok_tools.rbs"}, {"!Veltrix_Section/deep/a.rb"},
         NotFound, {"SU_Varnok_V2", "Veltrix_Section"}, {}},
        {"folders in place of the loose files stay with what they hold, unreported", looseFolders, looseFolders,
         NotFound, looseFolderNames, looseFolderNames},
        {"a read-only loose file stays unreported", Installation("SU_Varnok_V2"), {"!varnok_tools.rbs"}, Found, {},
         {"varnok_tools.rbs"}},
        {"a loose file held open stays unreported", {"SU_Varnok_V2/main.rb", "#SU_Varnok_V2.rbs"}, {}, Found,
         {"SU_Varnok_V2.rbs"}, {}},
        {"a companion folder held open stays unreported, under either folder", {"#Veltrix_Section/a.rb"},
         {"#Veltrix_Section/a.rb"}, NotFound, {"Veltrix_Section"}, {"Veltrix_Section"}},
        {"... beside a product that went", {"SU_Varnok_V2/", "#Veltrix_Section/"}, {}, Found, {"Veltrix_Section"}, {}},
        {"a product held open under the user's folder", {"SU_Varnok_V2/main.rb", "#SU_Varnok_V2/plug_in/x.rb"},
         {"SU_Varnok_V2.5/"}, Left, {"SU_Varnok_V2"}, {}},
        {"a product held open under the shared folder needs an administrator", {"SU_Varnok_V2/"},
         {"#SU_Varnok_V2.5/plug_in/varnok_tools.rbs"}, LeftShared, {}, {"SU_Varnok_V2.5"}},
        {"... whatever stays under the user's folder", {"#SU_Varnok_V2.5/a.rb"}, {"#SU_Varnok_V2/a.rb"}, LeftShared,
         {"SU_Varnok_V2.5"}, {"SU_Varnok_V2"}},
        {"a read-only product folder stays: Windows refuses to remove it", {"!SU_Varnok_V2/"}, {}, Left,
         {"SU_Varnok_V2"}, {}},
        {"a product folder whose listing is refused stays, and is reported with the advice for its folder",
         {"SU_Varnok_V2/main.rb"}, {"SU_Varnok_V2.5/main.rb"}, LeftShared, {"SU_Varnok_V2"}, {"SU_Varnok_V2.5"}, {},
         {{L"FindFirstFileW", 'R', "SU_Varnok_V2\\*.*"}, {L"FindFirstFileW", 'C', "SU_Varnok_V2.5\\*.*"}}},
        {"... under the user's folder alone", {"SU_Varnok_V2/main.rb"}, {}, Left, {"SU_Varnok_V2"}, {}, {},
         {{L"FindFirstFileW", 'R', "SU_Varnok_V2\\*.*"}}},
        {"a product folder whose attributes cannot be read is left alone, and reported", {"SU_Varnok_V2.5/main.rb"},
         {}, Left, {"SU_Varnok_V2.5"}, {}, {}, {{L"GetFileAttributesW", 'R', "SU_Varnok_V2.5"}}},
        {"a file whose attributes cannot be written is deleted all the same", {"SU_Varnok_V2/main.rb"}, {}, Found, {},
         {}, {}, {{L"SetFileAttributesW", 'R', "SU_Varnok_V2\\main.rb"}}},
        {"a product folder that is a link is found, and its target is never touched; where the link stays, so "
         "does the report",
         {"SU_Varnok_V2 -> dir"}, {"SU_Varnok_V2.5 -> dir", "Veltrix_Section -> dir"}, linksStay ? LeftShared : Found,
         linksStay ? std::set<std::string>{"SU_Varnok_V2"} : none,
         linksStay ? std::set<std::string>{"SU_Varnok_V2.5", "Veltrix_Section"} : none},
        {"a failed later lookup skips only its own step: pass 4's third, and pass 1's fourth (the tools file, which "
         "pass 4's fifth step then deletes)",
         {"varnok_tools.rbs"}, {}, NotFound, {}, {}, {{U, {4, 9}}}},
        {"a file step never reaches through a link that survived, and the next step runs (pass 4's lookups for "
         "Veltrix_Section fail, however many steps before it ran)",
         {"SU_Varnok_V2/main.rb", "SU_Varnok_V2/plug_in -> dir", "Veltrix_Section/a.rb"}, {}, linksStay ? Left : Found,
         linksStay ? std::set<std::string>{"SU_Varnok_V2"} : none, {}, {{U, {9, 10}}}},
        {"a file link inside a product folder is removed as a link; its read-only target is untouched",
         {"SU_Varnok_V2/main.rb", "SU_Varnok_V2/plug_in/tools.rb ~> readonly.txt"}, {}, Found, {}, {}},
        {"a file link in the product folder's place is left alone, and not found", {"SU_Varnok_V2 ~> keep.txt"}, {},
         NotFound, {"SU_Varnok_V2"}, {}},
    };
    for (const Row& row : rows) {
        if (!PlantBoth(row.roaming, row.common)) continue;
        for (const auto& [csidl, numbers] : row.failingLookups) SeamFailFolderLookups(csidl, numbers);
        for (const Refusal& refusal : row.refused) {
            SeamFailOn(refusal.function, (Plugins(refusal.base == 'R' ? roaming_ : common_) / refusal.below).wstring());
        }

        Run(row.shows);
        EXPECT_EQ(Report(), row.report) << row.shows;
        EXPECT_EQ(NamesLeft(roaming_), row.roamingLeft) << row.shows;
        EXPECT_EQ(NamesLeft(common_), row.commonLeft) << row.shows;
    }
}

TEST_F(UninstallRunTest, KnownFolderIsUsedOnlyWhenItIsAbsolute) {
    // The roaming folder's lookup hands back each row's text, as Windows hands back the registry's value.
    // inside/ (drives Y:, A: and Z:, and the current folder)
    //   roaming/: V2 installation, also the shares \\server\share and \\server\s
    //   SketchUp/SketchUp 2014/SketchUp/Plugins/SU_Varnok_V2/: decoy, what "Y:" taken for "Y:\" reaches
    //   decoy/SketchUp 2014/SketchUp/Plugins/SU_Varnok_V2/: decoy, the shares \\server\SketchUp and
    //     \\share\SketchUp, what a share with no share or server name followed by the plan's path reaches
    // Refused forms leave the installation, which a wrong reading reaches too, and both decoys.
    const fs::path inside = root_ / "inside";
    const std::wstring rooted = (inside / "roaming").wstring().substr(2);
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
        {L"Z:\\roaming", true, "the last drive letter"},
        {L"z:\\roaming", true, "... in lower case"},
        {L"@:\\roaming", false, "'@' comes before A"},
        {L"[:\\roaming", false, "'[' after Z"},
        {L"`:\\roaming", false, "'`' before a"},
        {L"{:\\roaming", false, "'{' after z"},
        {L"\\\\server\\share", true, "a server and a share"},
        {L"\\\\server/share", true, "a forward slash after the server"},
        {L"//server/share", true, "forward slashes throughout"},
        {L"\\/server\\share", true, "a backslash and a slash before the server"},
        {L"\\\\server\\s", true, "a share of one letter"},
        {L"\\\\server\\s\\", true, "... and a separator"},
        {L"\\\\?\\Y:\\roaming", true, "a device path to a drive"},
        {L"Y:", false, "a bare drive: its current folder"},
        {L"Y:roaming", false, "drive-relative"},
        {rooted, false, "rooted on the current drive"},
        {L"\\\\server", false, "a server with no share"},
        {L"\\\\server\\", false, "a share with no share name"},
        {L"\\\\server/", false, "... after a forward slash"},
        {L"\\\\\\share", false, "a share with no server name"},
        {L"\\\\\\server\\share", false, "three separators: no server name either"},
        {L"\\\\server\\\\share", false, "two separators after the server: no share name"},
        {L"\\\\server/\\share", false, "... a slash and a backslash"},
        {L"\\\\server\\/share", false, "... a backslash and a slash"},
        {L"r\\server\\share", false, "relative, its second character a separator"},
        {L"\\\\", false, "two separators alone"},
        {L"roaming", false, "relative"},
        {L"ro\\..\\roaming", false, "relative, its second character no colon"},
        {L".", false, "the current folder"},
        {L"", false, "empty"},
        {L"%APPDATA%", false, "an unexpanded variable"},
    };
    const fs::path decoys[] = {Plugins(inside) / "SU_Varnok_V2" / "main.rb",
                               inside / "decoy" / "SketchUp 2014" / "SketchUp" / "Plugins" / "SU_Varnok_V2" / "main.rb"};
    for (const fs::path& decoy : decoys) MakeFile(decoy);
    const bool drives = MapRoot(L"y:", inside) && MapRoot(L"a:", inside) && MapRoot(L"z:", inside);
    const bool shares = MapRoot(L"unc\\server\\share", roaming_) && MapRoot(L"unc\\server\\s", roaming_) &&
                        MapRoot(L"unc\\server\\sketchup", inside / "decoy") && MapRoot(L"unc\\share\\sketchup", inside / "decoy");
    const fs::path previous = fs::current_path();
    fs::current_path(inside);
    for (const Row& row : rows) {
        const bool share = row.given.find(L"server") != std::wstring::npos || row.given.find(L"share") != std::wstring::npos;
        if (row.used && !(share ? shares : drives)) continue;  // the mapping noted the skip, or failed the test
        PlantBoth(Installation("SU_Varnok_V2"), {});
        SeamGiveFolderPath(CSIDL_APPDATA, row.given);

        Run();
        EXPECT_EQ(Report(), row.used ? Found : NotFound) << row.shows;
        EXPECT_NE(Exists(Plugins(roaming_) / "SU_Varnok_V2"), row.used) << row.shows;
        const std::vector<std::wstring> calls = SeamCalls();
        const auto appends = std::count_if(calls.begin(), calls.end(), [](const std::wstring& call) {
            return call.rfind(L"PathAppendW(", 0) == 0;
        });
        EXPECT_EQ(appends, row.used ? 24 : 12) << row.shows << ": a refused folder's passes compose no path";
        for (const fs::path& decoy : decoys) EXPECT_TRUE(Exists(decoy)) << row.shows;
    }
    fs::current_path(previous);
}

TEST_F(UninstallRunTest, PathLengthDecidesWhatCanBeReached) {
    // inside/ lll.../rrr/: SU_Varnok_V2/ and Veltrix_Section/ (empty), SU_Varnok_V2.rbs,
    // SU_Varnok_Section_Tool.rb, varnok_tools.rbs, the base folder each row's length; programdata/:
    // nothing. Of pass 1's relative paths, the longest (the file inside the product folder) is 77
    // characters, the section tool's 65, the loose files' 56, the companion folder's 55 and the product
    // folder's 52. A step whose path does not fit the buffer is skipped alone; a folder whose path fits
    // but whose listing pattern ("\*.*") reaches MAX_PATH cannot be listed, and a product folder that
    // stays so is reported: its path is 255 (it goes), 256 or 259 characters long at 202, 203 and 206.
    struct Row {
        std::size_t length;
        const char* report;
        std::set<std::string> left;
    };
    const std::set<std::string> all = {"SU_Varnok_V2", "SU_Varnok_V2.rbs", "SU_Varnok_Section_Tool.rb",
                                       "varnok_tools.rbs", "Veltrix_Section"};
    const Row rows[] = {
        {195, Found, {"SU_Varnok_Section_Tool.rb"}},
        {202, Found, {"SU_Varnok_Section_Tool.rb", "Veltrix_Section"}},
        {203, Left, all},
        {206, Left, all},
        {230, NotFound, all},
    };
    for (const Row& row : rows) {
        fs::path base = root_ / "inside" / std::to_string(row.length);
        while (base.wstring().size() < row.length - 30) base /= std::string(20, 'l');
        base /= std::string(row.length - base.wstring().size() - 1, 'r');
        ASSERT_EQ(base.wstring().size(), row.length);
        ResetSeam();
        SeamGiveFolderPath(CSIDL_APPDATA, base.wstring());
        Plant(Plugins(base), Neighbours);
        Plant(Plugins(base), {"SU_Varnok_V2/", "SU_Varnok_V2.rbs", "SU_Varnok_Section_Tool.rb", "varnok_tools.rbs",
                     "Veltrix_Section/"});

        Run();
        EXPECT_EQ(Report(), row.report) << row.length;
        EXPECT_EQ(NamesLeft(base), row.left) << row.length;
    }
}

TEST_F(UninstallRunTest, ProcessRequestsComeBeforeAnythingElse) {
    // roaming/: V2 installation. With no SetDefaultDllDirectories, as before Windows 8, SetDllDirectoryW
    // drops the current folder from the search; with neither call there is nothing to ask.
    struct Row {
        std::vector<std::string> lacking;
        std::vector<std::wstring> requests;
    };
    const std::wstring dllSearch = L"SetDefaultDllDirectories(2048)";
    const std::wstring redirectionTrust = L"SetProcessMitigationPolicy(16, 1, 4)";
    const Row rows[] = {
        {{}, {dllSearch, redirectionTrust}},
        {{"SetDefaultDllDirectories"}, {L"SetDllDirectoryW()", redirectionTrust}},
        {{"SetProcessMitigationPolicy"}, {dllSearch}},
        {{"SetDefaultDllDirectories", "SetDllDirectoryW", "SetProcessMitigationPolicy"}, {}},
    };
    for (const Row& row : rows) {
        PlantBoth(Installation("SU_Varnok_V2"), {});
        for (const std::string& name : row.lacking) SeamLackKernelFunction(name);

        Run();
        std::vector<std::wstring> first;
        for (const std::wstring& call : SeamCalls()) {
            if (call.rfind(L"GetModuleHandleW(", 0) != 0 && call.rfind(L"GetProcAddress(", 0) != 0) first.push_back(call);
        }
        first.resize(row.requests.size() + 1);
        std::vector<std::wstring> expected = row.requests;
        expected.push_back(L"SHGetFolderPathW(26)");
        EXPECT_EQ(first, expected) << row.lacking.size() << " lacking";
        EXPECT_EQ(Report(), Found);
    }
}

TEST_F(UninstallRunTest, MissingSharedFolderSkipsItsPasses) {
    // roaming/: V2 and V2.5 installations; C:\ProgramData renamed away, so that Windows' own lookup of
    // the shared folder fails (Wine's runner only). No call names a path below it, and the user's
    // passes still run.
    if (!HandsAvailable()) GTEST_SKIP() << "renames C:\\ProgramData: Wine's runner only";
    PlantBoth(BothInstallations(), {});
    NextRow();
    SeamGiveFolderPath(CSIDL_APPDATA, roaming_.wstring());
    ASSERT_TRUE(MoveFileW(L"C:\\ProgramData", L"C:\\ProgramData.away"));
    OnTearDown([] { EXPECT_TRUE(MoveFileW(L"C:\\ProgramData.away", L"C:\\ProgramData")); });

    Run();
    EXPECT_EQ(Report(), Found);
    EXPECT_EQ(NamesLeft(roaming_), std::set<std::string>{});
    for (const std::wstring& call : SeamCalls()) EXPECT_EQ(call.find(L"ProgramData"), std::wstring::npos) << fs::path(call).string();
}

TEST_F(UninstallRunTest, FolderOnTheWayIsTrustedOnlyBelowTheUsersOwnFolder) {
    // roaming/ or programdata/: V2 and V2.5 installations beside other vendors' plug-ins, reached
    // through SketchUp/SketchUp 2014/SketchUp/Plugins, one of which is a link to the same path under
    // elsewhere/, or cannot have its attributes read. Every user can create folders below the shared
    // folder, so there neither is passed; the user's own folder is trusted down to the plug-in folder.
    const fs::path elsewhere = root_ / "inside" / "elsewhere";
    const fs::path levels[] = {L"SketchUp", L"SketchUp\\SketchUp 2014", L"SketchUp\\SketchUp 2014\\SketchUp",
                               PluginsRelative};
    for (const bool shared : {true, false}) {
        for (const bool link : {true, false}) {
            for (const fs::path& level : levels) {
                const fs::path base = shared ? common_ : roaming_;
                const fs::path installed = link ? elsewhere : base;
                PlantBoth({}, {});
                RemoveAll(elsewhere);
                Plant(Plugins(installed), Neighbours);
                Plant(Plugins(installed), BothInstallations());
                if (link) {
                    RemoveAll(base / level);
                    if (!Hands(L"junction|" + (base / level).wstring() + L"|" + (elsewhere / level).wstring())) continue;
                } else {
                    SeamFailOn(L"GetFileAttributesW", (base / level).wstring());
                }
                const auto before = Snapshot(installed);

                Run();
                const std::string row = std::string(shared ? "shared folder, " : "roaming folder, ") +
                                        (link ? "link at " : "unreadable ") + level.string();
                EXPECT_EQ(Report(), shared ? LeftShared : Found) << row << ": never passed, and said to be there";
                if (shared) {
                    EXPECT_EQ(Snapshot(installed), before) << row;
                } else {
                    EXPECT_EQ(NamesLeft(installed), std::set<std::string>{}) << row;
                }
            }
        }
    }
}

TEST_F(UninstallRunTest, EveryCallFailingInTurnStillLeavesAllButThePlanAlone) {
    // roaming/ and programdata/: V2 and V2.5 installations with read-only files, other vendors' plug-ins,
    // a file held open in the user's V2 folder, and below the shared folder links to outside/dir (a
    // product's plug_in/cache and Veltrix_Section/cache; they hold their target's files, so under Wine
    // they survive every run). The reference run fails nothing; then the Nth call of the run fails, for
    // every N the reference run made: alone, and with every later call but the box's, as when a disk or
    // share goes away halfway. Whatever fails, nothing outside the plan changes, nothing is entered
    // through a link, every listing is closed once, the exit status is 1, and a product folder that stays
    // after its step ran is reported with the advice for where it stays.
    std::vector<std::string> roaming = BothInstallations(), common = BothInstallations();
    roaming.push_back("#SU_Varnok_V2/plug_in/held.rb");
    const std::vector<fs::path> links = {Plugins(common_) / "SU_Varnok_V2.5" / "plug_in" / "cache",
                                         Plugins(common_) / "Veltrix_Section" / "cache"};
    PlantBoth({}, {});  // the other vendors' plug-ins, once
    for (const bool onward : {false, true}) {
        std::size_t calls = 1;
        for (std::size_t failing = 0; failing < calls; ++failing) {
            ResetSeam();
            LetGo();
            for (const fs::path& link : links) {  // made once under Wine, which cannot remove them
                if (Exists(link) || !MakeFolders(link.parent_path())) continue;
                if (!Hands(L"junction|" + link.wstring() + L"|" + (outside_ / "dir").wstring())) return;
            }
            Plant(Plugins(roaming_), roaming);
            Plant(Plugins(common_), common);
            SeamFailCalls(failing, onward);
            const auto failed = [&](std::size_t number) {
                return number == failing || (onward && failing != 0 && number > failing);
            };

            const std::string when = "when call " + std::to_string(failing) + (onward ? " and all after it fail" : " fails");
            Run(when);
            const std::vector<std::wstring> record = SeamCalls();
            if (failing == 0) calls = record.size() + 1;
            ExpectOutsideUnchanged(when);
            NamesLeft(roaming_), NamesLeft(common_);  // each other vendor's plug-in is still there
            ExpectListingsClosed();
            for (const std::wstring& call : record) {
                for (const fs::path& link : links) {
                    EXPECT_EQ(call.find(link.wstring() + L"\\"), std::wstring::npos) << when << ": entered a link";
                }
            }
            // A product step ran when its path was composed: its append was made, and did not fail.
            bool leftInRoaming = false, leftInCommon = false;
            fs::path base;
            for (std::size_t number = 1; number <= record.size(); ++number) {
                const std::wstring& call = record[number - 1];
                if (call.rfind(L"SHGetFolderPathW(", 0) == 0) base = call == L"SHGetFolderPathW(26)" ? roaming_ : common_;
                for (const char* product : {"SU_Varnok_V2", "SU_Varnok_V2.5"}) {
                    const bool ran = !failed(number) && call == L"PathAppendW(" + PluginsRelative + L"\\" +
                                                                    fs::path(product).wstring() + L")";
                    if (ran && Exists(Plugins(base) / product)) (base == common_ ? leftInCommon : leftInRoaming) = true;
                }
            }
            const std::string report = Report();
            if (leftInCommon) {
                EXPECT_EQ(report, LeftShared) << when;
            } else if (leftInRoaming) {
                EXPECT_EQ(report, Left) << when;
            }
            if (HasFailure()) return;  // one failing call is enough to read
        }
        EXPECT_GT(calls, 200u) << "the reference run made the calls of a whole installation";
    }
}

}  // namespace
