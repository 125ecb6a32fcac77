// Uninstaller.exe itself, started as a process of its own on installations planted in the known folders
// it reads: its box found, read and closed as a user would, its exit status, and every file it touched.
#include "temp_tree.h"

#include <algorithm>
#include <cstdlib>
#include <tuple>

namespace {

// Set by whoever runs the suite on a machine that is thrown away after it (Wine's runner, the Windows
// job): only then does the suite plant below the shared folder and the default roaming folder.
const char ThrowawayVariable[] = "UNINSTALLER_THROWAWAY_MACHINE";
const wchar_t UserShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const wchar_t SavedRoamingFolder[] = L"Software\\uninstaller2014-tests";

// What a user sees of one run, and what it ended with.
struct Box {
    bool shown = false;
    std::string text, icon;
    std::vector<int> buttons;
    DWORD exitCode = STILL_ACTIVE;
    std::map<std::wstring, std::string> atBox;  // the watched files while the box was up
};

fs::path Beside(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path() / name;
}

// Starts `program` in `folder`; null when it did not start.
HANDLE Start(const fs::path& program, const std::wstring& arguments, const fs::path& folder) {
    std::wstring line = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &started)) {
        return nullptr;
    }
    CloseHandle(started.hThread);
    return started.hProcess;
}

std::string TextOf(HWND window) {
    wchar_t text[512] = {};
    DWORD_PTR length = 0;  // WM_GETTEXT, since GetWindowTextW reads no control of another process
    SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &length);
    return fs::path(text).string();
}

// The visible message box of `process` with the suite's caption, or null.
HWND BoxOf(DWORD process) {
    const std::wstring caption = fs::u8path(Caption).wstring();
    for (HWND box = nullptr; (box = FindWindowExW(nullptr, box, L"#32770", caption.c_str())) != nullptr;) {
        DWORD owner = 0;
        GetWindowThreadProcessId(box, &owner);
        if (owner == process && IsWindowVisible(box)) return box;
    }
    return nullptr;
}

// The entries that differ between `wanted` and `found`, one a line, or nothing.
std::string Differences(const std::map<std::wstring, std::string>& wanted, const std::map<std::wstring, std::string>& found) {
    std::string said;
    for (const auto& [one, other, what] : {std::tuple{&wanted, &found, "missing: "}, std::tuple{&found, &wanted, "not expected: "}}) {
        for (const auto& [path, description] : *one) {
            const auto match = other->find(path);
            if (match == other->end() || match->second != description) said += what + fs::path(path).string() + " " + description + "\n";
        }
    }
    return said;
}

// Which system icon `control` shows on the screen, by its colours: "warning" where yellow covers a
// tenth of it, "information" where blue does (Windows' and Wine's icons alike), else "none".
std::string IconShown(HWND control) {
    RECT area = {};
    GetWindowRect(control, &area);
    HDC screen = GetDC(nullptr);
    int yellow = 0, blue = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            const COLORREF pixel = GetPixel(screen, x, y);
            yellow += GetRValue(pixel) > 180 && GetGValue(pixel) > 140 && GetBValue(pixel) < 110;
            blue += GetBValue(pixel) > 150 && GetRValue(pixel) < 110;
        }
    }
    ReleaseDC(nullptr, screen);
    const int tenth = (area.right - area.left) * (area.bottom - area.top) / 10;
    return yellow >= tenth && yellow > blue ? "warning" : blue >= tenth ? "information" : "none";
}

