// qor_verify_all: verifies the newest backup of every volume, one at a time.
#include <cstdio>

#include "common/console_log.h"
#include "common/interrupt.h"
#include "common/progress.h"
#include "common/run_log.h"
#include "common/selftest.h"
#include "verify_all/command_line.h"
#include "verify_all/config.h"
#include "verify_all/pass_lock.h"
#include "verify_all/priority.h"
#include "verify_all/service_notify.h"
#include "verify_all/status.h"
#include "verify_all/verify_pass.h"

int main(int argc, char** argv) {
    using namespace qor;
    // A progress request is passed on to the running verification; first, so
    // that none can end this process by SIGUSR1's default action.
    progress_install();
    int handled = handle_version_selftest(argc, argv, "qor_verify_all");
    if (handled >= 0) return handled;

    runlog_console_init("qor_verify_all", RUNLOG_INFO);
    VerifyAllOptions opts{};
    int usage_status = verify_all_read_options(argc, argv, &opts);
    if (usage_status >= 0) return usage_status;
    static VerifyAllConfig config;
    char err[512];
    // The status runs as a monitoring agent's user: no run log, no lock, only reading.
    if (opts.status) {
        if (config_read(opts.config_path, &config, err, sizeof err) != 0) {
            return status_unknown(err, opts.json, stdout);
        }
        return status_report(config, opts.json, stdout);
    }
    runlog_init(argc, argv, "qor_verify_all");

    if (config_read(opts.config_path, &config, err, sizeof err) != 0) {
        std::fprintf(stderr, "error: %s\n", err);
        return VERIFY_ALL_EXIT_USAGE;
    }
    // A dry run changes nothing, so it needs no lock.
    UniqueFd lock;
    if (!opts.dry_run) {
        long holder = 0;
        int taken = pass_lock_take(config.lock_path, &lock, &holder, err, sizeof err);
        if (taken > 0) {
            runlog_log(RUNLOG_ERROR,
                       "another pass is running (pid %ld, holding %s); this one verifies nothing",
                       holder, config.lock_path.c_str());
            return VERIFY_ALL_EXIT_BUSY;
        }
        if (taken < 0) {
            runlog_log(RUNLOG_ERROR, "%s; verifying nothing without it", err);
            return VERIFY_ALL_EXIT_UNVERIFIED;
        }
        if (priority_lower(config.nice, config.io_class, err, sizeof err) != 0) {
            runlog_log(RUNLOG_WARN, "%s", err);
        }
        // A stop ends the pass between volumes; the running verification gets it passed on.
        interrupt_install();
    }
    service_notify_ready();
    return verify_pass(config, opts.dry_run, PassTools{}, stdout);
}
