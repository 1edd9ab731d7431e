#!/usr/bin/env bash
# Everything the verifier checks before it creates a restore target: the
# .meta header, the recorded snapshot reference, and the snapshot itself
# (exists, tagged qor_agent, not overflowed). A refusal there creates
# nothing, restores nothing and leaves the world as it was.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

# Every way a .meta file can be unusable gives the same sentence, and
# nothing else is done.
t_unreadable_headers() {
    world_setup
    local m ref="lvm:$VG/home=home_snap"
    make_world_backup short --ref "$ref" --file-size 4095
    make_world_backup magic --ref "$ref" --magic 4d524f52
    make_world_backup v2 --ref "$ref" --version 2
    make_world_backup hlong --ref "$ref" --header-length 131073
    make_world_backup hshort --ref "$ref" --header-length 4095
    make_world_backup cut --ref "$ref" --header-length 8192 --file-size 8191
    : >"$backup_dir/empty.meta"
    mkdir "$backup_dir/dir.meta"
    for m in short magic v2 hlong hshort cut empty dir nonexistent; do
        run_verifier --meta "$backup_dir/$m.meta"
        assert_verdict_failed "cannot read $backup_dir/$m.meta"
    done
    assert_no_lvm_calls
    assert_no_restore
    assert_world_clean
}

t_no_recorded_snapshot() {
    world_setup
    local want="this backup has no recorded snapshot (it was made without --keep-snapshot, or predates qor_verifier's snapshot tracking) -- nothing to verify against"
    make_world_backup none --image "$image" --ref ""
    run_verifier --meta "$backup_dir/none.meta"
    assert_verdict_failed "$want"
    # A valid 4 KiB header ends before the reference's offset.
    make_world_backup small --ref "lvm:$VG/home=home_snap" --header-length 4096 --file-size 4096
    run_verifier --meta "$backup_dir/small.meta"
    assert_verdict_failed "$want"
    make_world_backup v0 --ref "" --version 0
    run_verifier --meta "$backup_dir/v0.meta"
    assert_verdict_failed "$want"
    assert_no_lvm_calls
    assert_no_restore
    assert_world_clean
}

t_unparseable_refs() {
    world_setup
    local long i ref
    long="zfs:tank/$(printf 'x%.0s' $(seq 1 100))"
    local refs=(
        "$long"
        "LVM:$VG/home=home_snap"
        "lvm:$VG/home"
        "lvm:$VG/home="
        "lvm:/home=home_snap"
        "lvm:$VG/=home_snap"
        "lvm:$(printf 'v%.0s' $(seq 1 128))/home=home_snap"
    )
    for i in "${!refs[@]}"; do
        ref=${refs[$i]}
        make_world_backup "bad$i" --image "$image" --ref "$ref"
        run_verifier --meta "$backup_dir/bad$i.meta"
        assert_verdict_failed "the backup's recorded snapshot ('${ref:0:80}') is not in a format qor_verifier understands (only LVM is supported today)"
    done
    assert_no_lvm_calls
    assert_no_restore
    assert_world_clean
}

t_snapshot_gone() {
    world_setup
    make_world_backup gone --image "$image" --ref "lvm:$VG/home=home_gone" --chunk-size 1048576
    run_verifier --meta "$backup_dir/gone.meta"
    assert_verdict_failed "the kept snapshot $VG/home_gone recorded in this backup no longer exists"
    assert_calls "$LVS_ROW $VG/home_gone"
    assert_no_restore
    assert_world_clean
    # A volume group that is not there either.
    make_world_backup novg --image "$image" --ref "lvm:novg$VG/home=home_snap"
    run_verifier --meta "$backup_dir/novg.meta"
    assert_verdict_failed "the kept snapshot novg$VG/home_snap recorded in this backup no longer exists"
}

t_lvs_failing() {
    world_setup
    fake-lvm fail lvs 3 "  Internal error: something broke"
    run_verifier --meta "$meta"
    assert_verdict_failed "the kept snapshot $VG/home_snap recorded in this backup no longer exists"
    assert_stderr_lacks "Internal error"
    assert_no_restore
    assert_world_clean
}

