# Shared by the LVM stand-ins (lvm/lvs, lvm/lvcreate, lvm/lvremove) and the
# fake-lvm admin script. Sourced, never run. The whole LVM world of one test
# lives under $QOR_FAKE_LVM_DIR:
#   vgs/<vg>/            a volume group (.loop inside: its new LVs get loop
#                        devices; .extent: its extent size; .capacity: its size)
#   vgs/<vg>/<lv>/       data, attr, tags, segtype, origin, cow (a thick
#                        snapshot's COW size), node (what /dev/<vg>/<lv>
#                        points at while active), and loop when attached
#   calls.log            one line per tool call: name and arguments
#   fail/ warn/ hang/ hang-after/   failure switches, one file per tool
#   devdirs              the /dev/<vg> directories this world created
#   loops                the loop devices this world attached

fake_die() {
    local code=$1
    shift
    printf '%s\n' "$*" >&2
    exit "$code"
}

# Every tool and subcommand needs the state directory; nothing works without it.
fake_require_state() {
    if [ -z "${QOR_FAKE_LVM_DIR:-}" ]; then
        fake_die 5 "$FAKE_TOOL: QOR_FAKE_LVM_DIR is not set"
    fi
    FAKE_DIR=${QOR_FAKE_LVM_DIR%/}
    [ -n "$FAKE_DIR" ] || fake_die 5 "$FAKE_TOOL: QOR_FAKE_LVM_DIR must not be /"
    mkdir -p "$FAKE_DIR/vgs" || fake_die 5 "$FAKE_TOOL: cannot create $FAKE_DIR"
}

