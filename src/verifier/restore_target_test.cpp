#include "verifier/restore_target.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "support/fake_tool_dir.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

using qor::test::FakeToolDir;
using Args = std::vector<std::string>;

struct Prepared {
    int result;
    RestoreTarget target;
    std::string err;
};

Prepared prepare(const char* origin, const char* target_lv, const char* target_file,
                 std::uint64_t size = 10737418240ULL) {
    Prepared p{};
    char err[400] = "junk";
    p.result = prepare_restore_target("vg0", origin, size, target_lv, target_file, &p.target, err,
                                      sizeof err);
    p.err = err;
    return p;
}

// lvs answers "not found" the way LVM does, lvcreate and lvremove record their words.
void add_empty_lvm(FakeToolDir& bin) {
    bin.add_tool("lvs", "echo '  Failed to find logical volume' >&2; exit 5");
    bin.add_tool("lvcreate", "exit 0");
    bin.add_tool("lvremove", "exit 0");
}

TEST(RestoreTarget, DefaultNameIsOriginPlusSuffixCutTo100Characters) {
    FakeToolDir bin;
    add_empty_lvm(bin);
    std::string origin(120, 'o');
    Prepared p = prepare(origin.c_str(), nullptr, nullptr);
    ASSERT_EQ(p.result, 0) << p.err;
    std::string lv = std::string(100, 'o') + "_qorverify";
    EXPECT_STREQ(p.target.lv, lv.c_str());
    EXPECT_STREQ(p.target.vg, "vg0");
    EXPECT_EQ(std::string(p.target.path), "/dev/vg0/" + lv);
    EXPECT_EQ(p.target.is_lv, 1);
    EXPECT_EQ(p.target.valid, 1);
    EXPECT_EQ(bin.recorded_args("lvcreate"), (Args{"-y", "-n", lv, "-L", "10485760K", "vg0"}));
}

TEST(RestoreTarget, NamedLvForms) {
    FakeToolDir bin;
    add_empty_lvm(bin);
    std::string vg127(127, 'v'), vg128(128, 'v'), lv128(128, 'l');
    struct Case {
        std::string target_lv;
        const char* err;
    } cases[] = {
        {"novg", "--target-lv must be <vg>/<lv>"},
        {"/lv", "--target-lv must be <vg>/<lv>"},
        {"vg/", "--target-lv must be <vg>/<lv>"},
        {vg128 + "/lv", "volume group name too long"},
        {"vg/" + lv128, "logical volume name too long"},
        // The second "/" stays in the LV name, which LVM would refuse.
        {"vg/a/b", "invalid volume group or logical volume name"},
        // Refused before lvs runs: it would read the word as an option.
        {"-vg/lv", "invalid volume group or logical volume name"},
    };
    for (auto& c : cases) {
        Prepared p = prepare("home", c.target_lv.c_str(), nullptr);
        EXPECT_EQ(p.result, -1) << c.target_lv;
        EXPECT_EQ(p.err, c.err) << c.target_lv;
        EXPECT_EQ(p.target.valid, 0);
    }
    Prepared ok = prepare("home", (vg127 + "/scratch").c_str(), nullptr);
    EXPECT_EQ(ok.result, -1);  // passes the length check, then LVM refuses the name
    EXPECT_EQ(ok.err, "invalid volume group or logical volume name");
    EXPECT_FALSE(bin.ran("lvs"));
    Prepared named = prepare("home", "data/scratch", nullptr);
    ASSERT_EQ(named.result, 0) << named.err;
    EXPECT_STREQ(named.target.path, "/dev/data/scratch");
}

TEST(RestoreTarget, RefusesAnExistingLv) {
    FakeToolDir bin;
    bin.add_tool("lvs", "echo '  vg0|home_qorverify|-wi-a-----|1024|linear||253|3'");
    bin.add_tool("lvcreate", "exit 0");
    Prepared p = prepare("home", nullptr, nullptr);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.err, "vg0/home_qorverify already exists; refusing to overwrite it");
    EXPECT_FALSE(bin.ran("lvcreate"));
}

TEST(RestoreTarget, PassesLookupAndCreateFailuresThrough) {
    {
        FakeToolDir bin;  // no lvs at all
        Prepared p = prepare("home", nullptr, nullptr);
        EXPECT_EQ(p.err, "the lvm tools (lvs) are not installed");
    }
    {
        FakeToolDir bin;
        bin.add_tool("lvs", "exit 5");
        bin.add_tool("lvcreate", "echo '  Insufficient free space' >&2; exit 5");
        Prepared p = prepare("home", nullptr, nullptr);
        EXPECT_EQ(p.result, -1);
        EXPECT_EQ(p.err, "could not create LV vg0/home_qorverify:   Insufficient free space");
    }
}

