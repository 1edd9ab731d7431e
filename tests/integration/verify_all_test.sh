#!/usr/bin/env bash
# qor_verify_all as an operator runs it, against the stand-in world: its
# command line and configuration errors, what a dry run lists (grouping by
# recorded volume, the newest backup of each, unusable .meta files, a scratch
# LV left from an earlier run), whole passes that run the built qor_verifier
# (each class of outcome, the exit status, the history and metrics they
# write), and the signals it passes on to the running verification.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

: "${QOR_VERIFY_ALL:?run through ctest}"

# start_all ARGS...: qor_verify_all by start_logged; sets $apid.
start_all() {
    start_logged "$QOR_VERIFY_ALL" "$@"
    apid=$bg_pid
}

# start_pass_in_restore SECONDS: a pass over the world with the built
# verifier, whose restore takes SECONDS; returns once the restore runs.
start_pass_in_restore() {
    verifier_on_path
    write_config
    export QOR_FAKE_RESTORE_SLEEP=$1
    start_all --config "$conf"
    wait_for restore_running
}

# run_all ARGS...: runs qor_verify_all to its end; sets $status.
run_all() {
    start_all "$@"
    wait "$apid"
    status=$?
}

# A configuration over the world's backup directory; extra lines follow.
write_config() {
    conf="$scratch/verify-all.conf"
    {
        printf 'backups = %s\n' "$backup_dir"
        printf 'history = %s\n' "$scratch/history.jsonl"
        printf 'textfile = %s\n' "$scratch/qor.prom"
        printf 'lock = %s\n' "$scratch/pass.lock"
        printf '%s\n' "$@"
    } >"$conf"
    chmod 0644 "$conf"
}

# add_volume LV: an origin LV and its kept snapshot LV_snap, both holding the
# world's image.
add_volume() {
    local size
    size=$(stat -c %s "$image")
    fake-lvm lv-add "$VG" "$1" --size "$size" --data "$image" --attr owi-aos--- &&
        fake-lvm lv-add "$VG" "${1}_snap" --size "$size" --data "$image" --attr swi-a-s--- \
            --tags qor_agent --origin "$1" || { fail "fake-lvm lv-add $1"; exit 1; }
}

# backup_of NAME LV [IMAGE]: the backup NAME.meta of IMAGE (the world's image
# by default), recording LV and its kept snapshot.
backup_of() {
    make_world_backup "$1" --image "${3:-$image}" --ref "lvm:$VG/$2=${2}_snap"
}

# The built qor_verifier first on PATH, where the pass looks for it, logging
# into the scratch directory.
verifier_on_path() {
    mkdir -p "$scratch/bin"
    printf '#!/bin/sh\nexec "%s" --no-syslog --log-path "%s" "$@"\n' "$QOR_VERIFIER" \
        "$scratch/log" >"$scratch/bin/qor_verifier"
    chmod +x "$scratch/bin/qor_verifier"
    export PATH="$scratch/bin:$PATH"
}

# A second volume, srv, and dated backups of both with chosen times.
dated_world() {
    world_setup 1048576
    add_volume srv
    local name
    for name in home-2026-12-01 home-2026-12-03 home-2026-12-02; do
        backup_of "$name" home
    done
    backup_of srv-a srv
    backup_of srv-b srv
    touch -d '2026-12-01 01:00' "$backup_dir/home-2026-12-01.meta"
    touch -d '2026-12-02 01:00' "$backup_dir/home-2026-12-02.meta" "$meta"
    touch -d '2026-12-03 01:00' "$backup_dir/home-2026-12-03.meta"
    # The name sorts first, the time decides.
    touch -d '2026-12-05 01:00' "$backup_dir/srv-a.meta"
    touch -d '2026-12-04 01:00' "$backup_dir/srv-b.meta"
    : >"$calls"
}

