#include "common/run_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_argv.h"
#include "support/test_log_line.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

namespace fs = std::filesystem;
using testing::ExitedWithCode;
using Lines = std::vector<std::string>;

// The run log is process-wide and registers an exit handler, so every test
// sets it up in a death-test child and looks at the log file afterwards.
[[noreturn]] void run_and_exit(TestArgv& args, const char* program, int status) {
    runlog_init(args.argc(), args.argv(), program);
    std::exit(status);
}

// The messages of the log file's lines, after checking the line shape and that
// all lines come from one process.
Lines log_messages(const std::string& path, const std::string& ident = "qor_verifier",
                   bool one_process = true) {
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    Lines messages;
    std::string first_pid;
    for (std::string line; std::getline(in, line);) {
        std::string rest;
        std::size_t digits = 0;
        if (log_line_after_tag(line, ident, &rest) && rest.rfind("pid=", 0) == 0) {
            digits = rest.find_first_not_of("0123456789", 4);
        }
        if (digits == 0 || digits == 4 || digits == std::string::npos || rest[digits] != ' ') {
            messages.push_back("unparsed: " + line);
            continue;
        }
        std::string pid = rest.substr(4, digits - 4);
        if (first_pid.empty()) first_pid = pid;
        if (one_process) {
            EXPECT_EQ(pid, first_pid) << line;
        }
        messages.push_back(rest.substr(digits + 1));
    }
    return messages;
}

class RunLog : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(tmp.ok()); }
    std::string log_dir() const { return tmp / "log"; }
    std::string log_file() const { return tmp / "log/verifier.log"; }
    TestTempDir tmp;
};

using RunLogDeathTest = RunLog;

