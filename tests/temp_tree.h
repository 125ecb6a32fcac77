// Test fixture: a throwaway folder per test, a sentinel tree beside the work area that must come through
// every test unchanged, one grammar for planting installations, and for the seamed tests the seam reset
// with every row's listings checked.
#pragma once

#include "platform/win32api.h"
#include "seam/win32_seam.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

const char Found[] = "All applications have been uninstalled";
const char NotFound[] = "No application installed";
const char Left[] = "Some files could not be removed. Close SketchUp and run the uninstaller again.";
const char LeftShared[] =
    "Some files could not be removed. Close SketchUp and run the uninstaller again as an administrator.";
const char Caption[] = "SU Varnok Uninstaller 2014";
const std::wstring PluginsRelative = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins";
// Another vendor's plug-ins, which every run must leave alone.
const std::vector<std::string> Neighbours = {"OtherVendor.rb", "SU_Varnok_V3/keep.rb", "su_varnok_tools.rbs"};

inline fs::path Plugins(const fs::path& base) { return base / PluginsRelative; }

// A full installation of one generation ("SU_Varnok_V2" or "SU_Varnok_V2.5"), with the shared files, as
// the fixture's Plant takes it.
inline std::vector<std::string> Installation(const std::string& product) {
    return {product + "/plug_in/varnok_tools.rbs", "!" + product + "/plug_in/icons/tool.png", product + "/main.rb",
            product + ".rbs", "SU_Varnok_Section_Tool.rb", "varnok_tools.rbs", "Veltrix_Section/section.rb"};
}

inline std::vector<std::string> BothInstallations() {
    std::vector<std::string> both = Installation("SU_Varnok_V2");
    for (const std::string& entry : Installation("SU_Varnok_V2.5")) both.push_back(entry);
    return both;
}

// A path that Windows takes as written: no length limit, no trailing dot or space dropped, no device.
inline std::wstring Verbatim(fs::path path) {
    return L"\\\\?\\" + path.make_preferred().wstring();  // a verbatim path takes no forward slash
}

// Calls `visit` with each name in `folder` (a verbatim path) but "." and "..".
inline void ForEachName(const std::wstring& folder, const std::function<void(const wchar_t*)>& visit) {
    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    for (BOOL more = listing != INVALID_HANDLE_VALUE; more; more = FindNextFileW(listing, &entry)) {
        if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0) visit(entry.cFileName);
    }
    if (listing != INVALID_HANDLE_VALUE) FindClose(listing);
}

// Every entry below `folder`, links not entered: its attribute word, and a file's size and a hash of its
// content.
inline std::map<std::wstring, std::string> Snapshot(const fs::path& folder) {
    std::map<std::wstring, std::string> entries;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); it != fs::recursive_directory_iterator(); ++it) {
        const DWORD attributes = GetFileAttributesW(it->path().c_str());
        std::string description = std::to_string(attributes);
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) it.disable_recursion_pending();
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            std::ifstream in(it->path(), std::ios::binary);
            const std::string content(std::istreambuf_iterator<char>(in), {});
            description += " " + std::to_string(content.size()) + " " + std::to_string(std::hash<std::string>()(content));
        }
        entries[it->path().wstring()] = description;
    }
    return entries;
}

// Where Windows and Wine answer differently and a row's expectation depends on it, each difference
// written once, with its source; a row expects the answer of the platform it runs on.
inline bool RunsUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
// RemoveDirectoryW on a link to a folder that holds anything: Windows removes the link, which is itself
// an empty folder ([MS-FSCC] 2.1.2.1, a reparse point's data is the link); Wine 8 refuses with 145 and
// keeps it (docs/testing.md).
inline bool LinkThatHoldsAnythingIsRemoved() { return !RunsUnderWine(); }
// Wine 8 shows a Unix link to a file as a plain file and deletes its target through it, so a row with a
// file link runs on Windows only.
const char FileLinksNeedWindows[] = "a file link: Wine shows one as a plain file";