t_usage() {
    world_setup 1048576
    run_all --help
    assert_status 0
    [[ $(head -n 1 "$out") =~ ^qor_verify_all\ [^\ ]+\ \(build\ [^\ ()]+\)$ ]] ||
        fail "usage header: $(head -n 1 "$out")"
    assert_file_has "$out" "Usage: qor_verify_all [--config <file>] [--dry-run] [logging options]"

    run_all --dry-runn
    assert_status 2
    assert_eq "error: unknown option '--dry-runn' (use --help)" "$(cat "$err")" "usage error"
    run_all stray
    assert_status 2
    assert_eq "error: unexpected word 'stray' (use --help)" "$(cat "$err")" "usage error"
    run_all --status --dry-run
    assert_status 3
    assert_eq "error: --status excludes '--dry-run' (use --help)" "$(cat "$err")" "usage error"
    run_all --config
    assert_status 2
    assert_eq "error: a value is missing after '--config' (use --help)" "$(cat "$err")" "usage error"

    run_all --config "$scratch/none.conf"
    assert_status 2
    assert_eq "error: cannot read $scratch/none.conf: No such file or directory" "$(cat "$err")" \
        "missing configuration"
    write_config "mode = fast"
    run_all --config "$conf"
    assert_status 2
    assert_eq "error: $conf line 5: mode must be byte or fs" "$(cat "$err")" "bad configuration"
    chmod 0666 "$conf"
    run_all -c "$conf" --dry-run
    assert_status 2
    assert_stderr_has "may be changed by users other than root"
    assert_file_has "$scratch/log/verify_all.log" "stopped exit=2"
    assert_no_lvm_calls
}

t_dry_run_picks_the_newest_of_each_volume() {
    dated_world
    printf 'garbage' >"$backup_dir/torn.meta"
    write_config "[$VG/srv]" "mode = fs" "restore-args = --threads 2"
    run_all --config "$conf" --dry-run
    assert_status 3
    local want="$scratch/expected"
    {
        printf 'unusable: cannot use %s: the file is not a backup header\n' "$backup_dir/torn.meta"
        printf '%s/home: %s (newest of 4)\n' "$VG" "$backup_dir/home-2026-12-03.meta"
        printf '  qor_verifier --meta=%s --mode=byte --no-progress\n' "$backup_dir/home-2026-12-03.meta"
        printf '%s/srv: %s (newest of 2)\n' "$VG" "$backup_dir/srv-a.meta"
        printf '  qor_verifier --meta=%s --mode=fs --no-progress -- --threads 2\n' "$backup_dir/srv-a.meta"
    } >"$want"
    assert_stdout_eq "$want"
    # Only lookups of the scratch LVs; nothing created, run or written.
    assert_calls "$LVS_ROW $VG/home_qorverify" "$LVS_ROW $VG/srv_qorverify"
    assert_no_restore
    assert_missing "$scratch/history.jsonl"
    assert_missing "$scratch/qor.prom"
    assert_world_clean_with_srv
}

assert_world_clean_with_srv() {
    assert_lvs home home_snap srv srv_snap
    assert_snapshot_intact
}

# A scratch LV left by a crashed run is reported with what to do, counted as
# not verified, and left exactly as it is.
t_leftover_scratch_lv() {
    dated_world
    fake-lvm lv-add "$VG" home_qorverify --size 1048576 --data "$image" --attr -wi-a----- ||
        fail "fake-lvm lv-add home_qorverify"
    write_config "[$VG/srv]" "skip = yes"
    run_all --config "$conf"
    assert_status 3
    local sentence="the scratch LV $VG/home_qorverify is left from an earlier run that did not finish; inspect it, then remove it with 'lvremove $VG/home_qorverify' (qor_verify_all never removes it)"
    if ! has_console_line_of qor_verify_all ERROR "$VG/home: $sentence"; then
        fail "no ERROR line for the leftover"
        show_run
    fi
    assert_lvs home home_qorverify home_snap srv srv_snap
    assert_calls "$LVS_ROW $VG/home_qorverify"
    assert_no_restore
    assert_eq 1 "$(wc -l <"$scratch/history.jsonl")" "history lines"
    assert_file_has "$scratch/history.jsonl" "\"meta\":\"$backup_dir/home-2026-12-03.meta\",\"volume\":\"$VG/home\",\"mode\":\"byte\""
    assert_file_has "$scratch/history.jsonl" "\"exit_status\":null,\"signal\":null,\"verdict\":null,\"class\":\"could-not-verify\",\"reason\":\"$sentence\"}"
    assert_file_has "$scratch/qor.prom" "qor_verify_last_result{volume=\"$VG/home\",result=\"could-not-verify\"} 1"
    assert_file_has "$scratch/qor.prom" "qor_verify_last_success_timestamp_seconds{volume=\"$VG/home\"} 0"
    assert_file_lacks "$scratch/qor.prom" "volume=\"$VG/srv\""
    assert_file_has "$scratch/log/verify_all.log" "could-not-verify $VG/home $backup_dir/home-2026-12-03.meta"
    assert_file_has "$scratch/log/verify_all.log" "stopped exit=3"
}