TEST_F(RunLogDeathTest, WritesStartAndExitLines) {
    TestArgv args{"--no-syslog", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(run_and_exit(args, "qor_verifier", 3), ExitedWithCode(3), "");
    EXPECT_EQ(log_messages(log_file()), (Lines{"started", "stopped exit=3"}));
}

TEST_F(RunLogDeathTest, NegativeStatusGivesBareStopped) {
    TestArgv args{"--no-syslog", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(run_and_exit(args, "qor_verifier", -1), ExitedWithCode(255), "");
    EXPECT_EQ(log_messages(log_file()), (Lines{"started", "stopped"}));
}

TEST_F(RunLogDeathTest, AppendsToAnExistingFile) {
    ASSERT_TRUE(fs::create_directory(log_dir()));
    std::ofstream(log_file()) << "2000-01-01T00:00:00Z [qor_verifier] pid=1 earlier\n";
    TestArgv args{"--no-syslog", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(run_and_exit(args, "qor_verifier", 0), ExitedWithCode(0), "");
    EXPECT_EQ(log_messages(log_file(), "qor_verifier", false),
              (Lines{"earlier", "started", "stopped exit=0"}));
}

[[noreturn]] void run_with_umask_and_exit(TestArgv& args, mode_t mask) {
    ::umask(mask);
    ::alarm(5);  // an open that blocks ends the child instead of the test
    run_and_exit(args, "qor_verifier", 0);
}

// The log file is a regular file of its own: never a link followed to a
// victim, never a FIFO waited on, and neither it nor the directories made for
// it writable by others, whatever the umask.
TEST_F(RunLogDeathTest, OpensOnlyARegularFileOfItsOwnWithTightModes) {
    const std::string deep = tmp / "var/qor";
    TestArgv fresh{"--no-syslog", "--log-path", deep.c_str()};
    EXPECT_EXIT(run_with_umask_and_exit(fresh, 0), ExitedWithCode(0), "^$");
    struct stat st;
    for (const std::string& dir : {tmp / "var", deep}) {
        ASSERT_EQ(::stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0750u) << dir;
    }
    ASSERT_EQ(::stat((deep + "/verifier.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    ASSERT_TRUE(fs::create_directory(log_dir()));
    const std::string victim = tmp / "victim";
    std::ofstream(victim) << "untouched\n";
    ASSERT_EQ(::symlink(victim.c_str(), log_file().c_str()), 0);
    TestArgv args{"--no-syslog", "--log-path", log_dir().c_str()};
    const std::string warning = "^warning: qor_runlog: could not open logfile '" + log_file() +
                                "' -- continuing without logfile\n$";
    EXPECT_EXIT(run_with_umask_and_exit(args, 022), ExitedWithCode(0), warning);
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "untouched\n");

    ASSERT_EQ(::unlink(log_file().c_str()), 0);
    ASSERT_EQ(::mkfifo(log_file().c_str(), 0600), 0);
    EXPECT_EXIT(run_with_umask_and_exit(args, 022), ExitedWithCode(0), warning);
}

TEST_F(RunLogDeathTest, ParsesFileMaskLikeStrtoulBaseZero) {
    struct Case {
        const char* value;
        bool logged;
        const char* warning;  // expected on standard error, or null
    } cases[] = {
        {"1", true, nullptr},
        {"0x1", true, nullptr},
        {"3", true, nullptr},
        {"0", false, nullptr},
        {"010", false, nullptr},          // octal 8: bit 0 clear
        {"0x100000000", false, nullptr},  // bit 32 only
        {" +1", true, nullptr},
        {"", true, nullptr},
        {"1x", true, "warning: qor_runlog: invalid --log value '1x' -- using default 1\n"},
        {"abc", true, "warning: qor_runlog: invalid --log value 'abc' -- using default 1\n"},
    };
    for (const auto& c : cases) {
        TestTempDir dir;
        std::string opt = std::string("--log=") + c.value;
        TestArgv args{"--no-syslog", "--log-path", dir.path().c_str(), opt.c_str()};
        std::string err = std::string("^") + (c.warning != nullptr ? c.warning : "") + "$";
        EXPECT_EXIT(run_and_exit(args, "qor_verifier", 0), ExitedWithCode(0), err) << c.value;
        // The file is opened even when its mask lets nothing through.
        Lines expected = c.logged ? Lines{"started", "stopped exit=0"} : Lines{};
        EXPECT_EQ(log_messages(dir / "verifier.log"), expected) << c.value;
    }
}

TEST_F(RunLogDeathTest, OptionWordAfterLogIsTakenAsItsValue) {
    TestArgv args{"--log", "--no-syslog", "--log-path", log_dir().c_str()};
    // The word is the value of --log and also still switches syslog off.
    EXPECT_EXIT(run_and_exit(args, "qor_verifier", 0), ExitedWithCode(0),
                "^warning: qor_runlog: invalid --log value '--no-syslog' -- using default 1\n$");
    EXPECT_EQ(log_messages(log_file()).size(), 2u);
}

TEST_F(RunLogDeathTest, OptionsAfterDoubleDashCountToo) {
    TestArgv args{"--no-syslog", "--log-path", log_dir().c_str(), "--", "--log", "0"};
    EXPECT_EXIT(run_and_exit(args, "qor_verifier", 0), ExitedWithCode(0), "");
    EXPECT_TRUE(fs::exists(log_file()));
    EXPECT_EQ(log_messages(log_file()), Lines{});
}

TEST_F(RunLogDeathTest, NoLogCreatesNothing) {
    TestArgv args{"--no-syslog", "--no-log", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(run_and_exit(args, "qor_verifier", 0), ExitedWithCode(0), "^$");
    EXPECT_FALSE(fs::exists(log_dir()));
}

TEST_F(RunLogDeathTest, CreatesMissingParentsWithOrWithoutTrailingSlash) {
    for (std::string dir : {tmp / "a/b", tmp / "c/d/"}) {
        TestArgv args{"--no-syslog", "--log-path", dir.c_str()};
        EXPECT_EXIT(run_and_exit(args, "qor_verifier", 0), ExitedWithCode(0), "^$");
        EXPECT_EQ(log_messages(fs::path(dir) / "verifier.log").size(), 2u) << dir;
    }
}

TEST_F(RunLogDeathTest, WarnsWhenTheDirectoryIsARegularFile) {
    // The name as typed, escaped: it may hold a line end.
    std::string file = tmp / "pla\nin";
    std::ofstream(file) << "x";
    TestArgv args{"--no-syslog", "--log-path", file.c_str()};
    EXPECT_EXIT(run_and_exit(args, "qor_verifier", 0), ExitedWithCode(0),
                "^warning: qor_runlog: could not create log directory '" + tmp.path() +
                    "/pla\\\\nin' -- continuing without logfile\n$");
}

TEST_F(RunLogDeathTest, WarnsWhenTheFileCannotBeOpened) {
    // A directory where the log file should be.
    ASSERT_TRUE(fs::create_directories(log_file()));
    TestArgv args{"--no-syslog", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(run_and_exit(args, "qor_verifier", 0), ExitedWithCode(0),
                "^warning: qor_runlog: could not open logfile '" + log_file() +
                    "' -- continuing without logfile\n$");
}

TEST_F(RunLogDeathTest, NameWithoutSuitePrefixIsUsedWhole) {
    TestArgv args{"--no-syslog", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(run_and_exit(args, "tool", 0), ExitedWithCode(0), "");
    EXPECT_EQ(log_messages(log_dir() + "/tool.log", "tool").size(), 2u);
}

void log_events_and_exit(TestArgv& args) {
    runlog_init(args.argc(), args.argv(), "qor_verifier");
    runlog_event(RUNLOG_CAT_RUN, "unknown option '%.*s' ignored", 5, "--frobnicate");
    runlog_event(2, "category two");
    runlog_event(RUNLOG_CAT_RUN, "%s", std::string(600, 'x').c_str());
    // The cut falls inside the euro sign, which goes whole.
    runlog_event(RUNLOG_CAT_RUN, "%s\xE2\x82\xAC", std::string(509, 'y').c_str());
    std::exit(runlog_ready() == 1 ? 0 : 1);
}

TEST_F(RunLogDeathTest, EventsFollowTheMaskAndAreCutTo511Characters) {
    TestArgv args{"--no-syslog", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(log_events_and_exit(args), ExitedWithCode(0), "^$");
    EXPECT_EQ(log_messages(log_file()),
              (Lines{"started", "unknown option '--fro' ignored", std::string(511, 'x'),
                     std::string(509, 'y'), "stopped exit=0"}));
}

TEST_F(RunLogDeathTest, EventsOfOtherCategoriesPassAWiderMask) {
    TestArgv args{"--no-syslog", "--log=0x3", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(log_events_and_exit(args), ExitedWithCode(0), "^$");
    EXPECT_EQ(log_messages(log_file()).size(), 6u);
}

// Exits 0 when the log file's descriptor will not pass to child processes.
void check_cloexec_and_exit(TestArgv& args) {
    runlog_init(args.argc(), args.argv(), "qor_verifier");
    for (int fd = 3; fd < 1024; ++fd) {
        std::error_code ec;
        auto target = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
        if (ec || target.filename() != "verifier.log") continue;
        std::exit((::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0 ? 0 : 1);
    }
    std::exit(2);
}

TEST_F(RunLogDeathTest, LogFileIsNotInheritedByChildren) {
    TestArgv args{"--no-syslog", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(check_cloexec_and_exit(args), ExitedWithCode(0), "");
}

TEST_F(RunLogDeathTest, RealSyslogPathEndsCleanly) {
    TestArgv args{"--syslog", "1", "--log-path", log_dir().c_str()};
    EXPECT_EXIT(run_and_exit(args, "qor_verifier", 1), ExitedWithCode(1), "");
    EXPECT_EQ(log_messages(log_file()), (Lines{"started", "stopped exit=1"}));
}

}  // namespace
}  // namespace qor
