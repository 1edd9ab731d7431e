# Shared by every tests/integration/*_test.sh; sourced, never run.
#
# Each case runs in a subshell of its own with a fresh scratch directory, a
# fresh LVM stand-in world and a unique volume group name, and everything it
# made is torn down when the subshell ends, whatever happened. The stand-ins
# for lvs/lvcreate/lvremove and qor_restore come first on PATH, because the
# verifier always finds its tools through PATH.
#
# Usage in a test script:
#   . "$(dirname "$0")/lib.sh"
#   t_something() { world_setup; run_verifier --meta "$meta"; assert_status 0; }
#   run_case "what it shows" t_something
#   finish

set -u

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root (loop devices and /dev/<vg> nodes of the LVM stand-in)"
    exit 77
fi

QT_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${QOR_SUPPORT_SRC:=$(cd "$QT_LIB_DIR/../support" && pwd)}"
for qt_var in QOR_VERIFIER QOR_SUPPORT_BIN; do
    if [ -z "${!qt_var:-}" ]; then
        echo "error: $qt_var is not set (run through ctest)" >&2
        exit 1
    fi
done
if [ ! -x "$QOR_VERIFIER" ]; then
    echo "error: $QOR_VERIFIER is not built" >&2
    exit 1
fi
export PATH="$QOR_SUPPORT_SRC/lvm:$QOR_SUPPORT_SRC:$QOR_SUPPORT_BIN:$PATH"
# Nothing from the caller's environment may steer a stand-in.
unset QOR_FAKE_RESTORE_LOG QOR_FAKE_RESTORE_EXIT QOR_FAKE_RESTORE_PARTIAL \
    QOR_FAKE_RESTORE_SIGNAL QOR_FAKE_RESTORE_SLEEP QOR_FAKE_RESTORE_CORRUPT \
    QOR_FAKE_LVM_DIR

# Suites that mount hold this lock alone (lock_mounts_exclusively), the unit
# tests that mount too; every other suite shares it. So no test makes
# temporary mount directories while another suite's leftover check looks.
exec 9>/tmp/qor_verifier_fs_tests.lock
flock -s 9
lock_mounts_exclusively() {
    flock 9
}

. "$QOR_SUPPORT_SRC/case-lib.sh"

# ---- cases ---------------------------------------------------------------

case_enter() {
    case_failed=0
    scratch=$(mktemp -d /tmp/qortest.XXXXXX) || exit 1
    VG="qortest$$${RANDOM}"
    export QOR_FAKE_LVM_DIR="$scratch/lvm"
    mkdir -p "$QOR_FAKE_LVM_DIR" "$scratch/run"
    qt_roots_before=$(leftovers roots)
}

# Runs as the EXIT trap, after the case's status is fixed: what it finds
# left behind changes that status to a failure.
case_cleanup() {
    local rc=$?
    # What a failed case left is undone, so that it cannot spill into the next.
    # shellcheck disable=SC2046
    leftovers sweep "$qt_roots_before" "$scratch" $(_qt_world_loops)
    if [ -d "$QOR_FAKE_LVM_DIR" ] && ! fake-lvm destroy >"$scratch/destroy" 2>&1; then
        fail "fake-lvm destroy failed: $(tr '\n' ' ' <"$scratch/destroy")"
    fi
    if [ -e "/dev/$VG" ]; then
        fail "/dev/$VG left behind"
        rm -rf "/dev/${VG:?}"
    fi
    rm -rf "${scratch:?}"
    if [ "$case_failed" -ne 0 ] && { [ "$rc" -eq 0 ] || [ "$rc" -eq "$CASE_SKIPPED" ]; }; then
        rc=1
    fi
    exit "$rc"
}

# ---- running the verifier ------------------------------------------------

# run_tool COMMAND ARGS...: runs any other command as run_verifier_bare runs
# the verifier (no $vpid).
run_tool() {
    out="$scratch/run/stdout"
    err="$scratch/run/stderr"
    "$@" >"$out" 2>"$err"
    status=$?
}

# The restore stand-in is running for the world's backup.
restore_running() {
    pgrep -f -- "qor_restore --meta $meta" >/dev/null
}

# ---- assertions ----------------------------------------------------------

assert_status() {
    if [ "$status" != "$1" ]; then
        fail "exit status $status, expected $1"
        show_run
    fi
}

assert_stderr_has() {
    if ! grep -qF -- "$1" "$err"; then
        fail "stderr lacks: $1"
        show_run
    fi
}

assert_stderr_lacks() {
    if grep -qF -- "$1" "$err"; then
        fail "stderr unexpectedly has: $1"
        show_run
    fi
}