# Unusable .meta files are each recorded as not verified; the metrics count them.
t_unusable_backups_are_recorded() {
    world_setup 1048576
    rm -f "$meta"
    printf 'garbage' >"$backup_dir/torn.meta"
    make_world_backup nosnap --image "$image"
    write_config
    run_all --config "$conf"
    assert_status 3
    assert_eq 2 "$(wc -l <"$scratch/history.jsonl")" "history lines"
    assert_file_has "$scratch/history.jsonl" "\"meta\":\"$backup_dir/nosnap.meta\",\"volume\":null"
    assert_file_has "$scratch/history.jsonl" "\"reason\":\"this backup has no recorded snapshot (it was made without --keep-snapshot)\""
    assert_file_has "$scratch/qor.prom" "qor_verify_all_unusable_backups 2"
    if ! has_console_line_of qor_verify_all WARN "cannot use 2 .meta files in $backup_dir; the first, nosnap.meta: this backup has no recorded snapshot (it was made without --keep-snapshot)"; then
        fail "no WARN line for the directory's unusable files"
    fi
    assert_no_lvm_calls
}

t_no_backups_found() {
    world_setup 1048576
    write_config "backups = $scratch/nothing-here/*.meta"
    rm -f "$backup_dir"/*.meta
    run_all --config "$conf"
    assert_status 3
    if ! has_console_line_of qor_verify_all ERROR "no .meta file found in the configured backups"; then
        fail "no ERROR line for an empty pass"
        show_run
    fi
    assert_stderr_has "WARN  backups = $scratch/nothing-here/*.meta gives no .meta file"
}

# has_console_line_of TAG LEVEL MESSAGE: a console line of that program in $err.
has_console_line_of() {
    local want line
    want=$(printf '[%s] %-5s %s' "$1" "$2" "$3")
    while IFS= read -r line || [ -n "$line" ]; do
        [[ $line =~ $QT_TS_RE ]] || continue
        [ "${line:21}" = "$want" ] && return 0
    done <"$err"
    return 1
}

# ---- whole passes through the built qor_verifier --------------------------

HISTORY_IDENTICAL='"exit_status":0,"signal":null,"verdict":"verified identical: 1048576 bytes compared, 0 mismatches","class":"identical","bytes_compared":1048576}'

# The history's last line for the volume LV of the world.
history_line() {
    grep -F "\"volume\":\"$VG/$1\"" "$scratch/history.jsonl" | tail -n 1
}

# A value in a history line: a number, null, or a text without its quotes.
json_field() { # line name
    sed -nE "s/.*\"$2\":(\"([^\"]*)\"|([^,}]*)).*/\2\3/p" <<<"$1"
}

assert_history() { # LV text...: the volume's last history line holds each text
    local line want
    line=$(history_line "$1")
    shift
    for want in "$@"; do
        case $line in
            *"$want"*) ;;
            *) fail "history line lacks [$want]: [$line]" ;;
        esac
    done
}

assert_history_lines() {
    assert_eq "$1" "$(wc -l <"$scratch/history.jsonl")" "history lines"
}

# metric NAME LV [RESULT]: the value of a series of the textfile.
metric() {
    local labels="volume=\"$VG/$2\""
    [ -z "${3:-}" ] || labels="$labels,result=\"$3\""
    sed -n "s|^$1{$labels} ||p" "$scratch/qor.prom"
}

assert_result_metric() { # LV class
    local c
    for c in identical differs could-not-verify; do
        assert_eq "$([ "$c" = "$2" ] && echo 1 || echo 0)" "$(metric qor_verify_last_result "$1" "$c")" \
            "qor_verify_last_result of $1 for $c"
    done
}

