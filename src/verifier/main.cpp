// qor_verifier: proves that a backup restores to exactly what was backed up.
#include <cstdio>

#include "common/console_log.h"
#include "common/interrupt.h"
#include "common/options.h"
#include "common/progress.h"
#include "common/run_log.h"
#include "common/selftest.h"
#include "verifier/command_line.h"
#include "verifier/usage.h"
#include "verifier/verify_backup.h"

int main(int argc, char** argv) {
    using namespace qor;
    // First, so that a progress request never ends the process, however early
    // it comes (SIGUSR1's default action is to terminate).
    progress_install();
    int handled = handle_version_selftest(argc, argv, "qor_verifier");
    if (handled >= 0) return handled;

    runlog_console_init("qor_verifier", RUNLOG_INFO);
    runlog_init(argc, argv, "qor_verifier");
    warn_unknown_args(argc, argv, verifier_options, 0);

    if (argc < 2) {
        usage_print(stdout);
        return 2;
    }
    if (arg_flag(argc, argv, "--help", "-h")) {
        usage_print(stdout);
        return 0;
    }

    static char search_dir[SEARCH_DIR_BUFFER];
    VerifyOptions opts{};
    int usage_status = 0;
    if (!cli_read_options(argc, argv, &opts, search_dir, sizeof search_dir, &usage_status)) {
        return usage_status;
    }

    // From here on a signal stops the run through its clean-up, not mid-way.
    interrupt_install();
    CompareStats stats{};
    char msg[512] = "";
    int result = verify_backup(&opts, &stats, msg, sizeof msg);
    return cli_report_outcome(result, &opts, &stats, msg);
}
