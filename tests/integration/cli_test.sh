#!/usr/bin/env bash
# The command line as an operator meets it: usage, usage errors, warnings about
# words the program does not know, --version and --selftest.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

# The usage text, byte for byte, as it follows the version line and the empty line.
USAGE_FILE=$(dirname "$0")/cli_usage.txt

# The version string as --version prints it; the usage header must carry the same.
program_version() {
    local line
    line=$("$QOR_VERIFIER" --version)
    printf '%s' "${line#qor_verifier }"
}

# The build string the binary was built with, when the build tree is at hand.
program_build() {
    local info
    info="$(dirname "$QOR_VERIFIER")/generated/common/build_info.h"
    [ -f "$info" ] && sed -n 's/^#define QOR_BUILD_STRING "\(.*\)"$/\1/p' "$info"
}

# Checks stdout: the version line, an empty line, then the usage text.
assert_usage_printed() {
    local first build version
    version=$(program_version)
    first=$(head -n 1 "$out")
    build=$(program_build)
    if [ -n "$build" ]; then
        assert_eq "qor_verifier $version (build $build)" "$first" "usage header"
    elif ! [[ $first =~ ^qor_verifier\ $version\ \(build\ [^\ ()]+\)$ ]]; then
        fail "usage header: [$first]"
    fi
    { echo; cat "$USAGE_FILE"; } >"$scratch/expected"
    tail -n +2 "$out" >"$scratch/actual"
    if ! cmp -s "$scratch/expected" "$scratch/actual"; then
        fail "usage text differs"
        diff "$scratch/expected" "$scratch/actual" | head -n 20 | sed 's/^/    /'
    fi
}

# Nothing beyond the command line was looked at: no LVM tool ran.
assert_nothing_run() {
    if [ -s "$QOR_FAKE_LVM_DIR/calls.log" ]; then
        fail "LVM tools were run"
    fi
}

t_no_arguments() {
    run_verifier_bare
    assert_status 2
    assert_usage_printed
    assert_stderr_empty
}

t_help() {
    run_verifier --help
    assert_status 0
    assert_usage_printed
    assert_stderr_empty
    run_verifier --meta "$scratch/x.meta" -h
    assert_status 0
    assert_usage_printed
    # Help is looked for everywhere, also among the words for the restore.
    run_verifier --meta "$scratch/x.meta" -- --threads 2 --help
    assert_status 0
    assert_usage_printed
    # It wins over every usage error.
    run_verifier --mode FS --target-lv a/b --target-file f --help
    assert_status 0
    assert_usage_printed
    assert_nothing_run
}

t_help_after_warnings() {
    run_verifier --frobnicate --help
    assert_status 0
    assert_usage_printed
    assert_console_line WARN "unknown option '--frobnicate' ignored"
}

# Usage errors go bare to stderr, one line, and stop the run with 2.
assert_usage_error() { # message
    assert_status 2
    printf '%s\n' "$1" >"$scratch/expected"
    if ! cmp -s "$scratch/expected" "$err"; then
        fail "stderr is not exactly: $1"
        show_run
    fi
    assert_stdout_empty
    assert_nothing_run
}

t_meta_required() {
    run_verifier --mode byte
    assert_usage_error "error: --meta is required (use --help)"
    run_verifier --mode byte --meta
    assert_usage_error "error: --meta is required (use --help)"
    run_verifier -m
    assert_usage_error "error: --meta is required (use --help)"
    # Checked before the other two.
    run_verifier --mode FS --target-lv a/b --target-file f
    assert_usage_error "error: --meta is required (use --help)"
}

t_targets_exclusive() {
    local m="$scratch/x.meta"
    run_verifier --meta "$m" --target-lv vg0/scratch --target-file "$scratch/f"
    assert_usage_error "error: --target-lv and --target-file are mutually exclusive"
    run_verifier --meta "$m" --target-lv= --target-file "$scratch/f"
    assert_usage_error "error: --target-lv and --target-file are mutually exclusive"
    run_verifier --meta "$m" --target-lv=vg0/scratch --target-file=
    assert_usage_error "error: --target-lv and --target-file are mutually exclusive"
    # Checked before the mode.
    run_verifier --meta "$m" --mode FS --target-lv a/b --target-file f
    assert_usage_error "error: --target-lv and --target-file are mutually exclusive"
    assert_missing "$scratch/f"
}

t_mode_values() {
    local m="$scratch/x.meta" bad
    for bad in FS Byte bytes "" " byte"; do
        run_verifier --meta "$m" --mode "$bad"
        assert_usage_error "error: --mode must be 'byte' or 'fs'"
    done
    run_verifier --meta "$m" --mode=FS
    assert_usage_error "error: --mode must be 'byte' or 'fs'"
    run_verifier --meta "$m" --mode=
    assert_usage_error "error: --mode must be 'byte' or 'fs'"
}

