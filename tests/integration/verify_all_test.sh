#!/usr/bin/env bash
# qor_verify_all as an operator runs it, against the stand-in world: its
# command line and configuration errors, what a dry run lists (grouping by
# recorded volume, the newest backup of each, unusable .meta files, a scratch
# LV left from an earlier run), and the history and metrics a pass writes for
# backups it cannot verify.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

: "${QOR_VERIFY_ALL:?run through ctest}"

# run_all ARGS...: runs qor_verify_all, logging into the scratch directory.
run_all() {
    out="$scratch/run/stdout"
    err="$scratch/run/stderr"
    "$QOR_VERIFY_ALL" --no-syslog --log-path "$scratch/log" "$@" >"$out" 2>"$err"
    status=$?
}

# A configuration over the world's backup directory; extra lines follow.
write_config() {
    conf="$scratch/verify-all.conf"
    {
        printf 'backups = %s\n' "$backup_dir"
        printf 'history = %s\n' "$scratch/history.jsonl"
        printf 'textfile = %s\n' "$scratch/qor.prom"
        printf '%s\n' "$@"
    } >"$conf"
    chmod 0644 "$conf"
}

# A second volume, srv, and dated backups of both with chosen times.
dated_world() {
    world_setup 1048576
    fake-lvm lv-add "$VG" srv --size 1048576 --data "$image" --attr owi-aos--- &&
        fake-lvm lv-add "$VG" srv_snap --size 1048576 --data "$image" --attr swi-a-s--- \
            --tags qor_agent --origin srv || { fail "fake-lvm lv-add srv"; exit 1; }
    local name
    for name in home-2026-12-01 home-2026-12-03 home-2026-12-02; do
        make_world_backup "$name" --image "$image" --ref "lvm:$VG/home=home_snap"
    done
    make_world_backup srv-a --image "$image" --ref "lvm:$VG/srv=srv_snap"
    make_world_backup srv-b --image "$image" --ref "lvm:$VG/srv=srv_snap"
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
    assert_eq "error: $conf line 4: mode must be byte or fs" "$(cat "$err")" "bad configuration"
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
    assert_status 0
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
        _qt_show_run
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
    if ! has_console_line_of qor_verify_all WARN "cannot use $backup_dir/torn.meta: the file is not a backup header"; then
        fail "no WARN line for the torn .meta"
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
        _qt_show_run
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

run_case "command line and configuration errors end with 2" t_usage
run_case "a dry run picks the newest backup of each volume" t_dry_run_picks_the_newest_of_each_volume
run_case "a leftover scratch LV is reported and kept" t_leftover_scratch_lv
run_case "unusable .meta files are recorded as not verified" t_unusable_backups_are_recorded
run_case "finding no backup is not success" t_no_backups_found
finish
