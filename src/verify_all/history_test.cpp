#include "verify_all/history.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/selftest.h"
#include "support/test_temp_dir.h"
#include "verify_all/textfile.h"

namespace qor {
namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

VerificationRecord identical_run() {
    VerificationRecord r;
    r.meta_path = "/srv/backups/home.meta";
    r.volume = "vg0/home";
    r.meta_size = 4096;
    r.meta_mtime = 1796670000;
    r.snapshot_ref = "lvm:vg0/home=home_snap";
    r.snapshot_removed = true;
    r.start_time = 1796677719;  // 2026-12-07T21:08:39Z
    r.duration_seconds = 12.3456;
    r.ran = true;
    r.run = {0, 0, "verified identical: 8388608 bytes compared, 0 mismatches"};
    r.outcome = OutcomeClass::identical;
    r.meta_mtime = 1796670000;
    return r;
}

TEST(History, FormatsOneJsonLinePerRecord) {
    std::string line;
    char err[400];
    ASSERT_EQ(history_format_line(identical_run(), &line, err, sizeof err), 0);
    EXPECT_EQ(
        line,
        R"({"meta":"/srv/backups/home.meta","volume":"vg0/home","mode":"byte","size":4096,)"
        R"("meta_mtime":1796670000,"snapshot_ref":"lvm:vg0/home=home_snap","snapshot_removed":true,)"
        R"("start":"2026-12-07T21:08:39Z","start_time":1796677719,"duration_seconds":12.346,)"
        R"("exit_status":0,"signal":null,"verdict":"verified identical: 8388608 bytes compared, 0 mismatches",)"
        R"("class":"identical","bytes_compared":8388608})"
        "\n");
}

TEST(History, RecordsARunThatDidNotHappenWithItsReason) {
    VerificationRecord r;
    r.meta_path = "/srv/backups/bad\n\"name\xff.meta";  // hostile bytes stay data
    r.start_time = 0;
    r.reason = "the file is not a backup header";
    std::string line;
    ASSERT_EQ(history_format_line(r, &line, nullptr, 0), 0);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    for (char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << line;
    auto j = nlohmann::json::parse(line);
    EXPECT_EQ(j["meta"], "/srv/backups/bad\n\"name\xef\xbf\xbd.meta");
    EXPECT_TRUE(j["volume"].is_null());
    EXPECT_TRUE(j["exit_status"].is_null());
    EXPECT_TRUE(j["verdict"].is_null());
    EXPECT_EQ(j["class"], "could-not-verify");
    EXPECT_EQ(j["reason"], "the file is not a backup header");
    EXPECT_FALSE(j.contains("bytes_compared"));

    VerificationRecord killed = identical_run();
    killed.run = {-1, 15, ""};
    killed.outcome = OutcomeClass::could_not_verify;
    ASSERT_EQ(history_format_line(killed, &line, nullptr, 0), 0);
    j = nlohmann::json::parse(line);
    EXPECT_TRUE(j["exit_status"].is_null());
    EXPECT_EQ(j["signal"], 15);
    EXPECT_TRUE(j["verdict"].is_null());
}

TEST(History, AppendsAndReadsTheNewestSkippingLinesItCannotUse) {
    TestTempDir dir;
    std::string path = dir / "history.jsonl";
    std::map<std::string, VolumeHistory> summary;
    char err[400];
    ASSERT_EQ(history_read_latest(path, &summary, err, sizeof err), 0) << "a missing file is empty";
    EXPECT_TRUE(summary.empty());

    VerificationRecord ok = identical_run();
    VerificationRecord later = ok;
    later.start_time += 86400;
    later.duration_seconds = 2;
    later.run = {1, 0, "verification failed: the restored target differs from the snapshot: x"};
    later.outcome = OutcomeClass::differs;
    later.meta_mtime = ok.meta_mtime + 86400;          // a newer backup, which differs
    for (const VerificationRecord& r : {ok, later}) {  // the line written last is the newest
        std::string line;
        ASSERT_EQ(history_format_line(r, &line, nullptr, 0), 0);
        ASSERT_EQ(history_append(path, line, err, sizeof err), 0) << err;
    }
    std::ofstream(path, std::ios::app) << "{not json\n[1,2]\n{\"volume\":\"vg0/home\"}\n";
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // Root hands a new history to the group a monitoring agent joins.
    if (const group* adm = getgrnam("adm"); adm != nullptr && geteuid() == 0) {
        EXPECT_EQ(st.st_gid, adm->gr_gid);
    }

    ASSERT_EQ(history_read_latest(path, &summary, err, sizeof err), 0);
    ASSERT_EQ(summary.size(), 1u);
    const VolumeHistory& h = summary["vg0/home"];
    EXPECT_EQ(h.last_run, later.start_time);
    EXPECT_EQ(h.last_outcome, OutcomeClass::differs);
    EXPECT_DOUBLE_EQ(h.last_duration, 2);
    EXPECT_EQ(h.last_success, ok.start_time);
    ASSERT_TRUE(h.last_identical);
    EXPECT_EQ(h.last_identical->meta_path, ok.meta_path);
    EXPECT_EQ(h.last_identical->meta_size, 4096);
    EXPECT_EQ(h.last_identical->meta_mtime, 1796670000);
    EXPECT_EQ(h.last_identical->snapshot_ref, ok.snapshot_ref);
    EXPECT_TRUE(h.last_identical->snapshot_removed);
    EXPECT_EQ(h.last_meta_mtime, later.meta_mtime);

    ASSERT_EQ(history_append(dir / "new/dir/h.jsonl", "x\n", err, sizeof err), 0) << err;
    EXPECT_EQ(read_file(dir / "new/dir/h.jsonl"), "x\n");
    EXPECT_EQ(history_append(path + "/h.jsonl", "x\n", err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot open the history " + path + "/h.jsonl: Not a directory");
}

// 50 volumes, one record a night for five years, stay within the bound; the
// newest identical record outlives it, and what is kept is still read alike.
TEST(History, CompactsToTheNewestRecordsOfEachVolume) {
    TestTempDir dir;
    std::string path = dir / "history.jsonl";
    std::string text;
    VerificationRecord r = identical_run();
    for (int night = 0; night < 5 * 365; ++night) {
        for (int v = 0; v < 50; ++v) {
            r.volume = "vg0/lv" + std::to_string(v);
            r.start_time = 1000000 + night * 86400;
            // Volume 0 succeeded on the first night only.
            r.outcome = v != 0 || night == 0 ? OutcomeClass::identical : OutcomeClass::differs;
            std::string line;
            ASSERT_EQ(history_format_line(r, &line, nullptr, 0), 0);
            text += line;
        }
    }
    std::ofstream(path) << text;
    chmod(path.c_str(), 0640);
    char err[400];
    std::map<std::string, VolumeHistory> before;
    ASSERT_EQ(history_read_latest(path, &before, err, sizeof err), 0) << err;
    ASSERT_EQ(history_compact(path, err, sizeof err), 0) << err;
    std::string kept = read_file(path);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 50 * 100 + 1);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    std::map<std::string, VolumeHistory> after;
    ASSERT_EQ(history_read_latest(path, &after, err, sizeof err), 0) << err;
    ASSERT_EQ(after.size(), 50u);
    EXPECT_EQ(after["vg0/lv0"].last_success, 1000000);
    EXPECT_EQ(after["vg0/lv0"].last_run, before["vg0/lv0"].last_run);
    EXPECT_EQ(after["vg0/lv7"].last_success, before["vg0/lv7"].last_success);
    ASSERT_EQ(history_compact(path, err, sizeof err), 0) << err;
    EXPECT_EQ(read_file(path), kept) << "a history within the bound is left as it is";
}

TEST(Textfile, RendersEveryVolumeWithEscapedLabels) {
    std::map<std::string, VolumeHistory> volumes;
    volumes["vg0/home"] = {2000, 12.5, OutcomeClass::identical, 2000, 1500};
    volumes["vg0/x\"y\n"] = {3000, 1, OutcomeClass::could_not_verify, 0};
    std::string text = textfile_render(volumes, 4000, 2);
    EXPECT_EQ(
        text,
        "# HELP qor_verify_last_run_timestamp_seconds Start of the last verification of the "
        "volume's newest backup.\n"
        "# TYPE qor_verify_last_run_timestamp_seconds gauge\n"
        "qor_verify_last_run_timestamp_seconds{volume=\"vg0/home\"} 2000\n"
        "qor_verify_last_run_timestamp_seconds{volume=\"vg0/x\\\"y\\n\"} 3000\n"
        "# HELP qor_verify_last_success_timestamp_seconds Start of the last verification "
        "that found the backup identical (0: none known).\n"
        "# TYPE qor_verify_last_success_timestamp_seconds gauge\n"
        "qor_verify_last_success_timestamp_seconds{volume=\"vg0/home\"} 2000\n"
        "qor_verify_last_success_timestamp_seconds{volume=\"vg0/x\\\"y\\n\"} 0\n"
        "# HELP qor_verify_last_duration_seconds Duration of the last verification.\n"
        "# TYPE qor_verify_last_duration_seconds gauge\n"
        "qor_verify_last_duration_seconds{volume=\"vg0/home\"} 12.500\n"
        "qor_verify_last_duration_seconds{volume=\"vg0/x\\\"y\\n\"} 1.000\n"
        "# HELP qor_verify_last_result Result of the last verification: 1 for the result it "
        "had, 0 for the others.\n"
        "# TYPE qor_verify_last_result gauge\n"
        "qor_verify_last_result{volume=\"vg0/home\",result=\"identical\"} 1\n"
        "qor_verify_last_result{volume=\"vg0/home\",result=\"differs\"} 0\n"
        "qor_verify_last_result{volume=\"vg0/home\",result=\"could-not-verify\"} 0\n"
        "qor_verify_last_result{volume=\"vg0/x\\\"y\\n\",result=\"identical\"} 0\n"
        "qor_verify_last_result{volume=\"vg0/x\\\"y\\n\",result=\"differs\"} 0\n"
        "qor_verify_last_result{volume=\"vg0/x\\\"y\\n\",result=\"could-not-verify\"} 1\n"
        "# HELP qor_verify_last_backup_timestamp_seconds Modification time of the volume's "
        "newest backup verified (none: not known).\n"
        "# TYPE qor_verify_last_backup_timestamp_seconds gauge\n"
        "qor_verify_last_backup_timestamp_seconds{volume=\"vg0/home\"} 1500\n"
        "# HELP qor_verify_all_last_pass_timestamp_seconds Start of the last qor_verify_all pass.\n"
        "# TYPE qor_verify_all_last_pass_timestamp_seconds gauge\n"
        "qor_verify_all_last_pass_timestamp_seconds 4000\n"
        "# HELP qor_verify_all_unusable_backups .meta files of the last pass that could not "
        "be read or name no LVM snapshot.\n"
        "# TYPE qor_verify_all_unusable_backups gauge\n"
        "qor_verify_all_unusable_backups 2\n"
        "# HELP qor_verify_build_info The qor_verify_all that wrote this file.\n"
        "# TYPE qor_verify_build_info gauge\n"
        "qor_verify_build_info{version=\"" +
            std::string(version_string()) + "\",build=\"" + build_string() + "\"} 1\n");

    // Names longer than any line buffer still give whole lines.
    std::string quotes(127, '"'), escaped;
    for (int i = 0; i < 127; ++i) escaped += "\\\"";
    volumes = {{quotes + "/" + quotes, {1, 0, OutcomeClass::differs, 0}}};
    text = textfile_render(volumes, 1, 0);
    EXPECT_NE(text.find("qor_verify_last_result{volume=\"" + escaped + "/" + escaped +
                        "\",result=\"differs\"} 1\n"),
              std::string::npos);
}

TEST(Textfile, TwoNamesThatEscapeAlikeGiveOneSeries) {
    std::map<std::string, VolumeHistory> volumes;
    volumes["vg0/a\x01"] = {1, 0, OutcomeClass::identical, 1};
    volumes["vg0/a\x02"] = {2, 0, OutcomeClass::differs, 0};
    std::string text = textfile_render(volumes, 5, 0);
    std::size_t first = text.find("qor_verify_last_run_timestamp_seconds{volume=\"vg0/a?\"}");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("qor_verify_last_run_timestamp_seconds{volume=\"vg0/a?\"}", first + 1),
              std::string::npos);
}

TEST(Textfile, ReplacesTheFileWholeAndLeavesNoTemporaryFile) {
    TestTempDir dir;
    std::string path = dir / "qor.prom";
    std::ofstream(path) << "old\n";
    char err[400];
    ASSERT_EQ(textfile_write(path, "new\n", err, sizeof err), 0) << err;
    EXPECT_EQ(read_file(path), "new\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    std::size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);

    std::string nowhere = dir / "missing/qor.prom";
    EXPECT_EQ(textfile_write(nowhere, "x", err, sizeof err), -1);
    EXPECT_EQ(std::string(err),
              "cannot create a file beside " + nowhere + ": No such file or directory");
}

}  // namespace
}  // namespace qor
