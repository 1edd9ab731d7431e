#include "verify_all/status.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/test_temp_dir.h"

namespace qor {
namespace {

constexpr std::int64_t kNow = 1800000000;
constexpr std::int64_t kDay = 86400;

VolumeHistory verified(OutcomeClass last, std::int64_t success_age) {
    return {kNow - 3600, 12, last, success_age < 0 ? 0 : kNow - success_age, kNow - 2 * kDay};
}

TEST(Status, JudgesEveryVolumeInOneMonitoringLine) {
    const auto identical = OutcomeClass::identical;
    const auto differs = OutcomeClass::differs;
    const auto failed = OutcomeClass::could_not_verify;
    struct Case {
        const char* what;
        std::map<std::string, VolumeHistory> volumes;
        int state;
        const char* line;
    } cases[] = {
        {"a failed night within the allowance is still OK",
         {{"vg0/a", verified(identical, kDay)}, {"vg0/b", verified(failed, 8 * kDay)}},
         STATUS_OK,
         "QOR VERIFY OK - 2 volumes verified identical within 8 days | volumes=2;;;0 "
         "differing=0;;0;0 stale=0;0;;0 oldest_success_age=691200s;691200;;0"},
        {"one second past reverify-after plus a day, and never, warn",
         {{"vg0/a", verified(failed, 8 * kDay + 1)},
          {"vg0/b", {}},
          {"vg0/c", verified(identical, 60)}},
         STATUS_WARNING,
         "QOR VERIFY WARNING - 2 of 3 volumes without an identical verification for more than 8 "
         "days: vg0/a, vg0/b | volumes=3;;;0 differing=0;;0;0 stale=2;0;;0 "
         "oldest_success_age=U;691200;;0"},
        {"a difference is critical, however recent the last success",
         {{"vg0/a", verified(differs, kDay)}, {"vg0/b", verified(failed, 9 * kDay)}},
         STATUS_CRITICAL,
         "QOR VERIFY CRITICAL - 1 of 2 volumes differ from their snapshots: vg0/a; 1 of 2 volumes "
         "without an identical verification for more than 8 days: vg0/b | volumes=2;;;0 "
         "differing=1;;0;0 stale=1;0;;0 oldest_success_age=777600s;691200;;0"},
        {"names from the history cannot end the line or start the performance data",
         {{"vg0/x|y=1\n", verified(differs, kDay)}},
         STATUS_CRITICAL,
         "QOR VERIFY CRITICAL - 1 of 1 volumes differ from their snapshots: vg0/x?y=1\\n | "
         "volumes=1;;;0 differing=1;;0;0 stale=0;0;;0 oldest_success_age=86400s;691200;;0"},
        {"a long list is cut",
         {{"v/1", {}},
          {"v/2", {}},
          {"v/3", {}},
          {"v/4", {}},
          {"v/5", {}},
          {"v/6", {}},
          {"v/7", {}}},
         STATUS_WARNING,
         "QOR VERIFY WARNING - 7 of 7 volumes without an identical verification for more than 8 "
         "days: v/1, v/2, v/3, v/4, v/5 and 2 more | volumes=7;;;0 differing=0;;0;0 "
         "stale=7;0;;0 oldest_success_age=U;691200;;0"},
        {"nothing to judge is unknown",
         {},
         STATUS_UNKNOWN,
         "QOR VERIFY UNKNOWN - the history records no verification and the configuration names "
         "no volume | volumes=0;;;0 differing=0;;0;0 stale=0;0;;0 oldest_success_age=0s;691200;;0"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(status_render(c.volumes, 7, kNow, false, &out), c.state) << c.what;
        EXPECT_EQ(out, std::string(c.line) + "\n") << c.what;
    }
}

TEST(Status, JsonGivesEachVolumesResultAndAges) {
    std::map<std::string, VolumeHistory> volumes{{"vg0/a", verified(OutcomeClass::identical, 60)},
                                                 {"vg0/\xff", {}}};
    std::string out;
    ASSERT_EQ(status_render(volumes, 3, kNow, true, &out), STATUS_WARNING);
    ASSERT_EQ(out.find('\n'), out.size() - 1);
    for (char c : out) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << "ASCII only";
    auto j = nlohmann::json::parse(out);
    EXPECT_EQ(j["status"], "WARNING");
    EXPECT_EQ(j["reverify_after_days"], 3);
    ASSERT_EQ(j["volumes"].size(), 2u);
    const auto& a = j["volumes"][0];
    EXPECT_EQ(a["volume"], "vg0/a");
    EXPECT_EQ(a["state"], "OK");
    EXPECT_EQ(a["last_result"], "identical");
    EXPECT_EQ(a["last_success_age_seconds"], 60);
    EXPECT_EQ(a["newest_backup_age_seconds"], 2 * kDay);
    const auto& never = j["volumes"][1];
    EXPECT_EQ(never["state"], "WARNING");
    EXPECT_TRUE(never["last_result"].is_null());
    EXPECT_TRUE(never["last_success_age_seconds"].is_null());
    EXPECT_TRUE(never["newest_backup"].is_null());
}

TEST(Status, JudgesConfiguredVolumesButNotSkippedOnes) {
    VerifyAllConfig config;
    config.volumes.push_back({"vg0/new", {}});
    config.volumes.push_back({"vg0/off", {}});
    config.volumes.back().settings.skip = true;
    std::map<std::string, VolumeHistory> history{{"vg0/old", {}}, {"vg0/off", {}}};
    auto volumes = status_volumes(config, history);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_TRUE(volumes.contains("vg0/new"));
    EXPECT_TRUE(volumes.contains("vg0/old"));
}

std::string report(const VerifyAllConfig& config, int* state) {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* out = open_memstream(&buf, &len);
    *state = status_report(config, true, out);
    std::fclose(out);
    std::string text(buf, len);
    std::free(buf);
    return text;
}

TEST(Status, ReadsTheHistoryNewestLineFirst) {
    TestTempDir dir;
    VerifyAllConfig config;
    config.history_path = dir / "history.jsonl";
    const std::int64_t t = time(nullptr) - kDay;
    struct Row {
        const char* volume;
        std::int64_t start;
        OutcomeClass outcome;
    } rows[] = {
        {"vg0/a", t - 20, OutcomeClass::identical},
        {"vg0/a", t - 10, OutcomeClass::identical},
        {"vg0/b\"q", t - 5, OutcomeClass::identical},
        {"vg0/c", t - 5, OutcomeClass::could_not_verify},
        {"vg0/a", t, OutcomeClass::differs},
    };
    for (const Row& row : rows) {
        VerificationRecord r;
        r.volume = row.volume;
        r.start_time = row.start;
        r.outcome = row.outcome;
        std::string line;
        ASSERT_EQ(history_format_line(r, &line, nullptr, 0), 0);
        ASSERT_EQ(history_append(config.history_path, line + "{not json\n", nullptr, 0), 0);
    }
    int state = -1;
    auto j = nlohmann::json::parse(report(config, &state));
    EXPECT_EQ(state, STATUS_CRITICAL);
    ASSERT_EQ(j["volumes"].size(), 3u) << j.dump();
    EXPECT_EQ(j["volumes"][0]["last_result"], "differs");
    EXPECT_EQ(j["volumes"][0]["last_success"], t - 10);
    EXPECT_EQ(j["volumes"][1]["volume"], "vg0/b\"q");
    EXPECT_EQ(j["volumes"][1]["last_success"], t - 5);
    EXPECT_TRUE(j["volumes"][2]["last_success"].is_null());

    config.history_path = dir.path();
    EXPECT_EQ(report(config, &state),
              "{\"status\":\"UNKNOWN\",\"summary\":\"cannot read the history " + dir.path() +
                  ": not a regular file\"}\n");
    EXPECT_EQ(state, STATUS_UNKNOWN);
}

}  // namespace
}  // namespace qor
