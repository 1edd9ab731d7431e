#!/usr/bin/env bash
# Input that others control cannot steer the run: a forged line in a .meta or
# in a tool's output, a link or special file where a file is expected, a
# descriptor or PATH entry left by whoever started the verifier.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

# wrap_tools DIR TOOL...: scripts in DIR that note which of the descriptors 7
# and 8 they hold (in DIR/fds), then run the stand-in of that name.
wrap_tools() {
    local dir=$1 tool real
    shift
    mkdir -p "$dir"
    for tool in "$@"; do
        real=$(command -v "$tool")
        printf '#!/bin/sh\necho %s >>"%s/fds.calls"\nfor fd in 7 8; do [ -e /proc/$$/fd/$fd ] && echo "%s $fd"; done >>"%s/fds"\nexec "%s" "$@"\n' \
            "$tool" "$dir" "$tool" "$dir" "$real" >"$dir/$tool"
        chmod +x "$dir/$tool"
    done
}

# A reference that carries a forged log line and a terminal sequence gives
# one ERROR line with both escaped, before any LVM command runs.
t_forged_reference() {
    world_setup
    local forged=$'lvm:vg0/home=snap\n2026-12-08T00:00:00Z [qor_verifier] INFO  verified\e[2K'
    make_world_backup forged --image "$image" --ref "$forged"
    run_verifier --meta "$backup_dir/forged.meta"
    assert_status 1
    assert_eq 1 "$(grep -c '' "$err")" "stderr lines"
    assert_console_line ERROR "verification failed: the backup's recorded snapshot ('lvm:vg0/home=snap\\n2026-12-08T00:00:00Z [qor_verifier] INFO  verified\\x1b[2K') is not in a format qor_verifier understands (only LVM is supported today)"
    assert_no_lvm_calls
    assert_world_clean
}

# Every child but the restore starts with descriptors 0-2 only (the restore
# gets what the verifier was started with), and an empty or relative PATH
# entry never runs a program from the working directory.
t_children() {
    world_setup
    wrap_tools "$scratch/wrap" lvs lvcreate lvremove qor_restore
    printf 'secret\n' >"$scratch/secret"
    mkdir "$scratch/cwd"
    printf '#!/bin/sh\ntouch "%s/trap-ran"\nexit 1\n' "$scratch" >"$scratch/cwd/lvs"
    chmod +x "$scratch/cwd/lvs"
    PATH="$scratch/wrap:$PATH" run_verifier --meta "$meta" 7<"$scratch/secret" 8>>"$scratch/secret"
    assert_verdict_identical 8388608
    assert_eq 6 "$(grep -c '' "$scratch/wrap/fds.calls" 2>/dev/null)" "wrapped tools run"
    # The restore alone gets what the caller handed the verifier, as a key file may be.
    assert_eq "$(printf 'qor_restore 7\nqor_restore 8')" "$(cat "$scratch/wrap/fds" 2>/dev/null)" \
        "descriptors 7 and 8 in the children"
    (
        cd "$scratch/cwd" || exit 1
        PATH=":.:cwd:$PATH" run_verifier --meta "$meta"
        assert_verdict_identical 8388608
        exit "$case_failed"
    ) || fail "the run with empty and relative PATH entries"
    assert_missing "$scratch/trap-ran"
    assert_world_clean
}

# Only a regular .meta (or a link to one) is read: a FIFO does not stall the
# run and a device is refused; "latest.meta" pointing at a backup still works.
t_meta_kinds() {
    world_setup
    mkfifo "$scratch/fifo.meta"
    ln -s /dev/zero "$scratch/zero.meta"
    local path
    for path in "$scratch/fifo.meta" "$scratch/zero.meta"; do
        run_tool timeout 10 "$QOR_VERIFIER" --no-syslog --log-path "$scratch/log" --meta "$path"
        assert_verdict_failed "cannot read $path"
    done
    assert_no_lvm_calls
    mkdir "$scratch/latest"
    ln -s "$meta" "$scratch/latest/home.meta"
    run_verifier --meta "$scratch/latest/home.meta" --search-dir "$backup_dir"
    assert_verdict_identical 8388608
    assert_world_clean
}

# A link put where the target file goes is never followed by the verifier:
# the run fails without comparing through it, and the link is left alone.
t_target_file_link() {
    world_setup
    local target="$scratch/restored.img" victim="$scratch/victim" real
    printf 'victim\n' >"$victim"
    real=$(command -v qor_restore)
    mkdir "$scratch/wrap"
    printf '#!/bin/sh\nln -s "%s" "%s"\nexec "%s" "$@"\n' "$victim" "$target" "$real" \
        >"$scratch/wrap/qor_restore"
    chmod +x "$scratch/wrap/qor_restore"
    PATH="$scratch/wrap:$PATH" run_verifier --meta "$meta" --target-file "$target"
    assert_verdict_failed \
        "cannot use the restored target: $target is a symbolic link after the restore; refusing to follow it"
    [ -L "$target" ] || fail "the link was removed"
    assert_world_clean
}

run_case "a forged line in the snapshot reference stays inside the verdict" t_forged_reference
run_case "children but the restore get no inherited descriptor, none a PATH entry of the working directory" t_children
run_case "a link put in place of --target-file is not followed" t_target_file_link
run_case "a .meta is read only when it is a regular file" t_meta_kinds
finish