// The folders of `folder`, each made unless it is there, through verbatim paths.
inline bool MakeFolders(const fs::path& folder) {
    fs::path made;
    for (const fs::path& part : folder) {
        made /= part;
        if (made.wstring().size() > 3 && !CreateDirectoryW(Verbatim(made).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

// What the runner's helper does under Wine, done on Windows with Windows' own calls; each is checked by
// its effect, since Wine 8 answers CreateSymbolicLinkW and DefineDosDeviceW with TRUE and does nothing.
namespace natively {

// Removes `verbatim` with everything below it, never through a link.
inline void Remove(const std::wstring& verbatim) {
    const DWORD attributes = GetFileAttributesW(verbatim.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!link) SetFileAttributesW(verbatim.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (folder && !link) ForEachName(verbatim, [&](const wchar_t* name) { Remove(verbatim + L"\\" + name); });
    if (folder) {
        RemoveDirectoryW(verbatim.c_str());
    } else {
        DeleteFileW(verbatim.c_str());
    }
}

enum Answer { Done, Failed, NotAllowed };

// Does one request of the helper's grammar (TempTreeTest::Ask), and "filelink|AT|TARGET", a symbolic
// link to a file. A symbolic link needs Developer Mode or the privilege to make one; a share needs an
// administrator and the Server service: without them, NotAllowed.
inline Answer Do(const std::wstring& verb, fs::path atPath, fs::path targetPath) {
    const std::wstring at = atPath.make_preferred().wstring(), target = targetPath.make_preferred().wstring();
    const DWORD unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    const auto isLink = [&] {
        const DWORD attributes = GetFileAttributesW(at.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    };
    bool done = false;
    if (verb == L"junction") {  // cmd's mklink /J sets a mount point, which needs no privilege
        done = _wsystem((L"mklink /J \"" + at + L"\" \"" + target + L"\" >nul").c_str()) == 0 && isLink();
    } else if (verb == L"symlink" || verb == L"filelink") {
        const DWORD kind = verb == L"symlink" ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
        if (!CreateSymbolicLinkW(at.c_str(), target.c_str(), kind | unprivileged)) return NotAllowed;
        done = isLink();
    } else if (verb == L"readonly") {
        done = SetFileAttributesW(at.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
    } else if (verb == L"remove") {
        Remove(Verbatim(at));
        done = GetFileAttributesW(Verbatim(at).c_str()) == INVALID_FILE_ATTRIBUTES;
    } else if (at.rfind(L"unc\\", 0) == 0) {
        return NotAllowed;
    } else if (verb == L"map" || verb == L"unmap") {
        const std::wstring drive = at.substr(0, 1) + L":";
        done = verb == L"map" ? DefineDosDeviceW(0, drive.c_str(), target.c_str()) &&
                                    GetFileAttributesW((drive + L"\\").c_str()) != INVALID_FILE_ATTRIBUTES
                              : DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive.c_str(), nullptr);
    }
    return done ? Done : Failed;
}

}  // namespace natively

class TempTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::random_device random;
        for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
            const fs::path candidate = fs::temp_directory_path() / (std::string("uninstaller-") + info->name() + "-" +
                                                                    std::to_string(random()));
            std::error_code error;
            if (fs::create_directory(candidate, error)) root_ = candidate;
        }
        ASSERT_FALSE(root_.empty());
        ASSERT_TRUE(fs::create_directories(root_ / "inside"));
        // outside/
        //   keep.txt, readonly.txt (read-only), dir/ nested.txt, varnok_tools.rbs (a name the plan deletes)
        outside_ = root_ / "outside";
        MakeFile(outside_ / "keep.txt", "keep");
        MakeFile(outside_ / "readonly.txt", "read-only", true);
        MakeFile(outside_ / "dir" / "nested.txt", "nested");
        MakeFile(outside_ / "dir" / "varnok_tools.rbs", "not ours");
        outsideBefore_ = Snapshot(outside_);
    }

    void TearDown() override {
        ExpectOutsideUnchanged("");
        LetGo();
        for (auto undo = undo_.rbegin(); undo != undo_.rend(); ++undo) (*undo)();
        RemoveAll(root_);
        if (!skipped_.empty()) GTEST_SKIP() << "rows not run: " << skipped_;
    }

    void ExpectOutsideUnchanged(const std::string& when) const {
        EXPECT_EQ(Snapshot(outside_), outsideBefore_) << "something outside the work area changed " << when;
    }

    // Notes a row that cannot run here; the test then reports as skipped, with the reason, once its
    // other rows have run.
    void SkipRow(const std::string& why) {
        if (skipped_.find(why) == std::string::npos) skipped_ += (skipped_.empty() ? "" : "; ") + why;
    }

    // Runs `undo` when the test ends, however it ends short of the process dying (the runner then
    // starts the next run from a fresh copy of the prefix).
    void OnTearDown(std::function<void()> undo) { undo_.push_back(std::move(undo)); }

    // A file with `content`, and the folders on its way, through verbatim paths, so that a tree deeper
    // than MAX_PATH is planted as on Windows; a file that is there already is kept as it is.
    static void MakeFile(const fs::path& path, const std::string& content = "x", bool readOnly = false) {
        ASSERT_TRUE(MakeFolders(path.parent_path())) << path;
        HANDLE file = CreateFileW(Verbatim(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
            CloseHandle(file);
        }
        ASSERT_TRUE((GetFileAttributesW(Verbatim(path).c_str()) & FILE_ATTRIBUTE_DIRECTORY) == 0) << path;
        if (readOnly) {
            ASSERT_TRUE(SetFileAttributesW(Verbatim(path).c_str(), FILE_ATTRIBUTE_READONLY));
        }
    }

    // Plants each entry below `folder`: "name/" a folder, "name -> dir" a junction to that folder of
    // outside/, "name ~> file" a symbolic link to that file of outside/, else a file; "!" first makes a
    // file or a folder read-only, "#" holds the entry open. False when a link or a read-only folder
    // cannot be made here (the row is then noted as skipped, or the test failed).
    bool Plant(const fs::path& folder, const std::vector<std::string>& entries) {
        for (std::string entry : entries) {
            const bool readOnly = entry[0] == '!', held = entry[0] == '#';
            if (readOnly || held) entry.erase(0, 1);
            const std::size_t arrow = entry.find("> ");
            const fs::path planted = folder / fs::u8path(entry.substr(0, arrow == std::string::npos ? arrow : arrow - 2));
            if (!MakeFolders(planted.parent_path())) return false;
            if (arrow != std::string::npos) {
                const std::wstring target = (outside_ / entry.substr(arrow + 2)).wstring();
                if (!Hands((entry[arrow - 1] == '-' ? L"junction|" : L"filelink|") + planted.wstring() + L"|" + target)) {
                    return false;
                }
            } else if (entry.back() == '/') {
                if (!MakeFolders(planted) || (readOnly && !Hands(L"readonly|" + planted.wstring()))) return false;
            } else {
                MakeFile(planted, entry, readOnly);
            }
            if (held) KeepFromDeletion(planted);
        }
        return true;
    }

    // Holds `path`, a file or a folder, open without sharing its deletion until the test ends, as
    // SketchUp holds its plug-in's files.
    void KeepFromDeletion(const fs::path& path) {
        held_.push_back(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_NE(held_.back(), INVALID_HANDLE_VALUE) << path;
    }

    // Closes what KeepFromDeletion holds.
    void LetGo() {
        for (HANDLE held : held_) CloseHandle(held);
        held_.clear();
    }

    // Removes `path` with everything below it, never through a link, and names taken as written.
    static void RemoveAll(const fs::path& path) {
        if (Ask(L"remove|" + path.wstring()) == NoHelper) natively::Remove(Verbatim(path));
    }

    // The names in `folder`, whatever its length.
    static std::set<std::string> Names(const fs::path& folder) {
        std::set<std::string> names;
        ForEachName(Verbatim(folder), [&](const wchar_t* name) { names.insert(fs::path(name).u8string()); });
        return names;
    }

    static bool Exists(const fs::path& path) {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    // What no Win32 call can do under Wine, done by the test runner's helper on the host (wine-run.sh):
    // "junction|AT|TARGET" and "symlink|AT|TARGET" a folder link (both a Unix link there),
    // "readonly|FOLDER", "remove|PATH" (never through a link), "map|ROOT|FOLDER" a drive ("y:") or share
    // ("unc\server\share") naming FOLDER, "unmap|ROOT". A request the helper refused, or left unanswered,
    // fails the test, named.
    enum Answer { Done, NoHelper, Failed };
    static bool HandsAvailable() { return std::getenv("UNINSTALLER_HANDS") != nullptr; }
    static Answer Ask(const std::wstring& request) {
        const char* hands = std::getenv("UNINSTALLER_HANDS");
        if (hands == nullptr) return NoHelper;
        static int count = 0;
        const fs::path asked = fs::path(hands) / std::to_string(++count);
        const fs::path written = fs::path(asked) += ".tmp", request_file = fs::path(asked) += ".req",
                       answered = fs::path(asked) += ".done";
        std::ofstream(written, std::ios::binary) << fs::path(request).string() << "\n";
        fs::rename(written, request_file);
        for (int wait = 0; wait < 6000 && !fs::exists(answered); ++wait) Sleep(10);
        std::string answer;
        std::getline(std::ifstream(answered), answer);
        if (answer == "ok") return Done;
        ADD_FAILURE() << "the runner's helper " << (fs::exists(answered) ? "refused: " + answer : "did not answer in 60 s")
                      << ": " << fs::path(request).string();
        return Failed;
    }

    // A request done by the runner's helper where there is one, else natively; what cannot be done here
    // is noted as a skipped row. True only when it was done.
    bool Hands(const std::wstring& request) {
        const std::size_t bar = request.find(L'|'), second = request.find(L'|', bar + 1);
        const std::wstring verb = request.substr(0, bar);
        if (verb == L"filelink" && RunsUnderWine()) return SkipRow(FileLinksNeedWindows), false;
        const Answer asked = Ask(request);
        if (asked != NoHelper) return asked == Done;
        const std::wstring at = request.substr(bar + 1, second == std::wstring::npos ? second : second - bar - 1);
        const natively::Answer answer = natively::Do(verb, at, second == std::wstring::npos ? L"" : request.substr(second + 1));
        if (answer == natively::NotAllowed) SkipRow("this account may not do it here: " + fs::path(request).string());
        if (answer == natively::Failed) ADD_FAILURE() << "Windows refused " << fs::path(request).string() << ": " << GetLastError();
        return answer == natively::Done;
    }

    bool MapRoot(const std::wstring& root, const fs::path& folder) {
        OnTearDown([root] {
            if (Ask(L"unmap|" + root) == NoHelper) natively::Do(L"unmap", root, L"");
        });
        return Hands(L"map|" + root + L"|" + folder.wstring());
    }

    fs::path root_;
    fs::path outside_;

private:
    std::map<std::wstring, std::string> outsideBefore_;
    std::vector<HANDLE> held_;
    std::vector<std::function<void()>> undo_;
    std::string skipped_;
};

// A test of the program's code through the seam: each row starts with NextRow, which checks that the
// row before closed every listing it opened, once, and resets the seam.
class SeamedTest : public TempTreeTest {
protected:
    void SetUp() override {
        TempTreeTest::SetUp();
        SeamReset();
    }
    void TearDown() override {
        ExpectListingsClosed();
        TempTreeTest::TearDown();
    }
    static void ExpectListingsClosed() { EXPECT_EQ(SeamListingFaults(), 0) << "listings left open, or closed twice"; }
    static void NextRow() {
        ExpectListingsClosed();
        SeamReset();
    }
};