# The last pass wrote this start time as the volume's last run (and, when
# given, SUCCESS as its last success).
assert_time_metrics() { # LV [SUCCESS]
    local start
    start=$(json_field "$(history_line "$1")" start_time)
    assert_eq "$start" "$(metric qor_verify_last_run_timestamp_seconds "$1")" "last run of $1"
    assert_eq "${2:-$start}" "$(metric qor_verify_last_success_timestamp_seconds "$1")" \
        "last success of $1"
}

# Every volume identical: exit 0, each verdict streamed through, one history
# line each, and metrics read back from them. The next night one volume
# cannot be verified: exit 3, and its last success is still the first one.
t_all_identical_then_one_not_verified() {
    world_setup 1048576
    add_volume srv
    backup_of srv srv
    verifier_on_path
    write_config "reverify-after = 0"
    run_all --config "$conf"
    assert_status 0
    assert_history_lines 2
    local lv first_success
    for lv in home srv; do
        assert_history "$lv" "{\"meta\":\"$backup_dir/$lv.meta\",\"volume\":\"$VG/$lv\",\"mode\":\"byte\"" \
            "$HISTORY_IDENTICAL"
        assert_result_metric "$lv" identical
        assert_time_metrics "$lv"
    done
    assert_eq 2 "$(count_lines_with "$err" "[qor_verifier] INFO  verified identical: 1048576 bytes compared, 0 mismatches")" \
        "verdict lines streamed through"
    assert_restore_calls \
        "qor_restore --meta $backup_dir/home.meta --search-dir $backup_dir --target /dev/$VG/home_qorverify --assume-zeroed --no-progress" \
        "qor_restore --meta $backup_dir/srv.meta --search-dir $backup_dir --target /dev/$VG/srv_qorverify --assume-zeroed --no-progress"
    assert_lvs home home_snap srv srv_snap

    first_success=$(json_field "$(history_line home)" start_time)
    sleep 1
    fake-lvm lv-set "$VG" home_snap tags ""
    run_all --config "$conf"
    assert_status 3
    assert_history_lines 4
    assert_history home "\"exit_status\":1,\"signal\":null,\"verdict\":\"verification failed: $VG/home_snap exists but was not created by qor_agent -- refusing to use it\",\"class\":\"could-not-verify\"}"
    assert_result_metric home could-not-verify
    assert_time_metrics home "$first_success"
    assert_time_metrics srv
    # A failed night within reverify-after (0 here) plus a day is no alarm
    # for monitoring.
    run_all --config "$conf" --status
    assert_status 0
    assert_file_has "$out" "QOR VERIFY OK - 2 volumes verified identical within 1 day | volumes=2;;;0"
}

# A backup that differs makes the pass end with 1, whatever else happened.
t_each_class_and_a_difference() {
    world_setup 1048576
    add_volume srv
    cp "$image" "$scratch/changed.img"
    printf 'this chunk differs' | dd of="$scratch/changed.img" bs=1 seek=4096 conv=notrunc status=none
    backup_of srv srv "$scratch/changed.img"
    add_volume db
    backup_of db db
    fake-lvm lv-set "$VG" db_snap tags other_tool
    verifier_on_path
    write_config
    run_all --config "$conf"
    assert_status 1
    assert_history_lines 3
    assert_history home "$HISTORY_IDENTICAL"
    assert_history srv '"exit_status":1,"signal":null,"verdict":"verification failed: the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 0","class":"differs"}'
    assert_history db "\"exit_status\":1,\"signal\":null,\"verdict\":\"verification failed: $VG/db_snap exists but was not created by qor_agent -- refusing to use it\",\"class\":\"could-not-verify\"}"
    assert_result_metric home identical
    assert_result_metric srv differs
    assert_result_metric db could-not-verify
    assert_time_metrics srv 0
    assert_time_metrics db 0
    if ! has_console_line_of qor_verify_all ERROR "pass done: 1 identical, 1 differ, 1 could not be verified"; then
        fail "no summary line"
        show_run
    fi
    assert_lvs db db_snap home home_snap srv srv_snap
}

