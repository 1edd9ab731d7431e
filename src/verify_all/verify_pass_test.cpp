#include "verify_all/verify_pass.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <fstream>
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

int fake_run(const std::vector<std::string>& argv, VerifierRun* run, char* err, std::size_t size) {
    g_calls.push_back(argv);
    if (g_raise_after_calls == static_cast<int>(g_calls.size())) raise(SIGTERM);
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

class VerifyPassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_answers.clear();
        g_calls.clear();
        g_leftovers.clear();
        g_raise_after_calls = 0;
        interrupt_clear();
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
    };
    for (const Case& c : cases) {
        g_answers.clear();
        g_answers[a] = c.a;
        if (c.b_runs) g_answers[b] = c.b;
        EXPECT_EQ(pass(), c.expected) << stderr_;
    }
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 8u);
    EXPECT_EQ(h[5]["class"], "differs");
    EXPECT_EQ(h[7]["reason"], "could not run qor_verifier: no such program");
    // The last pass's failure does not erase the success before it.
    std::string t = textfile();
    EXPECT_NE(t.find("qor_verify_last_result{volume=\"vg0/b\",result=\"could-not-verify\"} 1\n"),
              std::string::npos);
    EXPECT_NE(t.find("qor_verify_last_success_timestamp_seconds{volume=\"vg0/b\"} " +
                     std::to_string(h[1]["start_time"].get<long>()) + "\n"),
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
    EXPECT_NE(stderr_.find("WARN  cannot use " + dir_ / "backups/bad.meta" +
                           ": the file is not a backup header"),
              std::string::npos);
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
    EXPECT_EQ(pass(true), VERIFY_ALL_EXIT_IDENTICAL);
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
    interrupt_install();
    g_raise_after_calls = 1;
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_NE(stderr_.find("interrupted by SIGTERM: 1 volume(s) not verified"), std::string::npos);
    signal(SIGTERM, SIG_DFL);
}

TEST_F(VerifyPassTest, NothingFoundIsNotSuccess) {
    EXPECT_EQ(pass(), VERIFY_ALL_EXIT_UNVERIFIED);
    EXPECT_NE(stderr_.find("no .meta file found in the configured backups"), std::string::npos);
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
