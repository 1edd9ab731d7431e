#include "verify_all/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/test_temp_dir.h"

namespace qor {
namespace {

std::string parse_error(const std::string& text) {
    VerifyAllConfig config;
    char err[400] = "";
    EXPECT_EQ(config_parse(text, &config, err, sizeof err), -1) << text;
    return err;
}

TEST(VerifyAllConfig, ReadsGlobalSettingsAndVolumeSections) {
    const char* text =
        "\xEF\xBB\xBF# nightly verification\n"
        "; written on another system\n"
        "backups = /srv/backups\n"
        "  backups\t=  /srv/more/*.meta  \n"
        "history = /var/lib/qor/h.jsonl\n"
        "textfile =\n"
        "nice = 5\n"
        "io-class = best-effort\n"
        "reverify-after = 3\n"
        "max-duration = 6h\n"
        "timeout = 90m\n"
        "lock = /run/q.lock\n"
        "restore-args = --threads 4\n"
        "\n"
        "[vg0/home]\n"
        "mode = fs\n"
        "remove-snapshot-after = yes\n"
        "target-file = /var/tmp/home.img\n"
        "restore-args = --label 'my home' --note=\"it's\"\n"
        "[ vg0/db ]\n"
        "skip = yes\n"
        "restore-args =\n";
    VerifyAllConfig c;
    char err[400] = "junk";
    ASSERT_EQ(config_parse(text, &c, err, sizeof err), 0) << err;
    EXPECT_STREQ(err, "");
    EXPECT_EQ(c.backups, (std::vector<std::string>{"/srv/backups", "/srv/more/*.meta"}));
    EXPECT_EQ(c.history_path, "/var/lib/qor/h.jsonl");
    EXPECT_EQ(c.textfile_path, "");
    EXPECT_EQ(c.nice, 5);
    EXPECT_EQ(c.io_class, IoClass::best_effort);
    EXPECT_EQ(c.reverify_after_days, 3);
    EXPECT_EQ(c.max_duration_seconds, 6 * 3600);
    EXPECT_EQ(c.timeout_seconds, 90 * 60);
    EXPECT_EQ(c.lock_path, "/run/q.lock");

    ResolvedSettings home = config_settings_for(c, "vg0/home");
    EXPECT_EQ(home.mode, VERIFY_MODE_FS);
    EXPECT_TRUE(home.remove_snapshot_after);
    EXPECT_EQ(home.target_file, "/var/tmp/home.img");
    EXPECT_EQ(home.restore_args, (std::vector<std::string>{"--label", "my home", "--note=it's"}));
    EXPECT_EQ(config_settings_for(c, "vg1/srv").restore_args,
              (std::vector<std::string>{"--threads", "4"}));

    ResolvedSettings db = config_settings_for(c, "vg0/db");
    EXPECT_TRUE(db.skip);
    EXPECT_TRUE(db.restore_args.empty());  // an empty value overrides the default

    ResolvedSettings other = config_settings_for(c, "vg1/srv");
    EXPECT_EQ(other.mode, VERIFY_MODE_BYTE);
    EXPECT_FALSE(other.remove_snapshot_after);
    EXPECT_FALSE(other.skip);
}

TEST(VerifyAllConfig, DefaultsWhenOnlyBackupsAreGiven) {
    VerifyAllConfig c;
    ASSERT_EQ(config_parse("backups = /b\n", &c, nullptr, 0), 0);
    EXPECT_EQ(c.history_path, VERIFY_ALL_HISTORY_PATH);
    EXPECT_EQ(c.textfile_path, VERIFY_ALL_TEXTFILE_PATH);
    EXPECT_EQ(c.nice, 10);
    EXPECT_EQ(c.io_class, IoClass::idle);
}

TEST(VerifyAllConfig, AVolumeTargetReplacesAnInheritedOneOfTheOtherKind) {
    VerifyAllConfig c;
    ASSERT_EQ(config_parse("backups = /b\ntarget-file = /t/x\n[vg0/home]\ntarget-lv = vg1/check\n"
                           "[vg0/db]\ntarget-lv =\n",
                           &c, nullptr, 0),
              0);
    ResolvedSettings home = config_settings_for(c, "vg0/home");
    EXPECT_EQ(home.target_lv, "vg1/check");
    EXPECT_EQ(home.target_file, "");
    ResolvedSettings db = config_settings_for(c, "vg0/db");  // back to the default scratch LV
    EXPECT_EQ(db.target_lv, "");
    EXPECT_EQ(db.target_file, "");
    EXPECT_EQ(config_settings_for(c, "vg0/srv").target_file, "/t/x");
}

TEST(VerifyAllConfig, RefusesBadLinesNamingTheLine) {
    const std::string b = "backups = /b\n";
    struct Case {
        std::string text;
        const char* error;
    } cases[] = {
        {b + "mode = FS\n", "line 2: mode must be byte or fs"},
        {b + "colour = blue\n", "line 2: unknown setting 'colour'"},
        {b + "just words\n", "line 2: expected <setting> = <value>"},
        {b + "mode = fs\nmode = byte\n", "line 3: 'mode' is set twice"},
        {b + "[vg0/home]\nbackups = /c\n",
         "line 3: 'backups' belongs before the first [volume] section"},
        {b + "[vg0]\n", "line 2: a section names one volume as [<vg>/<origin>]"},
        {b + "[vg0/home\n", "line 2: a section header ends with ]"},
        {b + "[vg0/a]\n[vg0/a]\n", "line 3: volume vg0/a has two sections"},
        {"backups = srv\n", "line 1: backups must be an absolute path or pattern"},
        {b + "nice = -5\n", "line 2: nice must be a number from 0 to 19"},
        {b + "nice = 3x\n", "line 2: nice must be a number from 0 to 19"},
        {b + "reverify-after = 3651\n",
         "line 2: reverify-after must be a number of days from 0 to 3650"},
        {b + "io-class = realtime\n", "line 2: io-class must be idle, best-effort or none"},
        {b + "skip = maybe\n", "line 2: must be yes or no"},
        {b + "target-lv = home\n", "line 2: target-lv must be <vg>/<lv>"},
        {b + "target-file = rel\n", "line 2: target-file must be an absolute path"},
        {b + "target-lv = a/b\ntarget-file = /x\n",
         "line 3: target-lv and target-file exclude each other"},
        {b + std::string("mode = b\0yte\n", 13), "line 2: the line holds a zero byte"},
        {b + "restore-args = " + std::string(5000, 'x') + "\n", "line 2: the line is too long"},
        {b + "restore-args = --label 'my home\n",
         "line 2: restore-args has a quote that is not closed"},
        {b + "reverify-after = -1\n",
         "line 2: reverify-after must be a number of days from 0 to 3650"},
        {b + "timeout = 5w\n",
         "line 2: timeout must be a duration such as 90m, 6h or 0 (no limit)"},
        {b + "max-duration = h\n",
         "line 2: max-duration must be a duration such as 90m, 6h or 0 (no limit)"},
        {b + "lock = run.lock\n", "line 2: lock must be an absolute path"},
        {"\xEF\xBB\xBF"
         "backups = /b\n; fine\nmode = x\n",
         "line 3: mode must be byte or fs"},
        {"# nothing\n", "no backups are configured (add a 'backups =' line)"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_error(c.text), c.error) << c.text;
}

TEST(VerifyAllConfig, ReadRefusesAFileOthersCanChange) {
    TestTempDir dir;
    std::string path = dir / "verify-all.conf";
    std::ofstream(path) << "backups = /srv\n";
    chmod(path.c_str(), 0644);
    VerifyAllConfig c;
    char err[400];
    EXPECT_EQ(config_read(path.c_str(), &c, err, sizeof err), 0) << err;

    chmod(path.c_str(), 0664);
    EXPECT_EQ(config_read(path.c_str(), &c, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), path +
                                    " may be changed by users other than root; refusing to run "
                                    "its commands (chown root and chmod go-w it)");

    chmod(path.c_str(), 0644);
    std::ofstream(path) << "backups = /srv\nmode = x\n";
    EXPECT_EQ(config_read(path.c_str(), &c, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), path + " line 2: mode must be byte or fs");

    EXPECT_EQ(config_read(dir.path().c_str(), &c, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), dir.path() + " is not a regular file of at most 1048576 bytes");
    // A FIFO is refused at once, not waited on for a writer.
    std::string fifo = dir / "fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(config_read(fifo.c_str(), &c, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), fifo + " is not a regular file of at most 1048576 bytes");
    std::string missing = dir / "none.conf";
    EXPECT_EQ(config_read(missing.c_str(), &c, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot read " + missing + ": No such file or directory");
}

}  // namespace
}  // namespace qor
