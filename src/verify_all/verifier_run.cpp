#include "verify_all/verifier_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/child_process.h"
#include "common/file_io.h"
#include "common/interrupt.h"
#include "common/monotonic_clock.h"
#include "common/progress.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "verify_all/verdict_catcher.h"

namespace qor {
namespace {

constexpr int WAIT_STEP_MS = 100;  // bounds how late a signal is passed on
constexpr std::size_t READ_CHUNK = 4096;
// A descendant that outlives the verifier may hold its standard error open;
// this long after the verifier's end, what it has not closed is given up.
constexpr std::int64_t DRAIN_SECONDS = 5;

// Passes the verifier's standard error on to ours in whole lines, so that a
// line of our own never lands inside one of its lines. A line longer than
// the buffer goes on in pieces.
class LineRelay {
  public:
    void feed(std::string_view chunk) {
        while (!chunk.empty()) {
            std::size_t take = std::min(chunk.size(), held_.size() - len_);
            std::memcpy(held_.data() + len_, chunk.data(), take);
            len_ += take;
            chunk.remove_prefix(take);
            std::string_view held(held_.data(), len_);
            std::size_t end = held.rfind('\n');
            flush(end != std::string_view::npos ? end + 1 : len_ == held_.size() ? len_ : 0);
        }
    }
    // The stream has ended: a last line without its newline gets one.
    void finish() {
        if (len_ == 0) return;
        held_[len_++] = '\n';  // feed never leaves the buffer full
        flush(len_);
    }

  private:
    void flush(std::size_t n) {
        if (n == 0) return;
        // Nowhere to write to is no reason to stop: the run goes on regardless.
        file_write_all(STDERR_FILENO, held_.data(), n);
        std::memmove(held_.data(), held_.data() + n, len_ - n);
        len_ -= n;
    }

    std::array<char, 8192> held_{};
    std::size_t len_ = 0;
};

struct Streams {
    UniqueFd pipe;  // the read end of the verifier's standard error
    VerdictCatcher catcher;
    LineRelay relay;

    // One read; end of file or an error closes the pipe.
    void read_once() {
        char chunk[READ_CHUNK];
        ssize_t n = ::read(pipe.get(), chunk, sizeof chunk);
        if (n > 0) {
            std::string_view text(chunk, static_cast<std::size_t>(n));
            catcher.feed(text);
            relay.feed(text);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            pipe.reset();
        }
    }
};

// In the child: standard error into the pipe. SIGUSR1 is held back until
// qor_verifier has installed its handler and unblocks it, so that a request
// passed on at once cannot end it by the signal's default action.
void child_take_stderr(const void* context) {
    int write_fd = *static_cast<const int*>(context);
    if (write_fd == STDERR_FILENO) {
        ::fcntl(write_fd, F_SETFD, 0);
    } else if (::dup2(write_fd, STDERR_FILENO) < 0) {
        ::_exit(CHILD_EXEC_FAILED);
    }
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &usr1, nullptr);
}

// Passes a stop signal on once and every progress request, so the verifier
// cleans up after itself or says where it stands.
void pass_signals_on(const ChildProcess& child, bool* stop_passed) {
    if (int signum = interrupt_pending(); signum != 0 && !*stop_passed) {
        child.kill_child(signum);
        *stop_passed = true;
    }
    if (progress_take_request()) child.kill_child(SIGUSR1);
}

// Streams until the verifier has ended; past the deadline (0: none) it is
// asked once to stop, and *timed_out is set.
void stream_until_exit(ChildProcess& child, Streams& streams, std::int64_t deadline,
                       bool* timed_out) {
    bool stop_passed = false;
    for (;;) {
        pass_signals_on(child, &stop_passed);
        if (deadline != 0 && !stop_passed && monotonic_seconds() >= deadline) {
            child.kill_child(SIGTERM);
            stop_passed = true;
            *timed_out = true;
        }
        if (streams.pipe.is_open()) {
            pollfd pfd[2] = {{streams.pipe.get(), POLLIN, 0}, {child.exit_fd(), POLLIN, 0}};
            int ready = ::poll(pfd, child.exit_fd() >= 0 ? 2 : 1, WAIT_STEP_MS);
            if (ready > 0 && (pfd[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
                streams.read_once();
            }
        } else {
            child.sleep_until_exit(WAIT_STEP_MS);
        }
        if (child.has_ended()) return;
    }
}

// Reads what is left after the verifier's end, up to end of file.
void stream_drain(Streams& streams) {
    const std::int64_t start = monotonic_seconds();
    while (streams.pipe.is_open() && monotonic_seconds() - start < DRAIN_SECONDS) {
        pollfd pfd{streams.pipe.get(), POLLIN, 0};
        if (::poll(&pfd, 1, WAIT_STEP_MS) > 0) streams.read_once();
    }
    streams.catcher.finish();
    streams.relay.finish();
}

}  // namespace

std::vector<std::string> verifier_command(const std::string& meta_path,
                                          const ResolvedSettings& settings) {
    std::vector<std::string> argv{"qor_verifier", "--meta=" + meta_path,
                                  std::string("--mode=") + config_mode_name(settings.mode)};
    if (!settings.target_lv.empty()) argv.push_back("--target-lv=" + settings.target_lv);
    if (!settings.target_file.empty()) argv.push_back("--target-file=" + settings.target_file);
    if (settings.remove_snapshot_after) argv.emplace_back("--remove-snapshot-after");
    argv.emplace_back("--no-progress");
    if (!settings.restore_args.empty()) {
        argv.emplace_back("--");
        argv.insert(argv.end(), settings.restore_args.begin(), settings.restore_args.end());
    }
    return argv;
}

int verifier_run(const std::vector<std::string>& argv, std::int64_t timeout_seconds,
                 VerifierRun* run, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    *run = VerifierRun{};
    std::vector<const char*> args;
    for (const std::string& word : argv) args.push_back(word.c_str());
    args.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        text_format(err, err_size, "cannot create a pipe: %s", std::strerror(errno));
        return -1;
    }
    Streams streams{UniqueFd(fds[0]), {}, {}};
    UniqueFd write_end(fds[1]);
    ChildProcess child;
    const int write_fd = write_end.get();
    if (child.start(args.data(), child_take_stderr, &write_fd) != 0) {
        text_format(err, err_size, "fork failed: %s", std::strerror(errno));
        return -1;
    }
    write_end.reset();
    const std::int64_t deadline = timeout_seconds > 0 ? monotonic_seconds() + timeout_seconds : 0;
    bool timed_out = false;
    stream_until_exit(child, streams, deadline, &timed_out);
    stream_drain(streams);
    child.reap();
    if (child.exit_code() == CHILD_EXEC_FAILED && streams.catcher.verdict().empty()) {
        text_copy(err, err_size, "it is not installed or not found through PATH");
        return -1;
    }
    run->exit_status = child.exit_code();
    run->term_signal = child.term_signal();
    run->verdict = streams.catcher.verdict();
    run->timed_out = timed_out;
    return 0;
}

}  // namespace qor
