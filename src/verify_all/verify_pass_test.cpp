#include "verify_all/verify_pass.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/interrupt.h"
#include "common/unique_fd.h"
#include "support/image_writer.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

using qor::test::meta_write_file;

// The fake verifier's answers by .meta path, and the command lines it got.
std::map<std::string, VerifierRun> g_answers;
std::vector<std::vector<std::string>> g_calls;
std::vector<std::string> g_leftovers;  // "vg/lv" that exist
int g_raise_after_calls = 0;           // SIGTERM arrives during this run (1-based)
std::function<void()> g_during;        // what happens while each verification runs

int fake_run(const std::vector<std::string>& argv, std::int64_t, VerifierRun* run, char* err,
             std::size_t size) {
    g_calls.push_back(argv);
    if (g_raise_after_calls == static_cast<int>(g_calls.size())) raise(SIGTERM);
    if (g_during) g_during();
    std::string meta = argv.at(1).substr(std::string("--meta=").size());
    auto it = g_answers.find(meta);
    if (it == g_answers.end()) {
        snprintf(err, size, "no such program");
        return -1;
    }
    *run = it->second;
    return 0;
}

int fake_probe(const std::string& vg, const std::string& lv) {
    for (const std::string& name : g_leftovers) {
        if (name == vg + "/" + lv) return 1;
    }
    return 0;
}

const VerifierRun kIdentical{0, 0, "verified identical: 4096 bytes compared, 0 mismatches"};
const VerifierRun kDiffers{
    1, 0,
    "verification failed: the restored target differs from the snapshot (see the logged "
    "'diff -rq' output above for which files)"};
const VerifierRun kFailed{1, 0, "verification failed: cannot create the restore target: x"};
const VerifierRun kTimedOut{1, 0, "verification failed: interrupted by SIGTERM", true};

class VerifyPassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_answers.clear();
        g_calls.clear();
        g_leftovers.clear();
        g_raise_after_calls = 0;
        g_during = nullptr;
        interrupt_clear();
        config_.reverify_after_days = 0;  // every pass verifies again, unless a case says
        config_.backups = {dir_.path() + "/backups"};
        config_.history_path = dir_ / "history.jsonl";
        config_.textfile_path = dir_ / "qor.prom";
        std::filesystem::create_directory(dir_ / "backups");
    }
    void TearDown() override { interrupt_clear(); }

    std::string backup(const char* name, const char* ref, long mtime) {
        std::string path = dir_ / (std::string("backups/") + name);
        EXPECT_TRUE(meta_write_file(path, ref));
        timeval t[2] = {{mtime, 0}, {mtime, 0}};
        utimes(path.c_str(), t);
        return path;
    }

    int pass(bool dry_run = false) {
        PassTools tools{fake_run, fake_probe};
        char* buf = nullptr;
        std::size_t len = 0;
        std::FILE* out = open_memstream(&buf, &len);
        testing::internal::CaptureStderr();
        int status = verify_pass(config_, dry_run, tools, out);
        stderr_ = testing::internal::GetCapturedStderr();
        std::fclose(out);
        stdout_.assign(buf, len);
        std::free(buf);
        return status;
    }

    std::vector<nlohmann::json> history() {
        std::vector<nlohmann::json> lines;
        std::ifstream in(config_.history_path);
        std::string line;
        while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));
        return lines;
    }

    std::string textfile() {
        std::stringstream s;
        s << std::ifstream(config_.textfile_path).rdbuf();
        return s.str();
    }

    TestTempDir dir_;
    VerifyAllConfig config_;
    std::string stdout_, stderr_;
};

// What systemd would show in the unit's "Status:" line while the pass runs.
TEST_F(VerifyPassTest, TellsSystemdWhichVolumeItVerifies) {
    UniqueFd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir_ / "notify";
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    g_answers[backup("a.meta", "lvm:vg0/a=s", 1000)] = kIdentical;
    g_answers[backup("b.meta", "lvm:vg0/b=s", 1000)] = kIdentical;
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    int status = pass();
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(status, VERIFY_ALL_EXIT_IDENTICAL) << stderr_;
    std::string got;
    char buf[600];
    for (ssize_t n; (n = recv(sock.get(), buf, sizeof buf, 0)) > 0;) got.append(buf, n) += '|';
    EXPECT_NE(got.find("|STATUS=verifying vg0/a (1 of 2)|STATUS=verifying vg0/b (2 of 2)|"),
              std::string::npos)
        << got;
}