t_lvs_not_installed() {
    world_setup
    local p
    p=$(path_without lvs)
    if PATH=$p command -v lvs >/dev/null; then
        fail "lvs is still on the reduced PATH"
        return
    fi
    PATH=$p run_verifier --meta "$meta"
    assert_verdict_failed "the kept snapshot $VG/home_snap recorded in this backup no longer exists: the lvm tools (lvs) are not installed"
    assert_no_lvm_calls
    assert_no_restore
    assert_world_clean
}

# lvs may print warnings before its row; they are passed over.
t_lvs_warnings() {
    world_setup
    fake-lvm warn lvs "  WARNING: Not using device /dev/sdz for PV abc."
    run_verifier --meta "$meta"
    assert_verdict_identical 8388608
    assert_world_clean
}

t_untagged_snapshot() {
    world_setup
    local tags
    for tags in "" "daily,weekly" "qor_agen" "QOR_AGENT"; do
        fake-lvm lv-set "$VG" home_snap tags "$tags"
        : >"$calls"
        run_verifier --meta "$meta"
        assert_verdict_failed "$VG/home_snap exists but was not created by qor_agent -- refusing to use it"
        assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap"
    done
    assert_no_restore
    assert_world_clean
}

# The ownership test is a substring test over lvs's tag output.
# The tag must be one whole entry of the list: a tag that only contains the
# text belongs to someone else.
t_tag_whole_entry() {
    world_setup
    local tags
    fake-lvm lv-set "$VG" home_snap tags "daily,qor_agent"
    run_verifier --meta "$meta"
    assert_verdict_identical 8388608
    for tags in "qor_agent_old,daily" "xqor_agentx"; do
        fake-lvm lv-set "$VG" home_snap tags "$tags"
        run_verifier --meta "$meta"
        assert_verdict_failed "$VG/home_snap exists but was not created by qor_agent -- refusing to use it"
    done
    # Text on lvs's standard error is no tag.
    fake-lvm lv-set "$VG" home_snap tags "daily"
    fake-lvm warn lvs "  WARNING: qor_agent"
    run_verifier --meta "$meta"
    assert_verdict_failed "$VG/home_snap exists but was not created by qor_agent -- refusing to use it"
    assert_world_clean
}

# An inactive snapshot (a thin snapshot as created) has no device node: the
# run stops before it creates or restores anything.
t_inactive_snapshot() {
    world_setup
    fake-lvm lv-set "$VG" home_snap attr Vwi---tz-k
    run_verifier --meta "$meta"
    assert_verdict_failed "the kept snapshot $VG/home_snap is not active (it has no device node) -- activate it with 'lvchange -ay -K $VG/home_snap'"
    assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap"
    assert_no_restore
    fake-lvm lv-set "$VG" home_snap attr Vwi-a-tz-k
    run_verifier --meta "$meta"
    assert_verdict_identical 8388608
    assert_world_clean
}

t_invalid_snapshot() {
    world_setup
    local attr
    for attr in swi-I-s--- swi-S-s---; do
        fake-lvm lv-set "$VG" home_snap attr "$attr"
        : >"$calls"
        run_verifier --meta "$meta"
        assert_verdict_failed "the snapshot $VG/home_snap is invalid (its COW space overflowed) -- it is no longer a consistent point in time"
        assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap"
    done
    assert_no_restore
    assert_world_clean
    # Other states, a lower-case s included, are usable.
    fake-lvm lv-set "$VG" home_snap attr swi-s-s---
    run_verifier --meta "$meta"
    assert_verdict_identical 8388608
}

run_case "unreadable .meta files" t_unreadable_headers
run_case "no recorded snapshot" t_no_recorded_snapshot
run_case "snapshot references that cannot be parsed" t_unparseable_refs
run_case "the kept snapshot no longer exists" t_snapshot_gone
run_case "lvs failing" t_lvs_failing
run_case "lvs not installed" t_lvs_not_installed
run_case "lvs warnings before the row" t_lvs_warnings
run_case "a snapshot without the qor_agent tag" t_untagged_snapshot
run_case "the tag is one whole entry of the tag list" t_tag_whole_entry
run_case "an inactive snapshot" t_inactive_snapshot
run_case "an overflowed snapshot" t_invalid_snapshot
finish
