# Shared by the system-test cases; sourced by suite.sh inside the guest, where
# it runs as root against real LVM2, device-mapper, udev and systemd on two
# scratch disks. Only qor_restore is a stand-in; lvs, lvcreate, losetup and
# the rest are the guest's own.
set -u

SYS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PROJECT=$(cd "$SYS_DIR/../.." && pwd)
BUILD=${QOR_BUILD_DIR:-$PROJECT/build}
QOR_VERIFIER=$BUILD/qor_verifier
MAKE_BACKUP=$BUILD/tests/support/make_backup
DISK1=/dev/disk/by-id/virtio-qor-scratch-1
DISK2=/dev/disk/by-id/virtio-qor-scratch-2
# Its logical sectors are 4096 bytes long.
DISK4K=/dev/disk/by-id/virtio-qor-scratch-4k
VG=qsys
VG2=qsys2

# Only the restore program is a stand-in, and it is the only thing added to
# PATH: every other tool the verifier runs is the guest's real one.
SYS_BIN=/run/qor-system/bin
mkdir -p "$SYS_BIN"
ln -sf "$PROJECT/tests/support/qor_restore" "$SYS_BIN/qor_restore"
export PATH="$SYS_BIN:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
unset QOR_FAKE_RESTORE_LOG QOR_FAKE_RESTORE_EXIT QOR_FAKE_RESTORE_PARTIAL \
    QOR_FAKE_RESTORE_SIGNAL QOR_FAKE_RESTORE_SLEEP QOR_FAKE_RESTORE_CORRUPT

. "$PROJECT/tests/support/case-lib.sh"
# Real udev and LVM take their time.
WAIT_FOR_SECONDS=60

qs_cases=()

# system_case NAME FUNCTION: registers a case; suite.sh runs those asked for.
system_case() {
    qs_cases+=("$1:$2")
}

case_enter() {
    case_failed=0
    scratch=$(mktemp -d /tmp/qsys.XXXXXX) || exit 1
    mkdir -p "$scratch/run" "$scratch/backup"
}

# Whatever a case left, the next one starts from empty disks.
case_cleanup() {
    local m vg
    grep -oE " (/var/tmp/qor_verifier\.|$scratch/)[^ ]*" /proc/mounts | sort -r | while read -r m; do
        umount -l "$m"
    done
    # The LVM stand-in's world of a conformance case.
    if [ -d "$scratch/lvm" ]; then
        QOR_FAKE_LVM_DIR=$scratch/lvm "$PROJECT/tests/support/fake-lvm" destroy >/dev/null 2>&1 ||
            echo "  warning: fake-lvm destroy failed" >&2
    fi
    losetup -D 2>/dev/null
    for vg in "$VG" "$VG2"; do
        if vgs "$vg" >/dev/null 2>&1; then
            vgremove -ff -y "$vg" >/dev/null 2>&1 || echo "  warning: vgremove $vg failed" >&2
        fi
    done
    pvremove -ff -y "$DISK1" "$DISK2" "$DISK4K" >/dev/null 2>&1
    wipefs -q -a "$DISK1" "$DISK2" "$DISK4K" >/dev/null 2>&1
    rm -rf /var/tmp/qor_verifier.* "${scratch:?}"
}

note() {
    printf '  | %s\n' "$*"
}

# quote COMMAND...: runs a command and shows each line it printed, for the
# record of what the real tools say.
quote() {
    local line
    "$@" >"$scratch/quote" 2>&1
    local rc=$?
    note "\$ $* (exit $rc)"
    while IFS= read -r line; do note "  $line"; done <"$scratch/quote"
    return $rc
}

must() {
    "$@" >"$scratch/must" 2>&1 && return 0
    fail "$* failed: $(tr '\n' ' ' <"$scratch/must")"
    exit 1
}

# ---- the LVM world --------------------------------------------------------

# make_vg [NAME [DISK [EXTENT]]]
make_vg() {
    local vg=${1:-$VG} disk=${2:-$DISK1} extent=${3:-4m}
    must pvcreate -ff -y "$disk"
    must vgcreate -s "$extent" "$vg" "$disk"
}

# Fills the mounted tree at $1 with what an ordinary volume holds: nested
# directories, text, binary data, a symbolic link and a hard link; and what any
# local user can add: a FIFO, a device node and a name with a line end and an
# escape sequence.
populate_tree() {
    local d=$1
    mkdir -p "$d/etc" "$d/home/user/docs" "$d/var/lib"
    printf 'hostname=server\n' >"$d/etc/config"
    head -c 3000000 /dev/urandom >"$d/home/user/docs/blob.bin"
    seq 1 20000 >"$d/var/lib/numbers.txt"
    ln -s ../etc/config "$d/home/user/config-link"
    ln "$d/var/lib/numbers.txt" "$d/var/lib/numbers.hard"
    mkfifo "$d/var/lib/queue"
    mknod "$d/var/lib/null" c 1 3
    printf 'odd\n' >"$d/home/user/"$'name\n2026-12-08T00:00:00Z [qor_verifier] INFO  \e[31mred'
}

# make_origin_ext4 SIZE [LV]: an origin LV holding an ext4 file system.
make_origin_ext4() {
    local size=$1 lv=${2:-home}
    must lvcreate -y -n "$lv" -L "$size" "$VG"
    must mkfs.ext4 -q "/dev/$VG/$lv"
    mkdir -p "$scratch/mnt"
    must mount "/dev/$VG/$lv" "$scratch/mnt"
    populate_tree "$scratch/mnt"
    must umount "$scratch/mnt"
}