TEST_F(VerifyPassTest, VerifiesTheNewestOfEachVolumeOnceAndRecordsIt) {
    backup("home-1.meta", "lvm:vg0/home=s1", 1000);
    std::string home = backup("home-2.meta", "lvm:vg0/home=s2", 2000);
    std::string db = backup("db.meta", "lvm:vg0/db=s", 1500);
    g_answers[home] = kIdentical;
    g_answers[db] = kIdentical;
    config_.volumes.push_back({"vg0/db", {}});
    config_.volumes.back().settings.mode = VERIFY_MODE_FS;
    config_.volumes.back().settings.restore_args = std::vector<std::string>{"--threads", "4"};

    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL) << stderr_;
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0], (std::vector<std::string>{"qor_verifier", "--meta=" + db, "--mode=fs",
                                                    "--no-progress", "--", "--threads", "4"}));
    EXPECT_EQ(g_calls[1], (std::vector<std::string>{"qor_verifier", "--meta=" + home, "--mode=byte",
                                                    "--no-progress"}));
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[0]["volume"], "vg0/db");
    EXPECT_EQ(h[0]["mode"], "fs");
    EXPECT_EQ(h[1]["meta"], home);
    EXPECT_EQ(h[1]["class"], "identical");
    EXPECT_EQ(h[1]["bytes_compared"], 4096);
    EXPECT_EQ(h[1]["meta_mtime"], 2000);
    std::string t = textfile();
    EXPECT_NE(t.find("qor_verify_last_backup_timestamp_seconds{volume=\"vg0/home\"} 2000\n"),
              std::string::npos);
    EXPECT_NE(t.find("qor_verify_last_result{volume=\"vg0/home\",result=\"identical\"} 1\n"),
              std::string::npos);
    EXPECT_NE(t.find("qor_verify_last_success_timestamp_seconds{volume=\"vg0/db\"} " +
                     std::to_string(h[0]["start_time"].get<long>()) + "\n"),
              std::string::npos);
    EXPECT_NE(t.find("qor_verify_all_unusable_backups 0\n"), std::string::npos);
    EXPECT_NE(stderr_.find("pass done: 2 identical, 0 differ, 0 could not be verified"),
              std::string::npos);
}

TEST_F(VerifyPassTest, ExitStatusIsTheWorstClass) {
    std::string a = backup("a.meta", "lvm:vg0/a=s", 1);
    std::string b = backup("b.meta", "lvm:vg0/b=s", 1);
    struct Case {
        VerifierRun a, b;
        bool b_runs;
        int expected;
    } cases[] = {
        {kIdentical, kIdentical, true, VERIFY_ALL_EXIT_IDENTICAL},
        {kIdentical, kFailed, true, VERIFY_ALL_EXIT_UNVERIFIED},
        {kFailed, kDiffers, true, VERIFY_ALL_EXIT_DIFFERS},
        {kIdentical, {}, false, VERIFY_ALL_EXIT_UNVERIFIED},  // the verifier cannot be started
        {kIdentical, kTimedOut, true, VERIFY_ALL_EXIT_UNVERIFIED},
    };
    config_.timeout_seconds = 3600;
    for (const Case& c : cases) {
        g_answers.clear();
        g_answers[a] = c.a;
        if (c.b_runs) g_answers[b] = c.b;
        EXPECT_EQ(pass(), c.expected) << stderr_;
    }
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 10u);
    // b's record of each pass; the order within a pass follows the last successes.
    auto b_of = [&h](std::size_t pass) {
        return h[2 * pass]["volume"] == "vg0/b" ? h[2 * pass] : h[2 * pass + 1];
    };
    EXPECT_EQ(b_of(2)["class"], "differs");
    EXPECT_EQ(b_of(3)["reason"], "could not run qor_verifier: no such program");
    EXPECT_EQ(b_of(4)["class"], "could-not-verify");
    EXPECT_EQ(b_of(4)["reason"], "the verification was stopped after timeout = 3600 s");
    // The last pass's failure does not erase the success before it.
    std::string t = textfile();
    EXPECT_NE(t.find("qor_verify_last_result{volume=\"vg0/b\",result=\"could-not-verify\"} 1\n"),
              std::string::npos);
    EXPECT_NE(t.find("qor_verify_last_success_timestamp_seconds{volume=\"vg0/b\"} " +
                     std::to_string(b_of(0)["start_time"].get<long>()) + "\n"),
              std::string::npos);
}

