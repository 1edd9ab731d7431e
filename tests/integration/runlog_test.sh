#!/usr/bin/env bash
# The run log: verifier.log in the log directory with the start line, the
# argument warnings and the exit line, and the options that steer it.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

# The log file's lines with their timestamps checked and cut off.
log_body() { # file
    local line
    while IFS= read -r line || [ -n "$line" ]; do
        if [[ $line =~ $QT_TS_RE ]]; then
            printf '%s\n' "${line:21}"
        else
            printf 'NO TIMESTAMP: %s\n' "$line"
        fi
    done <"$1"
}

assert_log_is() { # file expected-lines...
    local want
    want=$(printf '%s\n' "${@:2}")
    if [ ! -f "$1" ]; then
        fail "$1 was not created"
        return
    fi
    assert_eq "$want" "$(log_body "$1")" "lines of $1"
}

# A set-up warning: bare on stderr, a line of its own.
assert_setup_warning() {
    if ! grep -qxF -- "$1" "$err"; then
        fail "stderr lacks the line: $1"
        show_run
    fi
}

t_lines_of_one_run() {
    local dir="$scratch/logs/a/b" m="$scratch/none.meta"
    run_verifier_bare --no-syslog --log-path "$dir" --frobnicate=1 stray --meta "$m"
    assert_status 1
    assert_log_is "$dir/verifier.log" \
        "[qor_verifier] pid=$vpid started" \
        "[qor_verifier] pid=$vpid unknown option '--frobnicate=...' ignored" \
        "[qor_verifier] pid=$vpid unexpected argument 'stray' ignored" \
        "[qor_verifier] pid=$vpid stopped exit=1"
    # The verdict goes to stderr only.
    assert_file_lacks "$dir/verifier.log" "verification failed"
    assert_console_line ERROR "verification failed: cannot read $m"
}

t_trailing_slash() {
    run_verifier_bare --no-syslog --log-path "$scratch/logs/" --meta "$scratch/none.meta"
    assert_status 1
    assert_log_is "$scratch/logs/verifier.log" \
        "[qor_verifier] pid=$vpid started" \
        "[qor_verifier] pid=$vpid stopped exit=1"
    assert_eq "verifier.log" "$(ls "$scratch/logs")" "files in the log directory"
    run_verifier_bare --no-syslog --log-path="$scratch/logs2" --meta "$scratch/none.meta"
    assert_file_has "$scratch/logs2/verifier.log" "pid=$vpid started"
}

t_exit_lines() {
    local log="$scratch/log/verifier.log"
    run_verifier --mode FS --meta "$scratch/none.meta"
    assert_status 2
    assert_file_has "$log" "pid=$vpid stopped exit=2"
    run_verifier --help
    assert_status 0
    assert_file_has "$log" "pid=$vpid stopped exit=0"
    run_verifier --meta "$scratch/none.meta"
    assert_status 1
    assert_file_has "$log" "pid=$vpid stopped exit=1"
    # Each run appended its two lines.
    assert_eq 3 "$(grep -c ' started$' "$log")" "start lines after three runs"
    assert_eq 3 "$(grep -c ' stopped exit=[0-9]$' "$log")" "exit lines after three runs"
    assert_eq 6 "$(wc -l <"$log")" "lines after three runs"
}

t_exit_line_of_success() {
    world_setup 1048576
    run_verifier --meta "$meta"
    assert_verdict_identical 1048576
    assert_log_is "$scratch/log/verifier.log" \
        "[qor_verifier] pid=$vpid started" \
        "[qor_verifier] pid=$vpid stopped exit=0"
}

t_no_log() {
    run_verifier_bare --no-syslog --no-log --log-path "$scratch/nolog" --meta "$scratch/none.meta"
    assert_status 1
    assert_missing "$scratch/nolog"
    assert_console_line ERROR "verification failed: cannot read $scratch/none.meta"
}