# make_snapshot [COW [TAGS [LV [ORIGIN]]]]: a thick snapshot of the origin.
make_snapshot() {
    local cow=${1:-32m} tags=${2:-qor_agent} lv=${3:-home_snap} origin=${4:-home} t
    local args=(-y -s -n "$lv" -L "$cow")
    IFS=, read -ra t <<<"$tags"
    for tags in "${t[@]}"; do args+=(--addtag "$tags"); done
    must lvcreate "${args[@]}" "$VG/$origin"
}

# make_backup_of [CHUNK [SNAP [ORIGIN]]]: a backup read from the snapshot, as
# the backup program makes it; sets $meta.
make_backup_of() {
    local chunk=${1:-1048576} snap=${2:-home_snap} origin=${3:-home}
    meta="$scratch/backup/$origin.meta"
    must "$MAKE_BACKUP" --image "/dev/$VG/$snap" --out "$scratch/backup/$origin" \
        --ref "lvm:$VG/$origin=$snap" --chunk-size "$chunk"
}

# Writes to the origin after the snapshot was taken: the snapshot must keep
# its point in time, and the comparison must not see the new data.
write_to_origin() {
    local lv=${1:-home}
    must mount "/dev/$VG/$lv" "$scratch/mnt"
    head -c 2000000 /dev/urandom >"$scratch/mnt/after-the-snapshot.bin"
    printf 'changed\n' >>"$scratch/mnt/etc/config"
    must umount "$scratch/mnt"
}

# origin_writes_start [LV]: writes to the mounted origin every half second
# until origin_writes_stop, one line in $scratch/writes for each write, so a
# case can tell that the origin changed while the verifier read the snapshot.
# The writes go over the same MiB, so they use little of the COW space.
origin_writes_start() {
    local lv=${1:-home}
    mkdir -p "$scratch/mnt"
    must mount "/dev/$VG/$lv" "$scratch/mnt"
    : >"$scratch/writes"
    while [ -d "$scratch/mnt" ] && [ ! -e "$scratch/writes.stop" ]; do
        dd if=/dev/urandom of="$scratch/mnt/during-the-run.bin" bs=64k count=16 \
            conv=notrunc,fsync status=none && echo >>"$scratch/writes"
        sleep 0.5
    done &
    origin_writer=$!
}

origin_writes_stop() {
    touch "$scratch/writes.stop"
    wait "$origin_writer"
    rm -f "$scratch/writes.stop"
    must umount "$scratch/mnt"
}

# run_verifier_while_writing ARGS...: run_verifier, failing the case unless
# the origin was written to while it ran.
run_verifier_while_writing() {
    local before
    before=$(wc -l <"$scratch/writes")
    run_verifier "$@"
    [ "$(wc -l <"$scratch/writes")" -gt "$before" ] || fail "the origin was not written to during the run"
}

lv_names() { # VG: the LV names, sorted, one a line
    lvs --noheadings -o lv_name "${1:-$VG}" 2>/dev/null | tr -d ' ' | sort
}

show_lvs() {
    quote lvs --noheadings --separator '|' --units b --nosuffix \
        -o vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor,lv_tags "${1:-$VG}"
}

# ---- running the verifier --------------------------------------------------

# The verdict is the last line on standard error.
verdict() {
    tail -n 1 "$err" | sed -E 's/^[0-9TZ:-]+ \[qor_verifier\] [A-Z]+ +//'
}

assert_verdict() { # status sentence
    if [ "$status" != "$1" ] || [ "$(verdict)" != "$2" ]; then
        fail "expected exit $1 with: $2"
        show_run
    else
        note "exit $status: $(verdict)"
    fi
}

assert_verdict_like() { # status extended-regex
    if [ "$status" != "$1" ] || ! [[ "$(verdict)" =~ $2 ]]; then
        fail "expected exit $1 with a verdict like: $2"
        show_run
    else
        note "exit $status: $(verdict)"
    fi
}

assert_failed() { # sentence
    assert_verdict 1 "verification failed: $1"
}

assert_failed_like() { # extended-regex of the sentence
    assert_verdict_like 1 "^verification failed: $1"
}

assert_identical_bytes() { # bytes
    assert_verdict 0 "verified identical: $1 bytes compared, 0 mismatches"
}

assert_identical_files() {
    assert_verdict 0 "verified identical: no differing files found"
}

# Nothing of the run is left: exactly these LVs in the group, no mount, loop
# device or temporary directory of the verifier.
assert_left_only() { # LV...
    local want
    want=$(printf '%s\n' "$@" | sort)
    assert_eq "$want" "$(lv_names)" "LVs of $VG"
    if grep -q ' /var/tmp/qor_verifier\.' /proc/mounts; then
        fail "mounts left: $(grep ' /var/tmp/qor_verifier\.' /proc/mounts | tr '\n' ';')"
    fi
    if [ -n "$(losetup -a)" ]; then
        fail "loop devices left: $(losetup -a | tr '\n' ';')"
    fi
    if compgen -G '/var/tmp/qor_verifier.*' >/dev/null; then
        fail "temporary directories left: $(echo /var/tmp/qor_verifier.*)"
    fi
}