assert_stdout_eq() { # file with the expected bytes
    if ! cmp -s "$1" "$out"; then
        fail "stdout differs from the expected text"
        diff "$1" "$out" | head -n 20 | sed 's/^/    /'
    fi
}

assert_stdout_empty() {
    if [ -s "$out" ]; then
        fail "stdout is not empty"
        show_run
    fi
}

assert_stderr_empty() {
    if [ -s "$err" ]; then
        fail "stderr is not empty"
        show_run
    fi
}

assert_file_has() { # file text
    if [ ! -f "$1" ]; then
        fail "$1 does not exist"
    elif ! grep -qF -- "$2" "$1"; then
        fail "$1 lacks: $2"
        sed 's/^/    | /' "$1" | head -n 20
    fi
}

assert_file_lacks() { # file text
    if [ -f "$1" ] && grep -qF -- "$2" "$1"; then
        fail "$1 unexpectedly has: $2"
    fi
}

assert_exists() {
    [ -e "$1" ] || fail "$1 does not exist"
}

assert_missing() {
    if [ -e "$1" ] || [ -L "$1" ]; then
        fail "$1 exists but should not"
    fi
}

# A console line: "<UTC timestamp> [qor_verifier] <LEVEL padded to 5> <message>".
QT_TS_RE='^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z '

# has_console_line FILE LEVEL MESSAGE: exact whole-line match after the timestamp.
has_console_line() {
    local want line
    want=$(printf '[qor_verifier] %-5s %s' "$2" "$3")
    while IFS= read -r line || [ -n "$line" ]; do
        [[ $line =~ $QT_TS_RE ]] || continue
        [ "${line:21}" = "$want" ] && return 0
    done <"$1"
    return 1
}

assert_console_line() { # level message
    if ! has_console_line "$err" "$1" "$2"; then
        fail "stderr lacks the $1 line: $2"
        show_run
    fi
}

count_lines_with() { # file text
    grep -cF -- "$2" "$1"
}

# The run failed with exactly this sentence, once, and nothing claimed success.
assert_verdict_failed() {
    assert_status 1
    assert_console_line ERROR "verification failed: $1"
    assert_eq 1 "$(count_lines_with "$err" "] ERROR verification failed: ")" "verdict lines"
    assert_stderr_lacks "verified identical"
    assert_stdout_empty
}

assert_verdict_identical() { # bytes compared
    assert_status 0
    assert_console_line INFO "verified identical: $1 bytes compared, 0 mismatches"
    assert_stderr_lacks "verification failed"
    assert_stdout_empty
}

# ---- the stand-in world --------------------------------------------------

# world_setup [SIZE [CHUNK_SIZE [--loop]]]: an image of SIZE bytes (8 MiB by
# default: random with one zeroed MiB, so holes and data both occur) in the
# world of world_from_images, backed up with a chunk size of CHUNK_SIZE (1 MiB).
world_setup() {
    local size=${1:-8388608} chunk=${2:-1048576} loop=${3:-}
    local image_file="$scratch/home.img"
    head -c "$size" /dev/urandom >"$image_file"
    if [ "$size" -ge 3145728 ]; then
        dd if=/dev/zero of="$image_file" bs=1M seek=2 count=1 conv=notrunc status=none
    fi
    world_from_images "$image_file" "$image_file" "$chunk" "$loop"
}

# world_from_images SNAPSHOT_IMAGE [BACKUP_IMAGE [CHUNK_SIZE [--loop]]]: a
# volume group with the origin LV "home" and its kept snapshot "home_snap",
# both holding SNAPSHOT_IMAGE, and a backup of BACKUP_IMAGE (the same image by
# default; the chunk size make_backup's own unless given), which the restore
# stand-in writes into the target. With --loop every LV of the group, new ones
# too, is a loop device.
# Sets: image, meta, backup_dir, snap_dev, restore_log, calls.
# shellcheck disable=SC2034
world_from_images() {
    local snap=$1 backup=${2:-$1} chunk=${3:-} loop=${4:-} size
    local chunk_opt=()
    [ -n "$chunk" ] && chunk_opt=(--chunk-size "$chunk")
    size=$(stat -c %s "$snap")
    image=$snap
    # shellcheck disable=SC2086
    fake-lvm vg-create "$VG" $loop || { fail "fake-lvm vg-create"; exit 1; }
    # shellcheck disable=SC2086
    fake-lvm lv-add "$VG" home --size "$size" --data "$snap" --attr owi-aos--- $loop ||
        { fail "fake-lvm lv-add home"; exit 1; }
    # shellcheck disable=SC2086
    fake-lvm lv-add "$VG" home_snap --size "$size" --data "$snap" --attr swi-a-s--- \
        --tags qor_agent --origin home $loop ||
        { fail "fake-lvm lv-add home_snap"; exit 1; }
    backup_dir="$scratch/backup"
    mkdir -p "$backup_dir"
    make_backup --image "$backup" --out "$backup_dir/home" --ref "lvm:$VG/home=home_snap" \
        "${chunk_opt[@]}" || { fail "make_backup"; exit 1; }
    meta="$backup_dir/home.meta"
    snap_dev="/dev/$VG/home_snap"
    calls="$QOR_FAKE_LVM_DIR/calls.log"
    : >"$calls"
    restore_log="$scratch/restore.log"
    export QOR_FAKE_RESTORE_LOG="$restore_log"
}

