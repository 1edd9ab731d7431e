#!/usr/bin/env bash
# Walks the verification and makes each external step fail in turn, in both
# modes where the step exists, with and without --keep-restored. Every row
# checks the exit status, the one verdict sentence, and that the machine is
# left as it was: no scratch LV unless it was kept (or its removal was the
# step that failed), no mount, no temporary mount directory, no loop device
# over the world's files, and the snapshot unchanged.
. "$(dirname "$0")/lib.sh"

suite_started=$EPOCHREALTIME
PARTX_DIR="$QOR_SUPPORT_SRC/losetup-partx"
ROOT_RE='/var/tmp/qor_verifier\.[A-Za-z0-9]{6}'
SCRATCH_LV=home_qorverify
REAL_LOSETUP=/usr/sbin/losetup
REAL_UMOUNT=/usr/bin/umount
LVCREATE_MSG='  Volume group "vg" has insufficient free space (10 extents): 4608 required.'
LVREMOVE_MSG='  Logical volume vg/home_qorverify contains a filesystem in use.'
LVS_MSG='  Volume group "vg" not found'

lock_mounts_exclusively

# ---- the image, made once ------------------------------------------------

# A DOS-labelled disk with one ext4 partition: mode fs then needs losetup,
# partition nodes, mount, diff and umount; mode byte reads it as it is.
suite_dir=$(mktemp -d /tmp/qortest-faults.XXXXXX) || exit 1
trap 'rm -rf "${suite_dir:?}"' EXIT
make_disk_image() {
    local tree=$suite_dir/tree part=$suite_dir/p1.img
    mkdir -p "$tree/docs/deeper"
    printf 'alpha\n' >"$tree/docs/a.txt"
    printf 'beta\n' >"$tree/docs/deeper/b.txt"
    head -c 200000 /dev/urandom >"$tree/blob.bin"
    ln -s docs/a.txt "$tree/link"
    make-image ext4 "$part" 16 "$tree" && make-image disk "$disk" dos "$part"
}
disk=$suite_dir/disk.img
if ! make_disk_image; then
    echo "error: cannot make the test disk image" >&2
    exit 1
fi
DISK_BYTES=$(stat -c %s "$disk")

# ---- the world of one row ------------------------------------------------

# The snapshot LV and the backup both hold the disk image, so every run that
# gets past the failing step would find them identical.
world() {
    world_from_images "$disk"
    fakebin="$scratch/fakebin"
    mkdir -p "$fakebin"
}

# fake_tool TOOL CALL CODE REAL: a TOOL first on PATH that records every call
# and fails the CALL-th one (with CODE and a message, doing nothing), passing
# every other call on to REAL. For a failing mount it also notes which file
# backs the loop device it was asked to mount.
fake_tool() {
    local tool=$1 call=$2 code=$3 real=$4
    cat >"$fakebin/$tool" <<EOF
#!/bin/bash
dir='$fakebin'
n=\$(( \$(cat "\$dir/$tool.count" 2>/dev/null || echo 0) + 1 ))
echo "\$n" >"\$dir/$tool.count"
if [ "\$n" = '$call' ]; then
    printf '%s\n' "\$*" >"\$dir/$tool.failed"
    if [ '$tool' = mount ]; then
        $REAL_LOSETUP -n -O BACK-FILE "\${5%p[0-9]*}" >"\$dir/mount.back" 2>&1
    fi
    echo '$tool: simulated failure' >&2
    exit $code
fi
exec '$real' "\$@"
EOF
    chmod +x "$fakebin/$tool"
}

# arm WHAT: makes the step fail. WHAT is a stand-in LVM tool (its fail
# switch fails every call), qor_restore, or TOOL:CALL:CODE for fake_tool.
arm() {
    local tool call code real
    case $1 in
        lvs) fake-lvm fail lvs 5 "$LVS_MSG" ;;
        lvcreate) fake-lvm fail lvcreate 5 "$LVCREATE_MSG" ;;
        lvremove) fake-lvm fail lvremove 5 "$LVREMOVE_MSG" ;;
        qor_restore) export QOR_FAKE_RESTORE_EXIT=3 ;;
        *:*:*)
            IFS=: read -r tool call code <<<"$1"
            case $tool in
                lvs) real=$QOR_SUPPORT_SRC/lvm/lvs ;;
                losetup) real=$PARTX_DIR/losetup ;;
                *) real=$(command -v "$tool") ;;
            esac
            fake_tool "$tool" "$call" "$code" "$real"
            ;;
        *) fail "unknown step $1"; exit 1 ;;
    esac
}

# ---- what a run leaves ---------------------------------------------------

