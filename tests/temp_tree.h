// Test fixture: a throwaway folder per test, a sentinel tree beside the work area that must come through
// every test unchanged, and the seam reset, with every listing the program opened closed exactly once.
#pragma once

#include "platform/win32api.h"
#include "seam/win32_seam.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Every entry below `folder`, links not entered: its attribute word and a file's content.
inline std::map<std::wstring, std::string> Snapshot(const fs::path& folder) {
    std::map<std::wstring, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        const DWORD attributes = GetFileAttributesW(it->path().c_str());
        std::string description = std::to_string(attributes);
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) it.disable_recursion_pending();
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            std::ifstream in(it->path(), std::ios::binary);
            description += " " + std::string(std::istreambuf_iterator<char>(in), {});
        }
        entries[fs::relative(it->path(), folder).wstring()] = description;
    }
    return entries;
}

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
        SeamReset();
    }

    void TearDown() override {
        ExpectOutsideUnchanged("");
        ExpectEveryListingClosedOnce();
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
    void SkipRow(const std::string& why) { skipped_ += (skipped_.empty() ? "" : "; ") + why; }

    // Runs `undo` when the test ends, however it ends short of the process dying (the runner then
    // starts the next run from a fresh copy of the prefix).
    void OnTearDown(std::function<void()> undo) { undo_.push_back(std::move(undo)); }

    static void MakeFile(const fs::path& path, const std::string& content = "x", bool readOnly = false) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        ASSERT_TRUE(fs::is_regular_file(path)) << path;
        if (readOnly) {
            ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
        }
    }

    // Holds `path`, a file or a folder, open without sharing its deletion until the test ends, as
    // SketchUp holds its plug-in's files.
    void KeepFromDeletion(const fs::path& path) {
        held_.push_back(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_NE(held_.back(), INVALID_HANDLE_VALUE) << path;
    }

    // Removes `path` with everything below it, never through a link, and names taken as written.
    static void RemoveAll(const fs::path& path) {
        std::error_code error;
        if (Ask(L"remove|" + path.wstring()) == NoHelper) fs::remove_all(L"\\\\?\\" + path.wstring(), error);
    }

    // The names in `folder`, whatever its length.
    static std::set<std::string> Names(const fs::path& folder) {
        std::set<std::string> names;
        WIN32_FIND_DATAW entry = {};
        HANDLE listing = FindFirstFileW((L"\\\\?\\" + folder.wstring() + L"\\*").c_str(), &entry);
        for (BOOL more = listing != INVALID_HANDLE_VALUE; more; more = FindNextFileW(listing, &entry)) {
            if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0) {
                names.insert(fs::path(entry.cFileName).string());
            }
        }
        if (listing != INVALID_HANDLE_VALUE) FindClose(listing);
        return names;
    }

    // Closes what KeepFromDeletion holds.
    void LetGo() {
        for (HANDLE held : held_) CloseHandle(held);
        held_.clear();
    }

    static bool Exists(const fs::path& path) {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    // What no Win32 call can do under Wine, done by the test runner's helper on the host (wine-run.sh):
    // "link|AT|TARGET" a folder link, "readonly|FOLDER", "remove|PATH" (never through a link), "map|ROOT|
    // FOLDER" a drive ("y:") or share ("unc\server\share") naming FOLDER, "unmap|ROOT". Where there is no
    // helper, as on Windows, the row is noted as skipped; a request the helper refused or left unanswered
    // fails the test, named. True only when the helper did it.
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
    bool Hands(const std::wstring& request) {
        const Answer answer = Ask(request);
        if (answer == NoHelper) SkipRow("needs the Wine runner's helper: " + fs::path(request).string());
        return answer == Done;
    }

    bool MapRoot(const std::wstring& root, const fs::path& folder) {
        OnTearDown([root] { Ask(L"unmap|" + root); });
        return Hands(L"map|" + root + L"|" + folder.wstring());
    }

    // Every listing the seam saw open was closed once, and nothing else was closed.
    static void ExpectEveryListingClosedOnce() {
        std::map<std::wstring, int> closes;
        for (const std::wstring& call : SeamCalls()) {
            const std::size_t number = call.rfind(L'#');
            if (call.rfind(L"FindFirstFileW", 0) == 0 && number != std::wstring::npos) closes[call.substr(number)] += 0;
            if (call.rfind(L"FindClose", 0) == 0) closes[call.substr(number, call.size() - number - 1)] += 1;
        }
        for (const auto& [listing, count] : closes) EXPECT_EQ(count, listing == L"#0" ? 0 : 1) << "listing " << listing;
    }

    fs::path root_;
    fs::path outside_;

private:
    std::map<std::wstring, std::string> outsideBefore_;
    std::vector<HANDLE> held_;
    std::vector<std::function<void()>> undo_;
    std::string skipped_;
};