TEST_F(VerifyPassTest, AMalformedMetaIsRecordedAndTheOthersStillRun) {
    std::string good = backup("good.meta", "lvm:vg0/home=s", 1);
    std::ofstream(dir_ / "backups/bad.meta") << "garbage";
    backup("nosnap.meta", "", 1);
    g_answers[good] = kIdentical;
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    EXPECT_EQ(g_calls.size(), 1u);
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0]["meta"], dir_ / "backups/bad.meta");
    EXPECT_EQ(h[0]["class"], "could-not-verify");
    EXPECT_EQ(h[0]["reason"], "the file is not a backup header");
    EXPECT_EQ(h[2]["class"], "identical");
    // One line for the directory, however many files in it cannot be used.
    EXPECT_NE(stderr_.find("WARN  cannot use 2 .meta files in " + dir_ / "backups" +
                           "; the first, bad.meta: the file is not a backup header\n"),
              std::string::npos);
    EXPECT_EQ(stderr_.find("nosnap.meta"), std::string::npos);
    EXPECT_NE(textfile().find("qor_verify_all_unusable_backups 2\n"), std::string::npos);
}

TEST_F(VerifyPassTest, ALeftoverScratchLvIsReportedAndNotTouched) {
    std::string home = backup("home.meta", "lvm:vg0/home=s", 1);
    std::string srv = backup("srv.meta", "lvm:vg0/srv=s", 1);
    g_answers[home] = kIdentical;
    g_answers[srv] = kIdentical;
    g_leftovers = {"vg0/home_qorverify", "vg9/check"};
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0][1], "--meta=" + srv);
    const char* sentence =
        "the scratch LV vg0/home_qorverify is left from an earlier run that did not finish; "
        "inspect it, then remove it with 'lvremove vg0/home_qorverify' (qor_verify_all never "
        "removes it)";
    EXPECT_NE(stderr_.find(std::string("ERROR vg0/home: ") + sentence), std::string::npos);
    EXPECT_EQ(history()[0]["reason"], sentence);

    // A configured target LV is the one looked for; a target file needs no LV.
    config_.defaults.target_lv = "vg9/check";
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    EXPECT_EQ(g_calls.size(), 1u);
    config_.defaults.target_lv.reset();
    config_.defaults.target_file = "/var/tmp/x";
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL);
    EXPECT_EQ(g_calls.size(), 3u);
}

TEST_F(VerifyPassTest, DryRunListsAndChangesNothing) {
    std::string home = backup("home.meta", "lvm:vg0/home=s", 1);
    backup("home-old.meta", "lvm:vg0/home=s", 0);
    backup("db.meta", "lvm:vg0/db=s", 1);
    std::ofstream(dir_ / "backups/bad.meta") << "garbage";
    g_leftovers = {"vg0/home_qorverify"};
    config_.volumes.push_back({"vg0/db", {}});
    config_.volumes.back().settings.skip = true;
    config_.volumes.push_back({"vg0/hmoe", {}});
    EXPECT_EQ(pass(true), VERIFY_ALL_EXIT_UNVERIFIED) << "an unusable backup was found";
    EXPECT_NE(stderr_.find("WARN  [vg0/hmoe] names a volume that no backup records"),
              std::string::npos);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_FALSE(std::filesystem::exists(config_.history_path));
    EXPECT_FALSE(std::filesystem::exists(config_.textfile_path));
    EXPECT_EQ(stdout_,
              "unusable: cannot use " + dir_ / "backups/bad.meta" +
                  ": the file is not a backup header\n"
                  "vg0/db: skipped (skip = yes)\n"
                  "vg0/home: " +
                  home +
                  " (newest of 2)\n"
                  "  qor_verifier --meta=" +
                  home +
                  " --mode=byte --no-progress\n"
                  "  not now: the scratch LV vg0/home_qorverify is left from an earlier run that "
                  "did not finish; inspect it, then remove it with 'lvremove vg0/home_qorverify' "
                  "(qor_verify_all never removes it)\n");
}

