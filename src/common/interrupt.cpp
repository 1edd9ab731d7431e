#include "common/interrupt.h"

#include <csignal>

#include "common/text.h"

namespace qor {

namespace {

volatile std::sig_atomic_t g_signal = 0;
int g_shield_depth = 0;

extern "C" void interrupt_record(int signum) {
    // The first signal names the interruption; later ones change nothing.
    if (g_signal == 0) g_signal = signum;
}

}  // namespace

void interrupt_install() {
    struct sigaction sa {};
    sa.sa_handler = interrupt_record;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    for (int signum : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored when we started (nohup; SIGINT in a background job
        // of a non-interactive shell) stays ignored, and the restore and every
        // tool inherit that through exec.
        struct sigaction current {};
        if (sigaction(signum, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(signum, &sa, nullptr);
    }
}

int interrupt_pending() {
    return g_signal;
}

bool interrupt_should_abort() {
    return g_signal != 0 && g_shield_depth == 0;
}

const char* interrupt_signal_name(int signum) {
    switch (signum) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            break;
    }
    static char other[32];
    text_format(other, sizeof other, "signal %d", signum);
    return other;
}

void interrupt_clear() {
    g_signal = 0;
}

InterruptShield::InterruptShield() {
    ++g_shield_depth;
}
InterruptShield::~InterruptShield() {
    --g_shield_depth;
}

}  // namespace qor