# The umount row: the target's mount point stays mounted (the failure is
# ignored), everything else is undone. Check that, then unmount it here;
# the loop device must then go by itself, because the run asked to detach it.
left_mount_check_and_clean() {
    local mp=${F[0]:-} loop left
    # shellcheck disable=SC2046
    left=$(leftovers check "$qt_roots_before" "$scratch" $(_qt_world_loops) | grep -v '^loop ')
    assert_eq "$(printf 'mount %s\ndir %s' "$mp" "$(dirname "$mp")")" "$left" \
        "what a failed umount leaves"
    loop=$(findmnt -n -o SOURCE --mountpoint "$mp")
    [[ $loop =~ ^/dev/loop[0-9]+p1$ ]] || fail "the left mount is not a loop partition: $loop"
    case $($REAL_LOSETUP -n -O BACK-FILE "${loop%p1}") in
        */$SCRATCH_LV/data*) ;;
        *) fail "the left mount is not the restored target's" ;;
    esac
    "$REAL_UMOUNT" "$mp" || fail "cannot unmount the left $mp"
    rmdir "$mp" "$(dirname "$mp")" || fail "more than the left mount point under $(dirname "$mp")"
}

# The call that a fake tool failed must be the one the row means.
check_failed_call() { # tool-and-call
    local tool=${1%%:*} call
    [ -f "$fakebin/$tool.failed" ] || { fail "$tool was never called"; return; }
    call=${1#*:}
    call=${call%%:*}
    case $tool:$call in
        lvs:3) assert_eq "${LVS_ROW#lvs } $VG/$SCRATCH_LV" "${F[*]}" "the failed lvs call" ;;
        losetup:1) assert_eq "-P --show -f -r /dev/$VG/home_snap" "${F[*]}" "the failed losetup call" ;;
        losetup:2) assert_eq "-P --show -f -r /dev/$VG/$SCRATCH_LV" "${F[*]}" "the failed losetup call" ;;
        mount:*)
            [[ "${F[*]}" =~ ^-t\ ext4\ -o\ ro,noload,nosuid,nodev,noexec,errors=remount-ro\ /dev/loop[0-9]+p1\ $ROOT_RE/p0$ ]] ||
                fail "unexpected mount call: ${F[*]}"
            local want=home_snap
            [ "$call" = 2 ] && want=$SCRATCH_LV
            case $(cat "$fakebin/mount.back") in
                */$want/data) ;;
                *) fail "mount call $call was not for $want: $(cat "$fakebin/mount.back")" ;;
            esac
            ;;
        diff:1)
            if ! [[ "${F[*]}" =~ ^-rq\ --no-dereference\ ($ROOT_RE)/p0\ ($ROOT_RE)/p0$ ]] ||
                [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ]; then
                fail "unexpected diff call: ${F[*]}"
            fi
            ;;
        umount:1) [[ "${F[*]}" =~ ^$ROOT_RE/p0$ ]] || fail "unexpected umount call: ${F[*]}" ;;
        *) fail "no check for $1" ;;
    esac
}

# ---- one row -------------------------------------------------------------

t_row() { # mode step keep status sentence
    local mode=$1 step=$2 keep=$3 want_status=$4 sentence=$5 tool=${2%%:*}
    local created=1 want args
    world
    arm "$step"
    args=(--meta "$meta" --mode "$mode")
    [ "$keep" = keep ] && args+=(--keep-restored)
    PATH="$fakebin:$PARTX_DIR:$PATH" run_verifier "${args[@]}"

    F=()
    if [[ $step == *:*:* ]]; then
        read -r -a F <"$fakebin/$tool.failed" 2>/dev/null
        check_failed_call "$step"
    fi
    set +u  # a fake that was never called leaves F empty; the sentence check then fails
    eval "want=\"$sentence\""
    set -u
    if [ "$want_status" = 0 ]; then
        assert_status 0
        assert_console_line INFO "$want"
        assert_stderr_lacks "verification failed"
        assert_stdout_empty
    else
        assert_verdict_failed "$want"
    fi

    # The scratch LV exists once lvcreate succeeded, and stays only when
    # kept or when removing it failed: by the stand-in's switch, or because
    # a failed umount left it in use.
    local creates=1
    case $step in lvs | lvs:*) creates=0 ;; esac
    case $step in lvs | lvs:* | lvcreate) created=0 ;; esac
    assert_eq "$creates" "$(grep -c '^lvcreate ' "$calls")" "lvcreate runs"
    assert_eq "$created" "$([ -s "$restore_log" ] && echo 1 || echo 0)" "qor_restore run"
    if [ "$created" = 1 ] && [ "$keep" != keep ]; then
        assert_eq "lvremove -f -y $VG/$SCRATCH_LV" "$(grep '^lvremove ' "$calls")" "scratch LV removal"
    else
        assert_eq "" "$(grep '^lvremove ' "$calls")" "scratch LV removal"
    fi
    local refused=0 why=$LVREMOVE_MSG
    [ "$keep" != keep ] && case $step in lvremove | umount:*) refused=1 ;; esac
    [ "$tool" = umount ] && why="  Logical volume $VG/$SCRATCH_LV in use."
    if [ "$refused" = 1 ]; then
        assert_console_line WARN "could not remove the restore-target LV $VG/$SCRATCH_LV: could not remove LV $VG/$SCRATCH_LV: $why (remove it manually)"
        assert_lvs home home_snap "$SCRATCH_LV"
    elif [ "$created" = 1 ] && [ "$keep" = keep ]; then
        assert_lvs home home_snap "$SCRATCH_LV"
        if [ "$step" != qor_restore ]; then
            cmp -s -n "$DISK_BYTES" "$disk" "/dev/$VG/$SCRATCH_LV" || fail "the kept LV does not hold the backup"
        fi
    else
        assert_lvs home home_snap
    fi
    # Nothing but a failed removal of the scratch LV is worth a warning.
    assert_eq "$refused" "$(count_lines_with "$err" "] WARN ")" "WARN lines"

    if [ "$tool" = umount ]; then
        # A failed umount is ignored, and its output is captured, not shown.
        assert_stderr_lacks "umount: simulated failure"
        left_mount_check_and_clean
    fi
    assert_snapshot_intact
    assert_no_leftovers
}