TEST_F(VerifyPassTest, AStopEndsThePassBeforeTheNextVolume) {
    std::string a = backup("a.meta", "lvm:vg0/a=s", 1);
    std::string b = backup("b.meta", "lvm:vg0/b=s", 1);
    g_answers[a] = kIdentical;
    g_answers[b] = kIdentical;
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL);
    g_calls.clear();
    interrupt_install();
    g_raise_after_calls = 1;
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_NE(stderr_.find("interrupted by SIGTERM: 1 volume(s) not verified"), std::string::npos);
    signal(SIGTERM, SIG_DFL);
    // The volume not reached keeps its series.
    EXPECT_NE(textfile().find("qor_verify_last_result{volume=\"vg0/b\",result=\"identical\"} 1\n"),
              std::string::npos);
}

TEST_F(VerifyPassTest, NothingFoundIsNotSuccess) {
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    EXPECT_NE(stderr_.find("no .meta file found in the configured backups"), std::string::npos);
}

// Without a textfile line, a host without node_exporter has no metrics file;
// a textfile asked for that cannot be written is a failure.
TEST_F(VerifyPassTest, AMissingMetricsDirectoryFailsOnlyWhenTheTextfileIsConfigured) {
    g_answers[backup("a.meta", "lvm:vg0/a=s", 1)] = kIdentical;
    config_.textfile_path = dir_ / "node-exporter/qor.prom";
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL) << stderr_;
    EXPECT_NE(stderr_.find("INFO  no metrics file: " + dir_ / "node-exporter" + " does not exist"),
              std::string::npos);
    config_.textfile_configured = true;
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
}

// A configured volume never verified is published too, with no result.
TEST_F(VerifyPassTest, PublishesEveryKnownAndConfiguredVolumeWhateverThePassReached) {
    std::string a = backup("a.meta", "lvm:vg0/a=s", 1);
    g_answers[a] = kIdentical;
    g_answers[backup("b.meta", "lvm:vg0/b=s", 1)] = kDiffers;
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_DIFFERS);
    std::filesystem::remove(dir_ / "backups/b.meta");
    config_.volumes.push_back({"vg0/new", {}});
    config_.volumes.push_back({"vg0/off", {}});
    config_.volumes.back().settings.skip = true;
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL);
    std::string t = textfile();
    EXPECT_NE(t.find("qor_verify_last_result{volume=\"vg0/b\",result=\"differs\"} 1\n"),
              std::string::npos);
    EXPECT_NE(t.find("qor_verify_last_result{volume=\"vg0/new\",result=\"could-not-verify\"} 0\n"),
              std::string::npos);
    EXPECT_EQ(t.find("vg0/off"), std::string::npos);
}

// Whoever can write a backup's directory may not have a snapshot removed,
// nor swap the .meta while it is verified.
TEST_F(VerifyPassTest, AnUntrustedOrChangedBackupIsNeverTakenAtItsWord) {
    std::string a = backup("a.meta", "lvm:vg0/a=s", 1);
    std::string b = backup("b.meta", "lvm:vg0/b=s", 1);
    g_answers[a] = kIdentical;
    g_answers[b] = kIdentical;
    config_.defaults.remove_snapshot_after = true;
    chmod((dir_ / "backups").c_str(), 0777);
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL) << stderr_;
    chmod((dir_ / "backups").c_str(), 0755);
    ASSERT_EQ(g_calls.size(), 2u);
    for (const auto& argv : g_calls) {
        EXPECT_EQ(std::count(argv.begin(), argv.end(), "--remove-snapshot-after"), 0);
    }
    std::string warn = "WARN  backups in " + dir_ / "backups" + " are not trusted (" +
                       dir_ / "backups" +
                       " is writable by others): they are verified, but never with "
                       "remove-snapshot-after\n";
    ASSERT_NE(stderr_.find(warn), std::string::npos) << stderr_;
    EXPECT_EQ(stderr_.find(warn, stderr_.find(warn) + 1), std::string::npos) << "one per directory";

    config_.defaults.remove_snapshot_after = false;
    g_during = [&] { EXPECT_TRUE(meta_write_file(a, "lvm:vg0/other=s")); };
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    std::vector<nlohmann::json> h = history();
    EXPECT_EQ(h[h.size() - 2]["class"], "could-not-verify");
    EXPECT_EQ(h[h.size() - 2]["reason"],
              "the backup changed during its verification (its .meta was replaced or modified), "
              "so its result does not stand");
}

