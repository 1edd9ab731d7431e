#pragma once

// Interruption by SIGINT, SIGTERM or SIGHUP. The handler only records the
// signal; the verification notices it at its waiting points, stops what runs,
// and undoes what it created on the way out, as on any failure.
namespace qor {

// Installs the recording handler for SIGINT, SIGTERM and SIGHUP (without
// SA_RESTART, so that blocking waits return early and look at the flag); a
// signal that is ignored already is left ignored.
void interrupt_install();

// The signal number recorded, or 0 when none arrived.
int interrupt_pending();

// True when work should stop now: a signal arrived and no clean-up is running.
bool interrupt_should_abort();

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N" in a static buffer.
const char* interrupt_signal_name(int signum);

// Forgets a recorded signal (tests only).
void interrupt_clear();

// While one exists, interrupt_should_abort() is false: clean-up (unmounts,
// detaching loop devices, removing the scratch volume) always runs to the end,
// also when a second signal arrives in the middle of it.
class InterruptShield {
  public:
    InterruptShield();
    ~InterruptShield();
    InterruptShield(const InterruptShield&) = delete;
    InterruptShield& operator=(const InterruptShield&) = delete;
};

}  // namespace qor