// An lvcreate killed by a signal may have made the LV; one that is there now
// was absent just before, so the record lets clean-up remove it.
TEST(RestoreTarget, LvLeftByAKilledLvcreateIsRemovedAfterwards) {
    FakeToolDir bin;
    bin.add_tool("lvs", "[ -e '" + bin.dir() +
                            "/made' ] || { echo '  Failed to find logical volume' >&2; exit 5; }\n"
                            "echo '  vg0|home_qorverify|-wi-a-----|1024|linear||253|3'");
    bin.add_tool("lvcreate", "touch '" + bin.dir() + "/made'; kill -KILL $$");
    bin.add_tool("lvremove", "exit 0");
    Prepared p = prepare("home", nullptr, nullptr);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.err, "could not create LV vg0/home_qorverify: lvcreate failed");
    EXPECT_EQ(p.target.valid, 1);
    EXPECT_STREQ(p.target.path, "/dev/vg0/home_qorverify");
    EXPECT_EQ(remove_restore_target(&p.target), 0);
    EXPECT_EQ(bin.recorded_args("lvremove"), (Args{"-f", "-y", "vg0/home_qorverify"}));
}

TEST(RestoreTarget, FileTargetMustNotExist) {
    TestTempDir tmp;
    ASSERT_TRUE(tmp.ok());
    const std::string& dir = tmp.path();
    std::string existing = dir + "/existing", dangling = dir + "/dangling";
    ::close(::open(existing.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_EQ(::symlink((dir + "/nowhere").c_str(), dangling.c_str()), 0);

    for (const std::string& path : {existing, dangling, dir, std::string("/dev/null")}) {
        Prepared p = prepare("home", nullptr, path.c_str());
        EXPECT_EQ(p.result, -1) << path;
        EXPECT_EQ(p.err, path + " already exists; refusing to overwrite it");
    }
    // A missing parent is accepted here; the restore itself fails later.
    std::string fresh = dir + "/missing/restored.img";
    Prepared p = prepare("home", nullptr, fresh.c_str());
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.target.is_lv, 0);
    EXPECT_EQ(std::string(p.target.path), fresh);
}

TEST(RestoreTarget, BothTargetsAreRefused) {
    Prepared p = prepare("home", "vg/lv", "/tmp/x");
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.err, "--target-lv and --target-file are mutually exclusive");
}

TEST(RestoreTarget, RemovalOfLvAndFile) {
    FakeToolDir bin;
    add_empty_lvm(bin);
    Prepared p = prepare("home", nullptr, nullptr);
    ASSERT_EQ(p.result, 0);
    remove_restore_target(&p.target);
    EXPECT_EQ(bin.recorded_args("lvremove"), (Args{"-f", "-y", "vg0/home_qorverify"}));

    TestTempDir tmp;
    const std::string path = tmp / "restored.img";
    Prepared f = prepare("home", nullptr, path.c_str());
    ASSERT_EQ(f.result, 0);
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    char err[400];
    ASSERT_EQ(restore_target_claim_file(&f.target, err, sizeof err), 0) << err;
    remove_restore_target(&f.target);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    remove_restore_target(&f.target);  // already gone: ignored
}