class EndToEndTest : public TempTreeTest {
protected:
    void SetUp() override {
        TempTreeTest::SetUp();
        // inside/ roaming/ (the registry's roaming folder for the test), run/ (Uninstaller.exe), and
        // below the shared folder's SketchUp/ only what a test plants, removed when it ends
        roaming_ = root_ / "inside" / "roaming";
        run_ = root_ / "inside" / "run";
        ASSERT_TRUE(fs::create_directories(roaming_) && fs::create_directories(run_));
        ASSERT_TRUE(fs::copy_file(Beside(L"Uninstaller.exe"), run_ / "Uninstaller.exe"));
        RedirectRoamingFolder();
        const char* throwaway = std::getenv(ThrowawayVariable);
        wchar_t common[MAX_PATH] = {};
        throwaway_ = throwaway != nullptr && std::string(throwaway) == "1" &&
                     SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common));
        common_ = common;
        if (throwaway_) {
            ASSERT_FALSE(Exists(common_ / "SketchUp")) << "a real installation is never touched: " << common_ / "SketchUp";
            OnTearDown([this] { RemoveAll(common_ / "SketchUp"); });
        }
    }

    // The reason a test that plants below the shared folder does not run, or empty when it may.
    std::string SharedFolderRefused() const {
        return throwaway_ ? "" : std::string("plants below the shared folder: set ") + ThrowawayVariable +
                                     "=1 on a machine that is thrown away after the run";
    }

    // Puts back the roaming folder that a run saved, and forgets it; nothing when none was saved.
    static void RestoreRoamingFolder() {
        std::vector<BYTE> value(4096);
        DWORD type = 0, size = static_cast<DWORD>(value.size());
        if (RegGetValueW(HKEY_CURRENT_USER, SavedRoamingFolder, L"AppData", RRF_RT_ANY | RRF_NOEXPAND, &type,
                         value.data(), &size) != ERROR_SUCCESS) {
            return;
        }
        EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, UserShellFolders, L"AppData", type, value.data(), size), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, SavedRoamingFolder), ERROR_SUCCESS);
    }

    // Points the user's roaming folder, as Windows reads it from the registry, at roaming/ until the test
    // ends. Its value is saved under a key of the suite's own first, so that the next run puts back what
    // a run killed halfway left.
    void RedirectRoamingFolder() {
        RestoreRoamingFolder();
        wchar_t standing[MAX_PATH] = {};
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, standing), S_OK);
        defaultRoaming_ = standing;
        std::vector<BYTE> value(4096);
        DWORD type = 0, size = static_cast<DWORD>(value.size());
        ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, UserShellFolders, L"AppData", RRF_RT_ANY | RRF_NOEXPAND, &type,
                               value.data(), &size), ERROR_SUCCESS);
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, SavedRoamingFolder, L"AppData", type, value.data(), size), ERROR_SUCCESS);
        OnTearDown(RestoreRoamingFolder);
        const std::wstring redirected = roaming_.wstring();
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, UserShellFolders, L"AppData", REG_EXPAND_SZ, redirected.c_str(),
                                  static_cast<DWORD>((redirected.size() + 1) * sizeof(wchar_t))), ERROR_SUCCESS);
    }

    // Every file the suite watches: inside/, and what it planted below the shared and the default roaming folder.
    std::map<std::wstring, std::string> Watched() const {
        std::map<std::wstring, std::string> all = Snapshot(root_ / "inside");
        for (const fs::path& folder : {common_ / "SketchUp", defaultRoaming_ / "SketchUp"}) all.merge(Snapshot(folder));
        return all;
    }

    // `before` less every entry at or below the given plug-in entries of `base`.
    static std::map<std::wstring, std::string> Without(std::map<std::wstring, std::string> before, const fs::path& base,
                                                       const std::vector<std::string>& gone) {
        for (const std::string& entry : gone) {
            const std::wstring path = (Plugins(base) / fs::u8path(entry)).make_preferred().wstring();
            for (auto it = before.begin(); it != before.end();) {
                it = it->first == path || it->first.rfind(path + L"\\", 0) == 0 ? before.erase(it) : std::next(it);
            }
        }
        return before;
    }

    // One run of run/Uninstaller.exe, watched as a user sees it: its box found (within two minutes, for a
    // loaded machine), read, and closed with its OK button.
    Box RunUninstaller() const {
        Box box;
        HANDLE process = Start(run_ / "Uninstaller.exe", L"", run_);
        EXPECT_NE(process, nullptr) << "Uninstaller.exe did not start: " << GetLastError();
        if (process == nullptr) return box;
        HWND found = nullptr;
        for (int wait = 0; wait < 1200 && found == nullptr && WaitForSingleObject(process, 100) == WAIT_TIMEOUT; ++wait) {
            found = BoxOf(GetProcessId(process));
        }
        if (found != nullptr) {
            box.shown = true;
            box.atBox = Watched();
            std::vector<HWND> icons, buttons;
            for (HWND control = GetWindow(found, GW_CHILD); control != nullptr; control = GetWindow(control, GW_HWNDNEXT)) {
                wchar_t kind[16] = {};
                GetClassNameW(control, kind, 16);
                const bool icon = (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
                if (!IsWindowVisible(control)) continue;
                if (_wcsicmp(kind, L"Button") == 0) buttons.push_back(control), box.buttons.push_back(GetDlgCtrlID(control));
                if (_wcsicmp(kind, L"Static") == 0 && icon) icons.push_back(control);
                if (_wcsicmp(kind, L"Static") == 0 && !icon) box.text += TextOf(control);
            }
            for (int look = 0; look < 50 && box.icon != "information" && box.icon != "warning"; ++look) {
                Sleep(look == 0 ? 0 : 100);  // the box may not be drawn yet
                box.icon = icons.size() == 1 ? IconShown(icons[0]) : "none";
            }
            for (int press = 0; press < 12 && box.buttons == std::vector<int>{IDOK} &&
                                WaitForSingleObject(process, press == 0 ? 0 : 5000) == WAIT_TIMEOUT;
                 ++press) {
                DWORD_PTR result = 0;
                SendMessageTimeoutW(buttons[0], BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
            }
        }
        if (WaitForSingleObject(process, 10000) == WAIT_TIMEOUT) TerminateProcess(process, STILL_ACTIVE);
        WaitForSingleObject(process, INFINITE);
        GetExitCodeProcess(process, &box.exitCode);
        CloseHandle(process);
        return box;
    }

    // Runs the program once and checks what the user saw, its exit status, and that the watched files
    // became `after` and changed no more once the box was up.
    void ExpectRun(const char* text, const std::map<std::wstring, std::string>& after) const {
        const Box box = RunUninstaller();
        const bool warning = text == std::string(Left) || text == std::string(LeftShared);
        EXPECT_TRUE(box.shown) << "no box of the program's";
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.icon, warning ? "warning" : "information");
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_EQ(box.exitCode, 1u);
        EXPECT_EQ(Differences(box.atBox, Watched()), "") << "files changed after the box appeared";
        EXPECT_EQ(Differences(after, Watched()), "");
    }

    fs::path roaming_, run_, common_, defaultRoaming_;
    bool throwaway_ = false;
};

