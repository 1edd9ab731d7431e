# The backup program's tag must be one whole tag of the snapshot's list.

t_tags() {
    make_vg
    make_origin_ext4 32m
    make_snapshot 16m xqor_agentx
    make_backup_of 1048576
    quote lvs --noheadings -o lv_tags "$VG/home_snap"
    run_verifier --meta "$meta"
    assert_failed "$VG/home_snap exists but was not created by qor_agent -- refusing to use it"
    assert_left_only home home_snap

    must lvchange --deltag xqor_agentx --addtag other --addtag qor_agent "$VG/home_snap"
    quote lvs --noheadings -o lv_tags "$VG/home_snap"
    run_verifier --meta "$meta"
    assert_identical_bytes 33554432
    assert_left_only home home_snap
}
system_case tags-whole-entry t_tags
