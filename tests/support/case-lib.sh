# Shared by the integration suites (tests/integration/lib.sh) and the system
# suite (tests/system/lib.sh); sourced, never run.
#
# Each case runs in a subshell of its own. The including library defines
# case_enter, which makes $scratch (with a run/ directory) and sets
# case_failed=0, and case_cleanup, which undoes whatever the case made;
# case_cleanup runs when the subshell ends, whatever happened.

case_passed=0
case_failed_count=0
case_failed_names=()
case_skipped_names=()
# The status of a case that could not run here (skip).
CASE_SKIPPED=77

# run_case NAME FUNCTION [ARGS...]: runs one independent case and counts it.
run_case() {
    local name=$1 started=$EPOCHREALTIME rc
    shift
    printf 'case %s\n' "$name"
    (
        case_enter
        trap case_cleanup EXIT
        # A signal still tears the case down.
        trap 'exit 143' TERM INT HUP
        "$@"
        exit "$case_failed"
    )
    rc=$?
    printf '  %s (%.1fs)\n' "$(case $rc in 0) echo ok ;; "$CASE_SKIPPED") echo SKIPPED ;; *) echo FAILED ;; esac)" \
        "$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')"
    if [ $rc -eq 0 ]; then
        case_passed=$((case_passed + 1))
    elif [ $rc -eq "$CASE_SKIPPED" ]; then
        case_skipped_names+=("$name")
    else
        case_failed_count=$((case_failed_count + 1))
        case_failed_names+=("$name")
    fi
}

# finish: the summary, naming every case that failed or was skipped; its
# status is 0 only when no case failed.
finish() {
    local n
    for n in "${case_failed_names[@]+"${case_failed_names[@]}"}"; do
        printf 'failed: %s\n' "$n"
    done
    for n in "${case_skipped_names[@]+"${case_skipped_names[@]}"}"; do
        printf 'skipped: %s\n' "$n"
    done
    printf '%d passed, %d failed, %d skipped\n' "$case_passed" "$case_failed_count" \
        "${#case_skipped_names[@]}"
    [ "$case_failed_count" -eq 0 ]
}

fail() {
    printf '  FAIL: %s\n' "$*"
    case_failed=1
}

# skip WHAT-WAS-NOT-CHECKED: ends the case as skipped, saying what this
# machine could not check; a failure found before still fails it.
skip() {
    printf '  SKIP: %s\n' "$*"
    [ "$case_failed" -eq 0 ] || exit 1
    exit "$CASE_SKIPPED"
}

assert_eq() { # expected actual what
    [ "$1" = "$2" ] || fail "$3: expected [$1], got [$2]"
}

# wait_for COMMAND [SECONDS]: polls every 0.1 s until COMMAND succeeds, for
# at most SECONDS (WAIT_FOR_SECONDS, else 20).
wait_for() {
    local deadline=$((SECONDS + ${2:-${WAIT_FOR_SECONDS:-20}}))
    until eval "$1"; do
        if [ $SECONDS -ge $deadline ]; then
            fail "timed out waiting for: $1"
            return 1
        fi
        sleep 0.1
    done
}

# ---- running a program of the suite ---------------------------------------
# Each sets $out and $err (files under $scratch/run).

# run_verifier_bare ARGS...: runs the verifier with exactly these arguments;
# afterwards $status and $vpid.
run_verifier_bare() {
    out="$scratch/run/stdout"
    err="$scratch/run/stderr"
    "$QOR_VERIFIER" "$@" >"$out" 2>"$err" &
    vpid=$!
    wait "$vpid"
    status=$?
}

# run_verifier ARGS...: as an operator would, but logging into the scratch
# directory and not to syslog. The logging options go first so that a "--"
# among the arguments does not forward them to the restore.
run_verifier() {
    run_verifier_bare --no-syslog --log-path "$scratch/log" "$@"
}

# start_logged PROGRAM ARGS...: a program of the suite in the background,
# logging as run_verifier does, for a case that signals it while it runs;
# sets $bg_pid, and $status only after `wait "$bg_pid"`. A background job of
# a non-interactive shell starts with SIGINT ignored, which the programs
# keep; env gives it back its default, as a job started at a terminal has.
start_logged() {
    out="$scratch/run/stdout"
    err="$scratch/run/stderr"
    env --default-signal=INT "$1" --no-syslog --log-path "$scratch/log" "${@:2}" >"$out" 2>"$err" &
    bg_pid=$!
}

# start_verifier ARGS...: the verifier by start_logged; sets $vpid.
start_verifier() {
    start_logged "$QOR_VERIFIER" "$@"
    vpid=$bg_pid
}

# show_run: the last run's status and output, for a failed assertion.
show_run() {
    printf '    status: %s\n' "${status:-unset}"
    if [ -s "$err" ]; then
        sed 's/^/    stderr: /' "$err" | head -n 30
    fi
    if [ -s "$out" ]; then
        sed 's/^/    stdout: /' "$out" | head -n 5
    fi
}