// An unchanged backup verified identical is not verified again for
// reverify-after days, nor ever once its snapshot is gone; the volume
// without a recent success goes first.
TEST_F(VerifyPassTest, WorkAlreadyDoneIsNotRedone) {
    std::string a = backup("a.meta", "lvm:vg0/a=s", 1);
    std::string b = backup("b.meta", "lvm:vg0/b=s", 1);
    g_answers[a] = kIdentical;
    g_answers[b] = kFailed;
    config_.reverify_after_days = 7;
    config_.volumes.push_back({"vg0/a", {}});
    config_.volumes.back().settings.remove_snapshot_after = true;
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    EXPECT_EQ(history()[0]["snapshot_removed"], true);
    g_answers[b] = kIdentical;
    g_calls.clear();
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL) << stderr_;
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0][1], "--meta=" + b);
    EXPECT_NE(stderr_.find("INFO  vg0/a: " + a + " already verified identical at "),
              std::string::npos);
    EXPECT_NE(stderr_.find(", and its snapshot was removed after that, so it cannot be verified "
                           "again\n"),
              std::string::npos);
    EXPECT_NE(stderr_.find("pass done: 1 identical, 0 differ, 0 could not be verified, 1 already "
                           "verified"),
              std::string::npos);

    // b is not verified again within reverify-after; a removed snapshot never is.
    config_.reverify_after_days = 0;
    config_.volumes.clear();
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL);
    EXPECT_EQ(g_calls.size(), 2u);
    config_.reverify_after_days = 7;
    g_calls.clear();
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_NE(stderr_.find("vg0/b: " + b + " already verified identical at "), std::string::npos);
    EXPECT_NE(stderr_.find(" (reverify-after = 7 days)"), std::string::npos);

    // A new backup of b is verified, after the never verified c.
    std::string b2 = backup("b2.meta", "lvm:vg0/b=s2", 2);
    std::string c = backup("c.meta", "lvm:vg0/c=s", 1);
    g_answers[b2] = kIdentical;
    g_answers[c] = kIdentical;
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0][1], "--meta=" + c);
    EXPECT_EQ(g_calls[1][1], "--meta=" + b2);
}

// After max-duration no verification starts; what was left is no failure
// and comes first the next time.
TEST_F(VerifyPassTest, ATimeBudgetLeavesTheRestForNextTime) {
    std::string a = backup("a.meta", "lvm:vg0/a=s", 1);
    std::string b = backup("b.meta", "lvm:vg0/b=s", 1);
    g_answers[a] = kIdentical;
    g_answers[b] = kIdentical;
    config_.max_duration_seconds = 1;
    g_during = [] { usleep(1'100'000); };
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL) << stderr_;
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_NE(stderr_.find("WARN  max-duration = 1 s is used up: 1 volume(s) not reached; they are "
                           "taken first next time"),
              std::string::npos);
    EXPECT_NE(stderr_.find(", 1 not reached"), std::string::npos);
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_IDENTICAL);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1][1], "--meta=" + b);
}

TEST_F(VerifyPassTest, AHistoryThatCannotBeWrittenIsNotSuccess) {
    std::string a = backup("a.meta", "lvm:vg0/a=s", 1);
    g_answers[a] = kIdentical;
    std::ofstream(dir_ / "file") << "x";
    config_.history_path = dir_ / "file/history.jsonl";
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    // The metrics still tell tonight's result.
    EXPECT_NE(textfile().find("qor_verify_last_result{volume=\"vg0/a\",result=\"identical\"} 1\n"),
              std::string::npos);
}

}  // namespace
}  // namespace qor
