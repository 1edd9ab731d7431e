#!/usr/bin/env bash
# The restore subprocess: the exact words qor_restore gets, the search
# directory, the words forwarded after "--", and how its end is judged.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

SCRATCH_LV=home_qorverify

restore_words() { # the words after --assume-zeroed
    local words="qor_restore --meta $meta --search-dir $backup_dir --target /dev/$VG/$SCRATCH_LV --assume-zeroed"
    printf '%s%s' "$words" "${*:+ $*}"
}

t_forwarded_words() {
    world_setup
    run_verifier --meta "$meta" --no-progress -- --decrypt-key-file /etc/k --threads 4
    assert_verdict_identical 8388608
    assert_restore_calls "$(restore_words --no-progress --decrypt-key-file /etc/k --threads 4)"
    assert_world_clean
    # Unknown words after "--" are forwarded unchanged and not warned about.
    : >"$restore_log"
    run_verifier --meta "$meta" -- "two words" --frobnicate=1 -x ""
    assert_verdict_identical 8388608
    assert_eq "$(restore_words "two words" --frobnicate=1 -x "")" "$(cat "$restore_log")" "qor_restore call"
    assert_stderr_lacks "WARN"
}

t_no_forwarding() {
    world_setup
    run_verifier --meta "$meta"
    run_verifier --meta "$meta" --
    run_verifier --meta "$meta" --no-progress --
    assert_restore_calls "$(restore_words)" "$(restore_words)" "$(restore_words --no-progress)"
    assert_world_clean
}

# The verifier reads its own options after "--" too, and still forwards them.
t_options_after_separator() {
    world_setup
    run_verifier --meta "$meta" -- --no-progress
    assert_verdict_identical 8388608
    run_verifier --meta "$meta" -- --keep-restored
    assert_verdict_identical 8388608
    assert_restore_calls "$(restore_words --no-progress --no-progress)" "$(restore_words --keep-restored)"
    assert_lvs home home_snap "$SCRATCH_LV"
}

t_file_target_words() {
    world_setup
    local t="$scratch/restored.img"
    run_verifier --meta "$meta" --target-file "$t" --no-progress -- --threads 2
    assert_verdict_identical 8388608
    assert_restore_calls "qor_restore --meta $meta --search-dir $backup_dir --target $t --assume-zeroed --no-progress --threads 2"
    assert_missing "$t"
}

# The restore gets the descriptors the verifier was started with, as a plain
# fork and exec would (whatever this shell passes on, and the key on 3), and
# none of the verifier's own.
t_key_on_a_descriptor() {
    world_setup
    printf 'sesame' >"$scratch/key"
    QOR_FAKE_RESTORE_KEY=sesame QOR_FAKE_RESTORE_FDS="$scratch/fds" \
        run_verifier --meta "$meta" -- --decrypt-key-file /dev/fd/3 3<"$scratch/key"
    assert_verdict_identical 8388608
    bash -c 'ls "/proc/$$/fd" >"$1"; :' _ "$scratch/plain" 3<"$scratch/key"
    assert_eq "$(sort -n "$scratch/plain" | tr '\n' ' ')" "$(tr '\n' ' ' <"$scratch/fds")" \
        "descriptors of qor_restore"
    assert_world_clean
}

# The list holds at most 127 words; forwarded words beyond are dropped.
t_many_forwarded_words() {
    world_setup
    local words=() i got
    for i in $(seq 1 130); do words+=("w$i"); done
    run_verifier --meta "$meta" -- "${words[@]}"
    assert_verdict_identical 8388608
    got=$(cat "$restore_log")
    assert_eq "$(restore_words "${words[@]:0:119}")" "$got" "qor_restore call with 130 forwarded words"
    : >"$restore_log"
    run_verifier --meta "$meta" --no-progress -- "${words[@]}"
    assert_eq "$(restore_words --no-progress "${words[@]:0:118}")" "$(cat "$restore_log")" \
        "qor_restore call with --no-progress and 130 forwarded words"
    : >"$restore_log"
    run_verifier --meta "$meta" -- "${words[@]:0:119}"
    assert_eq "$(restore_words "${words[@]:0:119}")" "$(cat "$restore_log")" \
        "qor_restore call with 119 forwarded words"
    assert_world_clean
}