# Accepted modes get past the checks to the header, which does not exist here.
t_mode_accepted() {
    local m="$scratch/none.meta" form
    for form in "--mode byte" "--mode=byte" "--mode fs" "--mode=fs" "--mode"; do
        # shellcheck disable=SC2086
        run_verifier --meta "$m" $form
        assert_status 1
        assert_console_line ERROR "verification failed: cannot read $m"
    done
    run_verifier -m "$m"
    assert_status 1
    assert_console_line ERROR "verification failed: cannot read $m"
    run_verifier --meta="$m"
    assert_status 1
    assert_console_line ERROR "verification failed: cannot read $m"
}

t_unknown_options() {
    local m="$scratch/none.meta"
    run_verifier --frobnicate=3 --meta "$m"
    assert_status 1
    assert_console_line WARN "unknown option '--frobnicate=...' ignored"
    assert_stderr_lacks "--frobnicate=3"
    run_verifier --bogus value --meta "$m"
    assert_console_line WARN "unknown option '--bogus' ignored (with the value after it)"
    assert_stderr_lacks "'value'"
    run_verifier --meta "$m" --bogus
    assert_console_line WARN "unknown option '--bogus' ignored"
    run_verifier --bogus --meta "$m"
    assert_console_line WARN "unknown option '--bogus' ignored"
    # A flag does not take "=".
    run_verifier --meta "$m" --keep-restored=1
    assert_console_line WARN "unknown option '--keep-restored=...' ignored"
    run_verifier --meta "$m" -h=x
    assert_status 1
    assert_console_line WARN "unknown option '-h=...' ignored"
    # The verdict still comes, unchanged by the warnings.
    assert_console_line ERROR "verification failed: cannot read $m"
}

t_stray_words() {
    local m="$scratch/none.meta"
    run_verifier x --meta "$m" y
    assert_status 1
    assert_console_line WARN "unexpected argument 'x' ignored"
    assert_console_line WARN "unexpected argument 'y' ignored"
    run_verifier --meta "$m" -
    assert_console_line WARN "unexpected argument '-' ignored"
}

t_no_warnings_for_known_words() {
    local m="$scratch/none.meta"
    # Values of known options are never reported, whatever they look like,
    # and nothing after "--" is looked at.
    run_verifier --meta "$m" --search-dir --odd -d -x --mode byte --no-progress \
        --keep-restored --remove-snapshot-after --syslog 1 --log 1 \
        -- --frobnicate stray --bogus=1
    assert_status 1
    assert_eq 0 "$(count_lines_with "$err" " WARN  ")" "warnings"
    assert_console_line ERROR "verification failed: cannot read $m"
    # An unknown option right before "--" is reported alone.
    run_verifier --meta "$m" --bogus -- stray
    assert_console_line WARN "unknown option '--bogus' ignored"
    assert_stderr_lacks "stray"
}

t_version() {
    local v
    run_verifier_bare --version
    assert_status 0
    v=$(head -n 1 "$out")
    [[ $v =~ ^qor_verifier\ [^[:space:]]+$ ]] || fail "version line: [$v]"
    assert_eq 1 "$(wc -l <"$out")" "version output lines"
    assert_stderr_empty
    # Handled before anything else: no warnings, no usage errors.
    run_verifier_bare --frobnicate --mode FS --version
    assert_status 0
    assert_eq "$v" "$(cat "$out")" "version output"
    assert_stderr_empty
    # Wins over --selftest.
    run_verifier_bare --selftest --version
    assert_status 0
    assert_eq "$v" "$(cat "$out")" "version output with --selftest"
    run_verifier_bare --meta x -- --version
    assert_status 0
    assert_eq "$v" "$(cat "$out")" "version output after --"
}

t_selftest() {
    local v
    v=$(program_version)
    run_verifier_bare --selftest
    assert_status 0
    assert_eq "qor_verifier $v: selftest ok" "$(cat "$out")" "selftest output"
    assert_stderr_empty
    run_verifier_bare --meta x -- --selftest
    assert_status 0
    assert_eq "qor_verifier $v: selftest ok" "$(cat "$out")" "selftest output after --"
    assert_nothing_run
}

run_case "no arguments prints usage and exits 2" t_no_arguments
run_case "--help and -h anywhere print usage and exit 0" t_help
run_case "warnings come before the usage" t_help_after_warnings
run_case "--meta missing or without value" t_meta_required
run_case "--target-lv and --target-file together" t_targets_exclusive
run_case "--mode other than byte or fs" t_mode_values
run_case "accepted --meta and --mode forms" t_mode_accepted
run_case "unknown options are warned about and ignored" t_unknown_options
run_case "stray words are warned about and ignored" t_stray_words
run_case "known words and words after -- give no warning" t_no_warnings_for_known_words
run_case "--version" t_version
run_case "--selftest" t_selftest
finish
