#include "verify_all/backup_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>

#include "support/image_writer.h"
#include "support/test_temp_dir.h"
#include "verify_all/backup_trust.h"
#include "verify_all/volume_pick.h"

namespace qor {
namespace {

using qor::test::meta_write_file;

constexpr std::int64_t kScanTime = 4102444800;  // 2100-01-01, after every file here

void set_mtime(const std::string& path, long sec, long usec = 0) {
    timeval times[2] = {{sec, usec}, {sec, usec}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
}

TEST(BackupScan, FindsMetaFilesInDirectoriesPatternsAndFiles) {
    TestTempDir dir;
    mkdir((dir / "a").c_str(), 0755);
    mkdir((dir / "b").c_str(), 0755);
    mkdir((dir / "a/sub.meta").c_str(), 0755);  // a directory, not a backup
    for (const char* f : {"a/x.meta", "a/y.meta", "a/notes.txt", "b/z.meta", "b/w.meta"}) {
        std::ofstream(dir / f) << "x";
    }
    std::vector<std::string> unmatched;
    std::vector<std::string> found = backup_find_meta_files(
        {dir / "a", dir / "b/z*.meta", dir / "a/x.meta", dir / "c", dir / "b/q*"}, &unmatched);
    EXPECT_EQ(found,
              (std::vector<std::string>{dir / "a/x.meta", dir / "a/y.meta", dir / "b/z.meta"}));
    EXPECT_EQ(unmatched,
              (std::vector<std::string>{"backups = " + (dir / "c") + " gives no .meta file",
                                        "backups = " + (dir / "b/q*") + " gives no .meta file"}));
}

TEST(BackupScan, ReadsTheRecordedVolumeOrSaysWhyNot) {
    TestTempDir dir;
    ASSERT_TRUE(meta_write_file(dir / "ok.meta", "lvm:vg0/home=home_snap"));
    ASSERT_TRUE(meta_write_file(dir / "none.meta", ""));
    ASSERT_TRUE(meta_write_file(dir / "zfs.meta", "zfs:pool/home\x01@snap"));
    ASSERT_TRUE(meta_write_file(dir / "pvmove.meta", "lvm:vg0/home=pvmove0"));
    ASSERT_TRUE(meta_write_file(dir / "quotes.meta", "lvm:vg0/home=\"\"\""));
    std::ofstream(dir / "junk.meta") << "not a header";

    ScannedBackup ok = backup_scan_one(dir / "ok.meta", kScanTime);
    EXPECT_TRUE(ok.usable);
    EXPECT_EQ(ok.volume(), "vg0/home");
    EXPECT_EQ(ok.snapshot, "home_snap");
    EXPECT_GT(ok.mtime_sec, 0);
    // A modification time in the future counts as the time of the scan.
    ScannedBackup early = backup_scan_one(dir / "ok.meta", 1000);
    EXPECT_EQ(early.order_sec, 1000);
    EXPECT_EQ(early.mtime_sec, ok.mtime_sec);

    struct Case {
        const char* file;
        std::string problem;
    } cases[] = {
        {"none.meta", "this backup has no recorded snapshot (it was made without --keep-snapshot)"},
        {"zfs.meta",
         "its recorded snapshot ('zfs:pool/home\\x01@snap') is not an LVM snapshot reference"},
        {"pvmove.meta",
         "its recorded snapshot ('lvm:vg0/home=pvmove0') names a volume group or LV that LVM does "
         "not allow"},
        {"quotes.meta",
         "its recorded snapshot ('lvm:vg0/home=\"\"\"') names a volume group or LV "
         "that LVM does not allow"},
        {"junk.meta", "the file is not a backup header"},
        {"gone.meta", "the file no longer exists"},
    };
    for (const Case& c : cases) {
        ScannedBackup b = backup_scan_one(dir / c.file, kScanTime);
        EXPECT_FALSE(b.usable) << c.file;
        EXPECT_EQ(b.problem, c.problem) << c.file;
    }
}

// Trusted as long as nobody but root or we can replace the .meta or rename a
// directory above it; a sticky directory protects what others cannot own.
TEST(BackupTrust, AllowsOnlyWhatNobodyElseCanReplace) {
    TestTempDir dir;
    struct Case {
        mode_t dir_mode;
        uid_t meta_owner;  // -1: ours
        const char* why;   // after the directory's path; empty when trusted
    } cases[] = {
        {0755, static_cast<uid_t>(-1), ""},
        {0775, static_cast<uid_t>(-1), " is writable by its group"},
        {0777, static_cast<uid_t>(-1), " is writable by others"},
        {01777, static_cast<uid_t>(-1), ""},
        {0755, 65534, "/b.meta belongs to uid 65534"},
        {01777, 65534, " is writable by others"},  // another's entry in a sticky directory
    };
    for (const Case& c : cases) {
        if (c.meta_owner != static_cast<uid_t>(-1) && geteuid() != 0) continue;  // needs chown
        std::string sub = dir / ("d" + std::to_string(&c - cases));
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
        ASSERT_TRUE(meta_write_file(sub + "/b.meta", "lvm:vg0/home=s"));
        ASSERT_EQ(chown((sub + "/b.meta").c_str(), c.meta_owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(chmod(sub.c_str(), c.dir_mode), 0);
        std::string why;
        EXPECT_EQ(backup_is_trusted(sub + "/b.meta", &why), c.why[0] == '\0') << c.dir_mode;
        EXPECT_EQ(why, c.why[0] == '\0' ? "" : sub + c.why) << c.dir_mode;
        chmod(sub.c_str(), 0755);
    }
}

TEST(VolumePick, GroupsByRecordedVolumeAndPicksTheNewest) {
    TestTempDir dir;
    struct File {
        const char* name;
        const char* ref;
        long mtime;
        long usec;
    } files[] = {
        {"home-1.meta", "lvm:vg0/home=home_snap1", 1000, 0},
        {"home-3.meta", "lvm:vg0/home=home_snap3", 3000, 0},
        {"home-2.meta", "lvm:vg0/home=home_snap2", 2000, 0},
        {"db-a.meta", "lvm:vg0/db=db_snap", 5000, 0},
        {"db-b.meta", "lvm:vg0/db=db_snap", 5000, 0},  // same time: the greater path wins
        {"srv.meta", "lvm:vg1/srv=srv_snap", 100, 1},
        {"srv-old.meta", "lvm:vg1/srv=srv_snap", 100, 0},  // older by a microsecond
        {"other-vg-home.meta", "lvm:vg1/home=home_snap", 9000, 0},
        {"broken.meta", "", 99999, 0},  // newest of all, but names no volume
    };
    std::vector<ScannedBackup> scanned;
    for (const File& f : files) {
        ASSERT_TRUE(meta_write_file(dir / f.name, f.ref));
        set_mtime(dir / f.name, f.mtime, f.usec);
        scanned.push_back(backup_scan_one(dir / f.name, kScanTime));
    }
    std::vector<VolumePick> picks = volume_pick_newest(scanned);
    ASSERT_EQ(picks.size(), 4u);
    auto chosen = [&](std::size_t i) {
        return scanned[picks[i].newest].meta_path.substr(dir.path().size() + 1);
    };
    EXPECT_EQ(picks[0].volume, "vg0/db");
    EXPECT_EQ(chosen(0), "db-b.meta");
    EXPECT_EQ(picks[0].backups, 2u);
    EXPECT_EQ(picks[1].volume, "vg0/home");
    EXPECT_EQ(chosen(1), "home-3.meta");
    EXPECT_EQ(picks[1].backups, 3u);
    EXPECT_EQ(picks[2].volume, "vg1/home");
    EXPECT_EQ(picks[3].volume, "vg1/srv");
    EXPECT_EQ(chosen(3), "srv.meta");
}

}  // namespace
}  // namespace qor