# The LVM rule for VG and LV names; it also keeps "/" and ".." out of every
# path built from a name.
fake_name_ok() {
    [[ ${#1} -ge 1 && ${#1} -le 126 && $1 =~ ^[A-Za-z0-9][A-Za-z0-9+_.-]*$ ]]
}

fake_vg_dir() { printf '%s/vgs/%s' "$FAKE_DIR" "$1"; }
fake_lv_dir() { printf '%s/vgs/%s/%s' "$FAKE_DIR" "$1" "$2"; }

fake_lv_exists() {
    fake_name_ok "$1" && fake_name_ok "$2" && [ -f "$(fake_lv_dir "$1" "$2")/data" ]
}

# Logs the call, then applies the hang, fail and warn switches in that order.
fake_tool_start() {
    printf '%s\n' "$FAKE_TOOL${*:+ $*}" >>"$FAKE_DIR/calls.log"
    local sw
    sw="$FAKE_DIR/hang/$FAKE_TOOL"
    if [ -f "$sw" ]; then
        sleep "$(head -n 1 "$sw")"
    fi
    sw="$FAKE_DIR/fail/$FAKE_TOOL"
    if [ -f "$sw" ]; then
        local code
        code=$(head -n 1 "$sw")
        tail -n +2 "$sw" >&2
        exit "${code:-1}"
    fi
    sw="$FAKE_DIR/warn/$FAKE_TOOL"
    if [ -f "$sw" ]; then
        cat "$sw" >&2
    fi
    # The work done but the tool not ended yet, as lvcreate waiting for udev
    # after it committed its metadata.
    sw="$FAKE_DIR/hang-after/$FAKE_TOOL"
    if [ -f "$sw" ]; then
        # shellcheck disable=SC2064  # the time is read now
        trap "sleep $(head -n 1 "$sw")" EXIT
    fi
}

# Creates /dev/<vg> and remembers it, so that only directories made here are
# ever removed again. An existing /dev entry of that name is left alone.
fake_dev_dir_create() {
    local dev=/dev/$1
    if [ -d "$dev" ] && grep -qxF "$dev" "$FAKE_DIR/devdirs" 2>/dev/null; then
        return 0
    fi
    [ -e "$dev" ] && fake_die 5 "$FAKE_TOOL: $dev exists and was not made by this fake LVM"
    mkdir "$dev" || fake_die 5 "$FAKE_TOOL: cannot create $dev"
    grep -qxF "$dev" "$FAKE_DIR/devdirs" 2>/dev/null || printf '%s\n' "$dev" >>"$FAKE_DIR/devdirs"
}

# Removes /dev/<vg> when this world made it and no LV link is left in it.
fake_dev_dir_remove_if_empty() {
    local dev=/dev/$1
    grep -qxF "$dev" "$FAKE_DIR/devdirs" 2>/dev/null || return 0
    rmdir "$dev" 2>/dev/null || return 0
    fake_forget_line "$FAKE_DIR/devdirs" "$dev"
}

fake_forget_line() {
    local file=$1 line=$2
    [ -f "$file" ] || return 0
    grep -vxF "$line" "$file" >"$file.tmp" || true
    mv "$file.tmp" "$file"
}

# Attaches a loop device over the LV's data file and records it twice: in the
# LV (for lvs and lvremove) and in the world's list (for destroy).
fake_loop_attach() {
    local lvdir=$1 dev
    dev=$(losetup -f --show "$lvdir/data") || return 1
    printf '%s\n' "$dev" >"$lvdir/loop"
    printf '%s\n' "$dev" >>"$FAKE_DIR/loops"
    printf '%s' "$dev"
}

# Detaches a loop device only while it is still backed by a file of this world:
# a number recorded earlier may since have been given to someone else.
fake_loop_detach() {
    local dev=$1 back
    back=$(losetup -n -O BACK-FILE "$dev" 2>/dev/null | sed 's/[[:space:]]*$//')
    case $back in
        "$FAKE_DIR"/*) losetup -d "$dev" ;;
    esac
    fake_forget_line "$FAKE_DIR/loops" "$dev"
}

# Makes /dev/<vg>/<lv> point at the LV's node (its loop device, or its data
# file) while the LV has a device, and removes it while it is inactive ("-")
# or historical ("h"), as LVM does.
fake_dev_link_sync() {
    local vg=$1 lv=$2 lvdir attr
    lvdir=$(fake_lv_dir "$vg" "$lv")
    attr=$(fake_read "$lvdir/attr")
    if [ "${attr:4:1}" != - ] && [ "${attr:4:1}" != h ]; then
        fake_dev_dir_create "$vg"
        ln -sfn "$(fake_read "$lvdir/node")" "/dev/$vg/$lv"
    elif [ -L "/dev/$vg/$lv" ]; then
        rm -f "/dev/$vg/$lv"
    fi
}

# What LVM prints for a volume group that does not exist, and its status.
fake_die_no_vg() {
    fake_die 5 "  Volume group \"$1\" not found
  Cannot process volume group $1"
}

# A size as LVM shows it: two decimals in the largest binary unit that fits.
fake_display_size() {
    awk -v b="$1" 'BEGIN {
        split("B KiB MiB GiB TiB PiB", u, " "); i = 1
        while (b >= 1024 && i < 6) { b /= 1024; i++ }
        printf "%.2f %s", b, u[i] }'
}

# A tag list as lvs prints it: sorted, each tag once.
fake_tags_sorted() {
    printf '%s\n' "$1" | tr ',' '\n' | sed '/^$/d' | LC_ALL=C sort -u | paste -sd, -
}

# Creates the state of one LV. The data file must be in place already.
fake_lv_write_meta() {
    local lvdir=$1 attr=$2 tags=$3 segtype=$4 origin=$5
    printf '%s\n' "$attr" >"$lvdir/attr"
    fake_tags_sorted "$tags" >"$lvdir/tags"
    printf '%s\n' "$segtype" >"$lvdir/segtype"
    printf '%s\n' "$origin" >"$lvdir/origin"
}

# Why LVM would refuse to remove the LV now: "mounted" while its device is
# mounted, "open" while a loop device is set up over it, a device-mapper or
# partition device holds it, or a process has it open; nothing when unused.
# The LV's device is its node: its loop device, or its data file.
fake_lv_in_use() {
    local lvdir node dev f
    lvdir=$(fake_lv_dir "$1" "$2")
    node=$(readlink -f "$(fake_read "$lvdir/node")") || return 0
    [ -n "$node" ] && [ -e "$node" ] || return 0
    if [ -b "$node" ]; then
        dev=$(printf '%d:%d' "0x$(stat -c %t "$node")" "0x$(stat -c %T "$node")")
        if awk -v d="$dev" '$3 == d { found = 1 } END { exit !found }' /proc/self/mountinfo; then
            echo mounted
            return 0
        fi
        if [ -n "$(ls -A "/sys/dev/block/$dev/holders" 2>/dev/null)" ]; then
            echo open
            return 0
        fi
    fi
    for f in /sys/block/loop*/loop/backing_file; do
        [ -f "$f" ] || continue
        if [ "$(cat "$f" 2>/dev/null)" = "$node" ]; then
            echo open
            return 0
        fi
    done
    if [ -n "$(find /proc/[0-9]*/fd -maxdepth 1 -lname "$node" -print -quit 2>/dev/null)" ]; then
        echo open
    fi
}

# Removes an LV completely: loop device, /dev link, state, and /dev/<vg> once empty.
fake_lv_delete() {
    local vg=$1 lv=$2 lvdir
    lvdir=$(fake_lv_dir "$vg" "$lv")
    if [ -f "$lvdir/loop" ]; then
        fake_loop_detach "$(cat "$lvdir/loop")"
    fi
    if [ -L "/dev/$vg/$lv" ]; then
        rm -f "/dev/$vg/$lv"
    fi
    rm -rf "$lvdir"
    fake_dev_dir_remove_if_empty "$vg"
}

fake_read() { head -n 1 "$1" 2>/dev/null; }