TEST_F(EndToEndTest, WholeInstallationGoesAndNoPlantedDllRuns) {
    // roaming/ and the shared folder: V2 and V2.5 installations beside other vendors' plug-ins, with
    // read-only files, and in roaming/ a read-only loose file, which stays; the default roaming folder:
    // a decoy installation. run/: uxtheme.dll and dwmapi.dll planted beside the program, which the box
    // loads by name; Wine's runner tells Wine to prefer them to its own, as Windows prefers any DLL that
    // is not a KnownDLL. A control program started there loads one, which shows that the DLL leaves its mark.
    const std::vector<std::string> gone = {"SU_Varnok_V2", "SU_Varnok_V2.rbs", "SU_Varnok_V2.5", "SU_Varnok_V2.5.rbs",
                                           "SU_Varnok_Section_Tool.rb", "Veltrix_Section"};
    ASSERT_TRUE(Plant(Plugins(roaming_), Neighbours) && Plant(Plugins(roaming_), BothInstallations()) &&
                Plant(Plugins(roaming_), {"!varnok_tools.rbs"}));
    if (throwaway_) {
        ASSERT_FALSE(Exists(defaultRoaming_ / "SketchUp")) << "a real installation is never touched";
        OnTearDown([this] { RemoveAll(defaultRoaming_ / "SketchUp"); });
        ASSERT_TRUE(Plant(Plugins(common_), Neighbours) && Plant(Plugins(common_), BothInstallations()) &&
                    Plant(Plugins(defaultRoaming_), Installation("SU_Varnok_V2")));
    } else {
        SkipRow(SharedFolderRefused());
    }
    for (const wchar_t* dll : {L"uxtheme.dll", L"dwmapi.dll"}) ASSERT_TRUE(fs::copy_file(Beside(L"planted_dll.dll"), run_ / dll));
    ASSERT_TRUE(fs::copy_file(Beside(L"helper.exe"), run_ / "control.exe"));
    HANDLE control = Start(run_ / "control.exe", L"load uxtheme.dll", run_);
    ASSERT_NE(control, nullptr);
    WaitForSingleObject(control, 60000);
    CloseHandle(control);
    ASSERT_TRUE(Exists(run_ / "uxtheme.dll.ran")) << "the control: a program that searches its own folder runs the DLL";
    ASSERT_TRUE(fs::remove(run_ / "uxtheme.dll.ran") && fs::remove(run_ / "control.exe"));

    const auto before = Watched();
    std::vector<std::string> goneShared = gone;
    goneShared.push_back("varnok_tools.rbs");
    ExpectRun(Found, Without(Without(before, roaming_, gone), common_, throwaway_ ? goneShared : std::vector<std::string>{}));
}

