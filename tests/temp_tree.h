// Test fixture: a throwaway folder per test, with a sentinel tree beside the work area that must come
// through every test unchanged.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include "platform/posix/standin_seam.h"

#include <stdlib.h>
#endif

namespace fs = std::filesystem;

// A description of every entry below `folder`, links not followed: kind, permissions, size, content.
inline std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        const fs::file_status status = it->symlink_status();
        std::string description = std::to_string(static_cast<int>(status.type())) + " " +
                                  std::to_string(static_cast<int>(status.permissions()));
        if (status.type() == fs::file_type::regular) {
            std::ifstream in(it->path(), std::ios::binary);
            description += " " + std::string(std::istreambuf_iterator<char>(in), {});
        } else if (status.type() == fs::file_type::symlink) {
            description += " -> " + fs::read_symlink(it->path()).string();
        }
        entries[fs::relative(it->path(), folder).string()] = description;
    }
    return entries;
}

// A path in Windows' own form: a drive (the stand-in's Z: for a host path) and backslashes.
inline std::wstring WindowsForm(const fs::path& path) {
#ifdef _WIN32
    std::wstring wide = path.wstring();
#else
    std::wstring wide = L"Z:" + path.wstring();
#endif
    for (wchar_t& c : wide) c = c == L'/' ? L'\\' : c;
    return wide;
}

class TempTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = MakeUniqueFolder(std::string("uninstaller-") + info->test_suite_name() + "-" + info->name());
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
#ifndef _WIN32
        StandInReset();
#endif
    }

    void TearDown() override {
        EXPECT_EQ(Snapshot(outside_), outsideBefore_) << "something outside the work area changed";
#ifndef _WIN32
        EXPECT_EQ(StandInRefusalCount(), 0) << "a call reached the safety net with a path of its own";
#endif
        held_.clear();
        Cleanup();
    }

    static void MakeFile(const fs::path& path, const std::string& content = "x", bool readOnly = false) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        ASSERT_TRUE(fs::is_regular_file(path)) << path;
        if (readOnly) {
            fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                            fs::perm_options::remove);
        }
    }

    // Keeps `path` from being deleted until the test ends: an open handle on Windows, which shares no
    // deletion; the stand-in's seam elsewhere.
    void KeepFromDeletion(const fs::path& path) {
#ifdef _WIN32
        held_.push_back(std::make_unique<std::ifstream>(path));
        ASSERT_TRUE(held_.back()->is_open());
#else
        StandInMakeUndeletable(path.wstring());
#endif
    }

    static bool Exists(const fs::path& path) {
        std::error_code error;
        return fs::exists(fs::symlink_status(path, error));
    }

    fs::path root_;
    fs::path outside_;

private:
    // A new folder of its own below the temporary folder, so that two runs never share one; empty on
    // failure.
    static fs::path MakeUniqueFolder(const std::string& prefix) {
#ifdef _WIN32
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const fs::path candidate = fs::temp_directory_path() / (prefix + "-" + std::to_string(random()));
            std::error_code error;
            if (fs::create_directory(candidate, error)) return candidate;
        }
        return {};
#else
        std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
        return mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fs::path();
#endif
    }

    void Cleanup() {
        std::error_code error;
        if (!fs::exists(root_, error)) return;
        for (auto it = fs::recursive_directory_iterator(root_, error); it != fs::recursive_directory_iterator();
             it.increment(error)) {
            if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, error);
        }
        fs::remove_all(root_, error);
    }

    std::map<std::string, std::string> outsideBefore_;
    std::vector<std::unique_ptr<std::ifstream>> held_;
};