// After the restore the file target must be a regular file, which is never
// reached through a link; and clean-up removes the path only while it is
// still that file, never one put in its place or made after a failed restore.
TEST(RestoreTarget, FileTargetIsClaimedAndRemovedOnlyWhileItIsTheRestoredFile) {
    TestTempDir tmp;
    ASSERT_TRUE(tmp.ok());
    const std::string path = tmp / "restored.img", victim = tmp / "victim";
    std::ofstream(victim) << "victim";
    // Prepares the target, lets `restore` put something at the path, claims
    // and removes; returns the claim's result and sentence.
    auto claim = [&](const std::function<void()>& restore, std::string* err) {
        Prepared p = prepare("home", nullptr, path.c_str());
        EXPECT_EQ(p.result, 0) << p.err;
        restore();
        char buf[400] = "junk";
        int r = restore_target_claim_file(&p.target, buf, sizeof buf);
        *err = buf;
        remove_restore_target(&p.target);
        return r;
    };
    std::string err;
    EXPECT_EQ(claim([&] { ::symlink(victim.c_str(), path.c_str()); }, &err), -1);
    EXPECT_EQ(err, path + " is a symbolic link after the restore; refusing to follow it");
    EXPECT_TRUE(std::filesystem::is_symlink(path));  // not ours: left alone
    ::unlink(path.c_str());
    EXPECT_EQ(claim([&] { ::mkfifo(path.c_str(), 0600); }, &err), -1);
    EXPECT_EQ(err, path + " is not a regular file after the restore");
    EXPECT_TRUE(std::filesystem::exists(path));
    ::unlink(path.c_str());
    EXPECT_EQ(claim([] {}, &err), -1);
    EXPECT_EQ(err, path + " does not exist after the restore");

    // A file made after the (failed) restore was looked at is not ours.
    Prepared late = prepare("home", nullptr, path.c_str());
    char buf[400];
    EXPECT_EQ(restore_target_claim_file(&late.target, buf, sizeof buf), -1);
    std::ofstream(path) << "someone else's";
    remove_restore_target(&late.target);
    EXPECT_TRUE(std::filesystem::exists(path));
    ::unlink(path.c_str());

    // The restored file replaced by another before clean-up: the other stays.
    Prepared swapped = prepare("home", nullptr, path.c_str());
    std::ofstream(path) << "restored";
    ASSERT_EQ(restore_target_claim_file(&swapped.target, buf, sizeof buf), 0) << buf;
    ::unlink(path.c_str());
    std::ofstream(path) << "put in its place";
    ::testing::internal::CaptureStderr();
    remove_restore_target(&swapped.target);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                  "WARN  left " + path + " in place: it is no longer the file the restore wrote"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(path));
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "victim");
}

// The claimed file is read, and only while the path names it unchanged: a
// file put in its place, or a write to it, fails the read with a sentence.
TEST(RestoreTarget, ReadsTheClaimedFileOnlyWhileItIsUnchanged) {
    TestTempDir tmp;
    ASSERT_TRUE(tmp.ok());
    const std::string path = tmp / "restored.img", moved = path + ".orig";
    Prepared p = prepare("home", nullptr, path.c_str());
    std::ofstream(path) << "restored";
    char err[400] = "junk";
    ASSERT_EQ(restore_target_claim_file(&p.target, err, sizeof err), 0) << err;
    UniqueFd fd;
    ASSERT_EQ(restore_target_open_read(p.target, &fd, err, sizeof err), 0) << err;
    char buf[16] = "";
    EXPECT_EQ(::pread(fd.get(), buf, sizeof buf - 1, 0), 8);
    EXPECT_STREQ(buf, "restored");
    const std::string changed = "the restored file " + path + " changed after the restore ";
    ASSERT_EQ(::rename(path.c_str(), moved.c_str()), 0);
    std::ofstream(path) << "restored";
    EXPECT_EQ(restore_target_open_read(p.target, &fd, err, sizeof err), -1);
    EXPECT_FALSE(fd.is_open());
    EXPECT_EQ(std::string(err), changed + "(its path names another file now)");
    ASSERT_EQ(::rename(moved.c_str(), path.c_str()), 0);
    std::ofstream(path, std::ios::app) << "!";
    EXPECT_EQ(restore_target_check_unchanged(p.target, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), changed + "(it was written to since)");
}

TEST(RestoreTarget, FailedRemovalIsAWarning) {
    FakeToolDir bin;
    add_empty_lvm(bin);
    Prepared p = prepare("home", nullptr, nullptr);
    ASSERT_EQ(p.result, 0);
    bin.add_tool("lvremove", "echo '  Logical volume vg0/home_qorverify in use.' >&2; exit 5");
    ::testing::internal::CaptureStderr();
    remove_restore_target(&p.target);
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("WARN  could not remove the restore-target LV vg0/home_qorverify: could not "
                       "remove LV vg0/home_qorverify:   Logical volume vg0/home_qorverify in use."
                       " (remove it manually)"),
              std::string::npos)
        << out;
}

TEST(RestoreTarget, RemovingAFailedPreparationDoesNothing) {
    FakeToolDir bin;
    add_empty_lvm(bin);
    Prepared p = prepare("home", "bad", nullptr);
    ASSERT_EQ(p.result, -1);
    remove_restore_target(&p.target);
    remove_restore_target(nullptr);
    EXPECT_FALSE(bin.ran("lvremove"));
}

}  // namespace
}  // namespace qor
