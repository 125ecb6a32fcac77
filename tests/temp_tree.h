// Test fixture: a throwaway folder per test, a sentinel tree beside the work area that must come through
// every test unchanged, and the seam reset, with every listing the program opened closed exactly once.
#pragma once

#include "platform/win32api.h"
#include "seam/win32_seam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

// A path that Windows takes as written: no length limit, no trailing dot or space dropped, no device.
inline std::wstring Verbatim(fs::path path) {
    return L"\\\\?\\" + path.make_preferred().wstring();  // a verbatim path takes no forward slash
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

// Removes `path` with everything below it through verbatim paths, never through a link.
inline void RemoveNatively(const std::wstring& verbatim) {
    const DWORD attributes = GetFileAttributesW(verbatim.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!link) SetFileAttributesW(verbatim.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (folder && !link) {
        WIN32_FIND_DATAW entry = {};
        HANDLE listing = FindFirstFileW((verbatim + L"\\*").c_str(), &entry);
        for (BOOL more = listing != INVALID_HANDLE_VALUE; more; more = FindNextFileW(listing, &entry)) {
            if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0) {
                RemoveNatively(verbatim + L"\\" + entry.cFileName);
            }
        }
        if (listing != INVALID_HANDLE_VALUE) FindClose(listing);
    }
    if (folder) {
        RemoveDirectoryW(verbatim.c_str());
    } else {
        DeleteFileW(verbatim.c_str());
    }
}

// A junction at `at` to `target`: a mount point set with FSCTL_SET_REPARSE_POINT, which needs no
// administrator. The buffer is REPARSE_DATA_BUFFER's MountPointReparseBuffer: the tag, the data's
// length, the offsets and lengths of the two names, then both, each ending in a zero.
inline bool MakeJunction(const std::wstring& at, const std::wstring& target) {
    if (!CreateDirectoryW(at.c_str(), nullptr)) return false;
    HANDLE link = CreateFileW(at.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (link == INVALID_HANDLE_VALUE) return false;
    const std::wstring substitute = L"\\??\\" + target;
    std::vector<WORD> buffer(8 + substitute.size() + 1 + target.size() + 1, 0);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(buffer.data(), &tag, sizeof tag);
    buffer[2] = static_cast<WORD>((buffer.size() - 4) * sizeof(WORD));
    buffer[5] = static_cast<WORD>(substitute.size() * sizeof(WORD));
    buffer[6] = static_cast<WORD>((substitute.size() + 1) * sizeof(WORD));
    buffer[7] = static_cast<WORD>(target.size() * sizeof(WORD));
    std::copy(substitute.begin(), substitute.end(), buffer.begin() + 8);
    std::copy(target.begin(), target.end(), buffer.begin() + 8 + substitute.size() + 1);
    DWORD returned = 0;
    const BOOL set = DeviceIoControl(link, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                     static_cast<DWORD>(buffer.size() * sizeof(WORD)), nullptr, 0, &returned, nullptr);
    CloseHandle(link);
    return set && (GetFileAttributesW(at.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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

    // Holds `path`, a file or a folder, open without sharing its deletion until the test ends, as
    // SketchUp holds its plug-in's files.
    void KeepFromDeletion(const fs::path& path) {
        held_.push_back(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_NE(held_.back(), INVALID_HANDLE_VALUE) << path;
    }

    // Removes `path` with everything below it, never through a link, and names taken as written.
    static void RemoveAll(const fs::path& path) {
        if (Ask(L"remove|" + path.wstring()) == NoHelper) RemoveNatively(Verbatim(path));
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
    // "junction|AT|TARGET" and "symlink|AT|TARGET" a folder link (both a Unix link there),
    // "readonly|FOLDER", "remove|PATH" (never through a link), "map|ROOT|FOLDER" a drive ("y:") or share
    // ("unc\server\share") naming FOLDER, "unmap|ROOT". Where there is no helper, as on Windows, the
    // fixture does it with Windows' own calls (Natively); what the account may not do there, the row is
    // noted as skipped. A request the helper or Windows refused, or that went unanswered, fails the test,
    // named. True only when it was done.
    enum Answer { Done, NoHelper, Failed, NotAllowed };
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
    static Answer Natively(const std::wstring& request) {
        std::vector<std::wstring> part;
        for (std::size_t start = 0, bar = 0; bar != std::wstring::npos; start = bar + 1) {
            bar = request.find(L'|', start);
            part.push_back(request.substr(start, bar == std::wstring::npos ? bar : bar - start));
        }
        part.resize(3);
        bool done = false;
        if (part[0] == L"junction") {
            done = MakeJunction(part[1], part[2]);
        } else if (part[0] == L"symlink") {
            const DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
            if (!CreateSymbolicLinkW(part[1].c_str(), part[2].c_str(), flags)) return NotAllowed;
            done = (GetFileAttributesW(part[1].c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        } else if (part[0] == L"readonly") {
            done = SetFileAttributesW(part[1].c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
        } else if (part[0] == L"remove") {
            RemoveNatively(Verbatim(part[1]));
            done = GetFileAttributesW(Verbatim(part[1]).c_str()) == INVALID_FILE_ATTRIBUTES;
        } else if (part[0] == L"map" || part[0] == L"unmap") {
            if (part[1].rfind(L"unc\\", 0) == 0) return NotAllowed;  // a share needs an administrator and the Server service
            const std::wstring drive = part[1].substr(0, 1) + L":";
            done = part[0] == L"map" ? DefineDosDeviceW(0, drive.c_str(), part[2].c_str()) &&
                                           GetFileAttributesW((drive + L"\\").c_str()) != INVALID_FILE_ATTRIBUTES
                                     : DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive.c_str(), nullptr);
        }
        if (done) return Done;
        ADD_FAILURE() << "Windows refused " << fs::path(request).string() << ": error " << GetLastError();
        return Failed;
    }
    bool Hands(const std::wstring& request) {
        Answer answer = Ask(request);
        if (answer == NoHelper) answer = Natively(request);
        if (answer == NotAllowed) SkipRow("this account may not do it here: " + fs::path(request).string());
        return answer == Done;
    }

    bool MapRoot(const std::wstring& root, const fs::path& folder) {
        OnTearDown([root] {
            if (Ask(L"unmap|" + root) == NoHelper) Natively(L"unmap|" + root);
        });
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