# A malformed .meta is recorded as not verified; the good ones still are.
t_a_malformed_meta_among_good_ones() {
    world_setup 1048576
    add_volume srv
    backup_of srv srv
    printf 'QORM, torn off' >"$backup_dir/torn.meta"
    verifier_on_path
    write_config
    run_all --config "$conf"
    assert_status 3
    assert_history_lines 3
    assert_file_has "$scratch/history.jsonl" "{\"meta\":\"$backup_dir/torn.meta\",\"volume\":null,"
    assert_file_has "$scratch/history.jsonl" '"exit_status":null,"signal":null,"verdict":null,"class":"could-not-verify","reason":"the file is not a backup header"}'
    assert_history home "$HISTORY_IDENTICAL"
    assert_history srv "$HISTORY_IDENTICAL"
    assert_eq 1 "$(sed -n 's/^qor_verify_all_unusable_backups //p' "$scratch/qor.prom")" "unusable backups"
    assert_lvs home home_snap srv srv_snap
}

# SIGUSR1 to qor_verify_all reaches the verification, which says where it
# stands and goes on.
t_a_progress_request_is_passed_on() {
    world_setup 1048576
    start_pass_in_restore 2 || return
    kill -s USR1 "$apid"
    wait "$apid"
    status=$?
    assert_status 0
    assert_eq 1 "$(count_lines_with "$err" "[qor_verifier] INFO  progress: restoring, for ")" "progress lines"
    assert_history home "$HISTORY_IDENTICAL"
}

# SIGTERM to qor_verify_all reaches the verification, which cleans up; the
# pass records it and verifies nothing more.
t_a_stop_is_passed_on() {
    world_setup 1048576
    add_volume srv
    backup_of srv srv
    start_pass_in_restore 60 || return
    local started=$SECONDS
    kill -s TERM "$apid"
    wait "$apid"
    status=$?
    assert_status 3
    [ $((SECONDS - started)) -lt 12 ] || fail "took $((SECONDS - started)) s to stop"
    assert_history_lines 1
    assert_history home '"exit_status":1,"signal":null,"verdict":"verification failed: interrupted by SIGTERM","class":"could-not-verify"}'
    if ! has_console_line_of qor_verify_all ERROR "interrupted by SIGTERM: 1 volume(s) not verified"; then
        fail "no line for the volume left out"
        show_run
    fi
    assert_lvs home home_snap srv srv_snap
    if restore_running; then fail "the restore is still running"; fi
}

# A second pass while one runs names the first one's pid, verifies nothing
# and ends with 4; the first goes on undisturbed.
t_one_pass_at_a_time() {
    world_setup 1048576
    start_pass_in_restore 2 || return
    local second="$scratch/second.err"
    "$QOR_VERIFY_ALL" --no-syslog --no-log --config "$conf" 2>"$second"
    assert_eq 4 "$?" "second pass status"
    assert_file_has "$second" "ERROR another pass is running (pid $apid, holding $scratch/pass.lock); this one verifies nothing"
    wait "$apid"
    status=$?
    assert_status 0
    assert_history_lines 1
    assert_eq "$apid" "$(cat "$scratch/pass.lock")" "pid in the lock"
}

run_case "command line and configuration errors end with 2" t_usage
run_case "a dry run picks the newest backup of each volume" t_dry_run_picks_the_newest_of_each_volume
run_case "a leftover scratch LV is reported and kept" t_leftover_scratch_lv
run_case "unusable .meta files are recorded as not verified" t_unusable_backups_are_recorded
run_case "finding no backup is not success" t_no_backups_found
run_case "all identical ends with 0; a volume not verified keeps its last success" t_all_identical_then_one_not_verified
run_case "identical, differs and could-not-verify in one pass end with 1" t_each_class_and_a_difference
run_case "a malformed .meta among good ones ends with 3" t_a_malformed_meta_among_good_ones
run_case "SIGUSR1 is passed on to the running verification" t_a_progress_request_is_passed_on
run_case "SIGTERM is passed on and the verification cleans up" t_a_stop_is_passed_on
run_case "a second pass at the same time verifies nothing" t_one_pass_at_a_time
finish