t_file_mask() {
    local mask
    # Bit 0 clear: the file is made but stays empty.
    for mask in 0 010 2; do
        run_verifier_bare --no-syslog --log "$mask" --log-path "$scratch/m$mask" \
            --meta "$scratch/none.meta"
        assert_status 1
        assert_exists "$scratch/m$mask/verifier.log"
        [ -s "$scratch/m$mask/verifier.log" ] && fail "--log $mask: the log file is not empty"
    done
    for mask in 1 0x1 3 " 1"; do
        run_verifier_bare --no-syslog --log "$mask" --log-path "$scratch/k" --meta "$scratch/none.meta"
        assert_file_has "$scratch/k/verifier.log" "pid=$vpid stopped exit=1"
        assert_stderr_lacks "warning: qor_runlog"
    done
    # Also read after "--", though meant for the restore.
    run_verifier_bare --no-syslog --log-path "$scratch/fwd" --meta "$scratch/none.meta" -- --log 0
    assert_exists "$scratch/fwd/verifier.log"
    [ -s "$scratch/fwd/verifier.log" ] && fail "--log 0 after --: the log file is not empty"
}

t_invalid_masks() {
    local log="$scratch/log/verifier.log"
    run_verifier --log abc --meta "$scratch/none.meta"
    assert_status 1
    assert_setup_warning "warning: qor_runlog: invalid --log value 'abc' -- using default 1"
    assert_file_has "$log" "pid=$vpid started"
    run_verifier --log 1x --syslog 7q --meta "$scratch/none.meta"
    assert_setup_warning "warning: qor_runlog: invalid --log value '1x' -- using default 1"
    assert_setup_warning "warning: qor_runlog: invalid --syslog value '7q' -- using default 1"
    assert_file_has "$log" "pid=$vpid stopped exit=1"
    # An option word after --log is its value, and an invalid one.
    run_verifier --meta "$scratch/none.meta" --log --frobnicate
    assert_setup_warning "warning: qor_runlog: invalid --log value '--frobnicate' -- using default 1"
    assert_stderr_lacks "unknown option"
    # Empty or missing values are not invalid.
    run_verifier --log= --meta "$scratch/none.meta"
    assert_stderr_lacks "warning: qor_runlog"
    assert_file_has "$log" "pid=$vpid started"
    run_verifier --meta "$scratch/none.meta" --log
    assert_stderr_lacks "warning: qor_runlog"
    assert_file_has "$log" "pid=$vpid started"
}

t_log_path_is_a_file() {
    local f="$scratch/plain"
    echo keep >"$f"
    run_verifier_bare --no-syslog --log-path "$f" --meta "$scratch/none.meta"
    assert_status 1
    assert_setup_warning "warning: qor_runlog: could not create log directory '$f' -- continuing without logfile"
    assert_console_line ERROR "verification failed: cannot read $scratch/none.meta"
    assert_eq keep "$(cat "$f")" "the file named as log directory"
    run_verifier_bare --no-syslog --log-path "$f/sub/" --meta "$scratch/none.meta"
    assert_status 1
    assert_setup_warning "warning: qor_runlog: could not create log directory '$f/sub/' -- continuing without logfile"
}

t_log_file_cannot_open() {
    mkdir -p "$scratch/logs/verifier.log"
    run_verifier_bare --no-syslog --log-path "$scratch/logs" --meta "$scratch/none.meta"
    assert_status 1
    assert_setup_warning "warning: qor_runlog: could not open logfile '$scratch/logs/verifier.log' -- continuing without logfile"
    assert_console_line ERROR "verification failed: cannot read $scratch/none.meta"
}

t_version_leaves_no_trace() {
    run_verifier_bare --no-syslog --log-path "$scratch/v" --version
    assert_status 0
    assert_missing "$scratch/v"
    run_verifier_bare --no-syslog --log-path "$scratch/s" --selftest
    assert_status 0
    assert_missing "$scratch/s"
}

run_case "one run's lines: start, warnings, exit" t_lines_of_one_run
run_case "--log-path with a trailing slash and with =" t_trailing_slash
run_case "exit lines follow the exit status; lines are appended" t_exit_lines
run_case "a verified run logs exit=0" t_exit_line_of_success
run_case "--no-log creates nothing" t_no_log
run_case "--log masks without and with bit 0" t_file_mask
run_case "invalid --log and --syslog values" t_invalid_masks
run_case "--log-path naming a regular file" t_log_path_is_a_file
run_case "log file that cannot be opened" t_log_file_cannot_open
run_case "--version and --selftest leave no log" t_version_leaves_no_trace
finish
