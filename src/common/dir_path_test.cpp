#include "common/dir_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/error.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

namespace fs = std::filesystem;

TEST(MakeDirPath, CreatesMissingParents) {
    TestTempDir tmp;
    ASSERT_TRUE(tmp.ok());
    std::string path = tmp / "a/b/c";
    EXPECT_EQ(make_dir_path(path.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(path));
    // Already there: still success.
    EXPECT_EQ(make_dir_path(path.c_str()), 0);
}

TEST(MakeDirPath, AcceptsTrailingSlash) {
    TestTempDir tmp;
    ASSERT_TRUE(tmp.ok());
    std::string path = tmp / "x/y/";
    EXPECT_EQ(make_dir_path(path.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(tmp / "x/y"));
}

TEST(MakeDirPath, CreatesEveryDirectoryAs0750WhateverTheUmask) {
    TestTempDir tmp;
    ASSERT_TRUE(tmp.ok());
    for (mode_t mask : {mode_t{0}, mode_t{027}, mode_t{077}}) {
        const std::string top = tmp / ("m" + std::to_string(mask));
        mode_t old = ::umask(mask);
        int rc = make_dir_path((top + "/sub").c_str());
        mode_t after = ::umask(old);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(after, mask);  // the caller's umask is back
        for (const std::string& dir : {top, top + "/sub"}) {
            struct stat st;
            ASSERT_EQ(::stat(dir.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0750u) << dir << " umask " << mask;
        }
    }
}

TEST(MakeDirPath, ReportsFailures) {
    TestTempDir tmp;
    ASSERT_TRUE(tmp.ok());
    std::ofstream(tmp / "file") << "x";
    EXPECT_EQ(make_dir_path((tmp / "file").c_str()), ERR_EXISTS);
    EXPECT_EQ(make_dir_path((tmp / "file/").c_str()), ERR_EXISTS);
    // A regular file as a parent: ENOTDIR, which has no code of its own.
    EXPECT_EQ(make_dir_path((tmp / "file/sub").c_str()), ERR_GENERIC);
    EXPECT_EQ(make_dir_path(""), ERR_NOT_FOUND);
}

TEST(MakeDirPath, RefusesPathTooLongInsteadOfCreatingAShorterOne) {
    TestTempDir tmp;
    ASSERT_TRUE(tmp.ok());
    std::string path = tmp.path();
    while (path.size() < 1200) path += "/" + std::string(200, 'd');
    EXPECT_EQ(make_dir_path(path.c_str()), ERR_GENERIC);
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}

}  // namespace
}  // namespace qor
