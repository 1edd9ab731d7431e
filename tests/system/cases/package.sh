# The Debian package as an operator installs it: the per-backup unit runs a
# verification under systemd's hardening, its verdict lands in the journal,
# the unit fails on a difference and on a missing backup, and the timer fires.

PKG_BACKUPS=/srv/backups

package_install() {
    local deb
    deb=$(ls "$PROJECT"/build-package/qor-verifier_*_amd64.deb 2>/dev/null | tail -n 1)
    if [ -z "$deb" ]; then
        fail "no package in $PROJECT/build-package (run make package first)"
        exit 1
    fi
    note "installing $(basename "$deb")"
    must dpkg -i "$deb"
    # The unit finds its tools through systemd's own PATH.
    ln -sf "$PROJECT/tests/support/qor_restore" /usr/local/bin/qor_restore
}

package_remove() {
    dpkg --purge qor-verifier >/dev/null 2>&1
    rm -f /usr/local/bin/qor_restore
    rm -rf /run/systemd/system/qor-verify@* "$PKG_BACKUPS" /etc/qor/verify
    systemctl daemon-reload
}

unit_for() { # META-PATH KIND
    printf 'qor-verify@%s.%s' "$(systemd-escape "$1")" "$2"
}

# The verdict the unit's last run left in the journal.
unit_verdict() { # UNIT
    journalctl -q -o cat -u "$1" --no-pager | grep -E 'verified identical|verification failed' |
        tail -n 1 | sed -E 's/^[0-9TZ:-]+ \[qor_verifier\] [A-Z]+ +//'
}

assert_unit() { # UNIT active-state result verdict
    local state result
    state=$(systemctl show -P ActiveState "$1")
    result=$(systemctl show -P Result "$1")
    assert_eq "$2 $3" "$state $result" "$1 state and result"
    assert_eq "$4" "$(unit_verdict "$1")" "$1 verdict in the journal"
    note "$1: $state/$result: $(unit_verdict "$1")"
}

t_package_units() {
    package_install
    trap 'package_remove; _case_cleanup' EXIT
    make_vg
    make_origin_ext4 64m
    make_snapshot 32m
    make_backup_of 1048576
    mkdir -p "$PKG_BACKUPS"
    cp "$scratch/backup/home.meta" "$scratch/backup/home.data" "$PKG_BACKUPS/"
    local unit
    unit=$(unit_for "$PKG_BACKUPS/home.meta" service)

    systemctl start "$unit" || fail "systemctl start $unit failed"
    assert_unit "$unit" inactive success "verified identical: 67108864 bytes compared, 0 mismatches"
    assert_left_only home home_snap

    mkdir -p "/run/systemd/system/$unit.d"
    printf '[Service]\nEnvironment=QOR_FAKE_RESTORE_CORRUPT=3000000\n' \
        >"/run/systemd/system/$unit.d/corrupt.conf"
    systemctl daemon-reload
    if systemctl start "$unit"; then fail "a difference did not fail $unit"; fi
    assert_unit "$unit" failed exit-code "verification failed: the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 2097152"
    assert_left_only home home_snap
    rm -r "/run/systemd/system/$unit.d"
    systemctl daemon-reload
    systemctl reset-failed "$unit"

    local missing
    missing=$(unit_for "$PKG_BACKUPS/missing.meta" service)
    if systemctl start "$missing"; then fail "a missing backup did not fail $missing"; fi
    assert_unit "$missing" failed exit-code "verification failed: cannot read $PKG_BACKUPS/missing.meta"

    # The timer, enabled, with its calendar replaced by a moment from now.
    local timer before
    timer=$(unit_for "$PKG_BACKUPS/home.meta" timer)
    before=$(systemctl show -P InvocationID "$unit")
    mkdir -p "/run/systemd/system/$timer.d"
    printf '[Timer]\nOnCalendar=\nRandomizedDelaySec=0\nOnActiveSec=1s\n' \
        >"/run/systemd/system/$timer.d/now.conf"
    systemctl daemon-reload
    must systemctl enable --now "$timer"
    wait_for "[ \"\$(systemctl show -P InvocationID $unit)\" != '$before' ] && [ \"\$(systemctl show -P ActiveState $unit)\" = inactive ]" 180
    assert_unit "$unit" inactive success "verified identical: 67108864 bytes compared, 0 mismatches"
    assert_left_only home home_snap
    systemctl disable --now "$timer" >/dev/null 2>&1
}
system_case package-units t_package_units