# ---- the walk ------------------------------------------------------------

# mode  step         keep  status  sentence (after "verification failed: " for status 1)
# A step is a stand-in LVM tool whose every call fails, qor_restore exiting 3,
# or TOOL:CALL:CODE (the CALL-th run of TOOL fails with CODE). F holds the
# arguments of that failed call. Snapshot first: losetup/mount call 1 is the
# snapshot's, call 2 the target's; umount call 1 is the target's.
ROWS=$(cat <<'ROWS'
byte  lvs          -     1  the kept snapshot $VG/home_snap recorded in this backup no longer exists
byte  lvs          keep  1  the kept snapshot $VG/home_snap recorded in this backup no longer exists
byte  lvs:3:127    -     1  cannot create the restore target: the lvm tools (lvs) are not installed
byte  lvs:3:127    keep  1  cannot create the restore target: the lvm tools (lvs) are not installed
byte  lvcreate     -     1  cannot create the restore target: could not create LV $VG/$SCRATCH_LV: $LVCREATE_MSG
byte  lvcreate     keep  1  cannot create the restore target: could not create LV $VG/$SCRATCH_LV: $LVCREATE_MSG
byte  qor_restore  -     1  restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code 3
byte  qor_restore  keep  1  restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code 3
byte  lvremove     -     0  verified identical: $DISK_BYTES bytes compared, 0 mismatches
byte  lvremove     keep  0  verified identical: $DISK_BYTES bytes compared, 0 mismatches
fs    lvs          -     1  the kept snapshot $VG/home_snap recorded in this backup no longer exists
fs    lvs          keep  1  the kept snapshot $VG/home_snap recorded in this backup no longer exists
fs    lvcreate     -     1  cannot create the restore target: could not create LV $VG/$SCRATCH_LV: $LVCREATE_MSG
fs    lvcreate     keep  1  cannot create the restore target: could not create LV $VG/$SCRATCH_LV: $LVCREATE_MSG
fs    qor_restore  -     1  restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code 3
fs    qor_restore  keep  1  restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code 3
fs    losetup:1:1  -     1  cannot mount the snapshot: cannot set up a partition-scanning loop device for /dev/$VG/home_snap (needs losetup -P support): losetup: simulated failure
fs    losetup:1:1  keep  1  cannot mount the snapshot: cannot set up a partition-scanning loop device for /dev/$VG/home_snap (needs losetup -P support): losetup: simulated failure
fs    losetup:2:1  -     1  cannot mount the restored target: cannot set up a partition-scanning loop device for /dev/$VG/$SCRATCH_LV (needs losetup -P support): losetup: simulated failure
fs    losetup:2:1  keep  1  cannot mount the restored target: cannot set up a partition-scanning loop device for /dev/$VG/$SCRATCH_LV (needs losetup -P support): losetup: simulated failure
fs    mount:1:32   -     1  cannot mount the snapshot: cannot mount ${F[4]} at ${F[5]}: mount: simulated failure
fs    mount:1:32   keep  1  cannot mount the snapshot: cannot mount ${F[4]} at ${F[5]}: mount: simulated failure
fs    mount:2:32   -     1  cannot mount the restored target: cannot mount ${F[4]} at ${F[5]}: mount: simulated failure
fs    mount:2:32   keep  1  cannot mount the restored target: cannot mount ${F[4]} at ${F[5]}: mount: simulated failure
fs    diff:1:2     -     1  comparison failed: could not run diff between ${F[2]} and ${F[3]}: diff: simulated failure
fs    diff:1:2     keep  1  comparison failed: could not run diff between ${F[2]} and ${F[3]}: diff: simulated failure
fs    umount:1:32  -     0  verified identical: no differing files found
fs    umount:1:32  keep  0  verified identical: no differing files found
fs    lvremove     -     0  verified identical: no differing files found
fs    lvremove     keep  0  verified identical: no differing files found
ROWS
)

while read -r mode step keep status sentence; do
    name="$mode, $step fails"
    [ "$keep" = keep ] && name+=", --keep-restored"
    run_case "$name" t_row "$mode" "$step" "$keep" "$status" "$sentence" </dev/null
done <<<"$ROWS"
printf 'fault walk took %.1fs\n' "$(awk -v a="$suite_started" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')"
finish