# A further backup of the world's image under another name and header.
# make_world_backup NAME make_backup-options...
make_world_backup() {
    local name=$1
    shift
    make_backup --out "$backup_dir/$name" "$@" || { fail "make_backup $name"; exit 1; }
}

# The LVs the world holds, one "vg/lv" a line, sorted.
lv_list() {
    fake-lvm list | sort
}

# assert_lvs LV...: exactly these LVs of $VG exist.
assert_lvs() {
    local want lv
    want=$(for lv in "$@"; do printf '%s/%s\n' "$VG" "$lv"; done | sort)
    assert_eq "$want" "$(lv_list)" "LVs in the world"
}

# The verifier must never write to the snapshot, whatever happened.
assert_snapshot_intact() {
    if ! cmp -s "$image" "$snap_dev"; then
        fail "the snapshot's data changed"
    fi
}

# The world's own loop devices (LVs of a --loop world), one a line.
_qt_world_loops() {
    [ -f "$QOR_FAKE_LVM_DIR/loops" ] && cat "$QOR_FAKE_LVM_DIR/loops"
    return 0
}

# Nothing mounted under a temporary mount directory, no temporary mount
# directory made since the case began, no loop device over the case's files
# other than the world's own (tests/support/leftovers).
assert_no_leftovers() {
    local found
    # shellcheck disable=SC2046
    if ! found=$(leftovers check "$qt_roots_before" "$scratch" $(_qt_world_loops)); then
        fail "left behind: $(printf '%s' "$found" | tr '\n' ';')"
    fi
}

# After a run: only the origin and the snapshot are left, the snapshot is
# untouched, and nothing is mounted, attached or created that should not be.
assert_world_clean() {
    assert_lvs home home_snap
    assert_snapshot_intact
    if grep -qF -- "$scratch" /proc/mounts; then
        fail "a mount under $scratch is left"
    fi
    assert_no_leftovers
}

# make_image ARGS...: tests/support/make-image, ending the case when it fails.
make_image() {
    make-image "$@" || { fail "make-image $*"; exit 1; }
}

assert_calls() { # expected lines of calls.log
    local want
    want=$(printf '%s\n' "$@")
    assert_eq "$want" "$(cat "$calls")" "LVM tool calls"
}

assert_no_lvm_calls() {
    if [ -s "$calls" ]; then
        fail "LVM tools were run: $(tr '\n' ';' <"$calls")"
    fi
}

assert_restore_calls() { # expected lines of the restore log
    local want got=""
    want=$(printf '%s\n' "$@")
    [ -f "$restore_log" ] && got=$(cat "$restore_log")
    assert_eq "$want" "$got" "qor_restore calls"
}

assert_no_restore() {
    if [ -s "$restore_log" ]; then
        fail "qor_restore was run: $(cat "$restore_log")"
    fi
}

# The lvs command lines the verifier uses, for calls.log comparisons.
# shellcheck disable=SC2034
LVS_ROW="lvs --noheadings --separator | --units b --nosuffix -o vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor"
# shellcheck disable=SC2034
LVS_TAGS="lvs --noheadings -o lv_tags"

# path_without TOOL...: a PATH on which these tools cannot be found: a
# directory of wrappers for every stand-in but them, then the system
# directories. Wrappers rather than links, so each stand-in still finds its
# own files beside it.
path_without() {
    local dir="$scratch/path-without" src f skip t
    rm -rf "$dir"
    mkdir -p "$dir"
    for src in "$QOR_SUPPORT_SRC/lvm" "$QOR_SUPPORT_SRC" "$QOR_SUPPORT_BIN"; do
        for f in "$src"/*; do
            if [ ! -f "$f" ] || [ ! -x "$f" ]; then continue; fi
            skip=0
            for t in "$@"; do [ "$(basename "$f")" = "$t" ] && skip=1; done
            [ $skip -eq 1 ] || [ -e "$dir/$(basename "$f")" ] ||
                printf '#!/bin/sh\nexec "%s" "$@"\n' "$f" >"$dir/$(basename "$f")"
            chmod +x "$dir/$(basename "$f")" 2>/dev/null
        done
    done
    printf '%s:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin' "$dir"
}