TEST_F(EndToEndTest, FileHeldByAnotherProgramIsReportedUntilItIsLetGo) {
    // The shared folder: a V2 installation, where an administrator installed it, whose plug_in's
    // varnok_tools.rbs another program holds open, as SketchUp does: the rest goes and the box says so;
    // a second run while it is held says so again; a run after it was let go removes the rest.
    if (!throwaway_) GTEST_SKIP() << SharedFolderRefused();
    ASSERT_TRUE(Plant(Plugins(common_), Neighbours) && Plant(Plugins(common_), Installation("SU_Varnok_V2")));
    const fs::path held = Plugins(common_) / "SU_Varnok_V2" / "plug_in" / "varnok_tools.rbs", flag = run_ / "holding";
    HANDLE holder = Start(Beside(L"helper.exe"), L"hold \"" + held.wstring() + L"\" \"" + flag.wstring() + L"\"", run_);
    ASSERT_NE(holder, nullptr);
    for (int wait = 0; wait < 600 && !Exists(flag); ++wait) Sleep(100);
    ASSERT_TRUE(Exists(flag)) << "the helper holds the file";

    const auto before = Watched();
    const auto whileHeld = Without(before, common_, {"SU_Varnok_V2/main.rb", "SU_Varnok_V2/plug_in/icons", "SU_Varnok_V2.rbs",
                                                     "SU_Varnok_Section_Tool.rb", "varnok_tools.rbs", "Veltrix_Section"});
    ExpectRun(LeftShared, whileHeld);
    ExpectRun(LeftShared, whileHeld);
    ASSERT_TRUE(fs::remove(flag));
    EXPECT_EQ(WaitForSingleObject(holder, 60000), WAIT_OBJECT_0);
    CloseHandle(holder);
    auto letGo = Without(whileHeld, common_, {"SU_Varnok_V2"});
    letGo.erase(flag.wstring());
    ExpectRun(Found, letGo);
}

TEST_F(EndToEndTest, LinkBelowTheSharedFolderIsNeverPassed) {
    // The shared folder's SketchUp/SketchUp 2014 is a link to inside/elsewhere, which holds a V2
    // installation under SketchUp/Plugins: every user can make such a link there. roaming/: a V2.5
    // installation, which goes; what the link leads to stays, and the box asks for an administrator.
    if (!throwaway_) GTEST_SKIP() << SharedFolderRefused();
    const fs::path elsewhere = root_ / "inside" / "elsewhere";
    ASSERT_TRUE(Plant(elsewhere / "SketchUp" / "Plugins", Installation("SU_Varnok_V2")));
    ASSERT_TRUE(MakeFolders(common_ / "SketchUp"));
    ASSERT_TRUE(Hands(L"junction|" + (common_ / "SketchUp" / "SketchUp 2014").wstring() + L"|" + elsewhere.wstring()));
    ASSERT_TRUE(Plant(Plugins(roaming_), Neighbours) && Plant(Plugins(roaming_), Installation("SU_Varnok_V2.5")));

    const auto before = Watched();
    ExpectRun(LeftShared, Without(before, roaming_, {"SU_Varnok_V2.5", "SU_Varnok_V2.5.rbs", "SU_Varnok_Section_Tool.rb",
                                                     "varnok_tools.rbs", "Veltrix_Section"}));
}

}  // namespace