t_search_dir() {
    world_setup
    local other="$scratch/elsewhere"
    mkdir "$other"
    mv "$backup_dir/home.data" "$other/"
    run_verifier --meta "$meta" --search-dir "$other"
    assert_verdict_identical 8388608
    run_verifier --meta "$meta" -d "$other"
    assert_verdict_identical 8388608
    local base="qor_restore --meta $meta --search-dir $other --target /dev/$VG/$SCRATCH_LV --assume-zeroed"
    assert_restore_calls "$base" "$base"
    # An empty search directory is not passed at all.
    : >"$restore_log"
    mv "$other/home.data" "$backup_dir/"
    run_verifier --meta "$meta" --search-dir ""
    assert_verdict_identical 8388608
    assert_restore_calls "qor_restore --meta $meta --target /dev/$VG/$SCRATCH_LV --assume-zeroed"
    assert_world_clean
}

t_search_dir_from_relative_meta() {
    world_setup
    cd "$backup_dir" || return
    run_verifier --meta home.meta
    assert_restore_calls "qor_restore --meta home.meta --search-dir . --target /dev/$VG/$SCRATCH_LV --assume-zeroed"
    assert_console_line INFO "verified identical: 8388608 bytes compared, 0 mismatches"
    : >"$restore_log"
    cd "$scratch" || return
    run_verifier --meta backup/home.meta
    assert_verdict_identical 8388608
    cd / || return
    assert_restore_calls "qor_restore --meta backup/home.meta --search-dir backup --target /dev/$VG/$SCRATCH_LV --assume-zeroed"
    assert_world_clean
}

t_restore_fails() {
    world_setup
    local code
    for code in 1 3 255; do
        QOR_FAKE_RESTORE_EXIT=$code run_verifier --meta "$meta"
        assert_verdict_failed "restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code $code"
        assert_world_clean
    done
    # The scratch LV was made and removed each time; nothing was compared.
    assert_eq 3 "$(grep -c "^lvremove -f -y $VG/$SCRATCH_LV\$" "$calls")" "scratch removals"
}

# Its output is not captured: the operator sees it as it comes.
t_restore_output_passes_through() {
    world_setup
    rm "$backup_dir/home.data"
    run_verifier --meta "$meta"
    assert_verdict_failed "restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code 1"
    assert_stderr_has "qor_restore: cannot find the data of $meta"
    assert_world_clean
}

t_restore_not_installed() {
    world_setup
    local p
    p=$(path_without qor_restore)
    if PATH=$p command -v qor_restore >/dev/null; then
        fail "qor_restore is still on the reduced PATH"
        return
    fi
    PATH=$p run_verifier --meta "$meta"
    assert_verdict_failed "restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code 127"
    assert_world_clean
}

t_restore_killed() {
    world_setup
    QOR_FAKE_RESTORE_SIGNAL=1 run_verifier --meta "$meta"
    assert_verdict_failed "restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code -1"
    assert_world_clean
}

# No deadline: a slow restore is waited for.
t_slow_restore() {
    world_setup
    QOR_FAKE_RESTORE_SLEEP=2 run_verifier --meta "$meta"
    assert_verdict_identical 8388608
    assert_world_clean
}

run_case "words forwarded after --" t_forwarded_words
run_case "nothing forwarded without words after --" t_no_forwarding
run_case "options after -- are read and forwarded" t_options_after_separator
run_case "file targets get the same words" t_file_target_words
run_case "a key passed on descriptor 3 reaches the restore" t_key_on_a_descriptor
run_case "at most 127 words reach the restore" t_many_forwarded_words
run_case "--search-dir given, or empty" t_search_dir
run_case "search directory from a relative meta path" t_search_dir_from_relative_meta
run_case "qor_restore failing" t_restore_fails
run_case "qor_restore's output is not captured" t_restore_output_passes_through
run_case "qor_restore not installed" t_restore_not_installed
run_case "qor_restore killed by a signal" t_restore_killed
run_case "a slow restore is waited for" t_slow_restore
finish
