# The Debian package as an operator installs it: the per-backup unit runs a
# verification under systemd's hardening, its verdict lands in the journal,
# the unit fails on a difference and on a missing backup, and the timer fires;
# the nightly pass shows its progress to systemd and runs on two nights with
# remove-snapshot-after.

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
    # The unit finds its tools through systemd's own PATH. A copy, not a link:
    # the unit's private /tmp hides a project tree cloned below /tmp.
    must install -m 0755 "$PROJECT/tests/support/qor_restore" /usr/local/bin/qor_restore
}

package_remove() {
    systemctl stop 'qor-verify*' >/dev/null 2>&1
    dpkg --purge qor-verifier >/dev/null 2>&1
    rm -f /usr/local/bin/qor_restore
    rm -rf /run/systemd/system/qor-verify* "$PKG_BACKUPS" /etc/qor /var/lib/qor \
        /var/lib/prometheus
    systemctl daemon-reload
    systemctl reset-failed >/dev/null 2>&1
}

# The unit of a backup, named as the manual page says (systemd-escape
# --path), or with LEGACY=1 as the first releases' documentation did.
unit_for() { # META-PATH KIND
    if [ "${LEGACY:-0}" = 1 ]; then
        printf 'qor-verify@%s.%s' "$(systemd-escape "$1")" "$2"
    else
        printf 'qor-verify@%s.%s' "$(systemd-escape --path "$1")" "$2"
    fi
}

# The verdict the unit's last run left in the journal.
unit_verdict() { # UNIT
    journalctl -q -o cat -u "$1" --no-pager | grep -E 'verified identical|verification failed' |
        tail -n 1 | sed -E 's/^[0-9TZ:-]+ \[qor_verifier\] [A-Z]+ +//'
}

# Replaces a timer's calendar with a moment from now, starts it and waits
# until its service has run once more and ended; with a condition, waits for
# that too while the service runs.
fire_timer() { # TIMER SERVICE [CONDITION]
    local before
    before=$(systemctl show -P InvocationID "$2")
    mkdir -p "/run/systemd/system/$1.d"
    printf '[Timer]\nOnCalendar=\nRandomizedDelaySec=0\nOnActiveSec=1s\n' \
        >"/run/systemd/system/$1.d/now.conf"
    systemctl daemon-reload
    must systemctl enable --now "$1"
    [ -z "${3:-}" ] || wait_for "$3" 300
    wait_for "[ \"\$(systemctl show -P InvocationID $2)\" != '$before' ] && systemctl show -P ActiveState $2 | grep -qE '^(inactive|failed)\$'" 300
    systemctl disable --now "$1" >/dev/null 2>&1
}

assert_unit() { # UNIT active-state result verdict
    local state result
    state=$(systemctl show -P ActiveState "$1")
    result=$(systemctl show -P Result "$1")
    assert_eq "$2 $3" "$state $result" "$1 state and result"
    assert_eq "$4" "$(unit_verdict "$1")" "$1 verdict in the journal"
    note "$1: $state/$result: $(unit_verdict "$1")"
}

# Two volumes with kept snapshots and a backup each, in /srv/backups.
two_volume_world() {
    make_vg
    make_origin_ext4 32m home
    make_snapshot 16m qor_agent home_snap home
    make_backup_of 1048576 home_snap home
    make_origin_ext4 32m data
    make_snapshot 16m qor_agent data_snap data
    make_backup_of 1048576 data_snap data
    mkdir -p "$PKG_BACKUPS" /var/lib/prometheus/node-exporter
    cp "$scratch"/backup/*.meta "$scratch"/backup/*.data "$PKG_BACKUPS/"
    printf 'backups = %s\n' "$PKG_BACKUPS" >/etc/qor/verify-all.conf
}

history_field() { # LINE-NUMBER FIELD: one field of a history line, as text
    sed -n "${1}p" /var/lib/qor/verify-all/history.jsonl |
        grep -oE "\"$2\":(\"[^\"]*\"|[^,}]*)" | cut -d: -f2- | tr -d '"'
}

# The per-backup unit: identical, a difference (under an instance named the
# way earlier documentation showed), a missing backup with its failure report,
# and the unit's timer.
check_backup_units() {
    local unit legacy missing
    unit=$(unit_for "$PKG_BACKUPS/home.meta" service)
    systemctl start "$unit" || fail "systemctl start $unit failed"
    assert_unit "$unit" inactive success "verified identical: 33554432 bytes compared, 0 mismatches"
    assert_left_only data data_snap home home_snap

    legacy=$(LEGACY=1 unit_for "$PKG_BACKUPS/home.meta" service)
    mkdir -p "/run/systemd/system/$legacy.d"
    printf '[Service]\nEnvironment=QOR_FAKE_RESTORE_CORRUPT=3000000\n' \
        >"/run/systemd/system/$legacy.d/corrupt.conf"
    systemctl daemon-reload
    if systemctl start "$legacy"; then fail "a difference did not fail $legacy"; fi
    assert_unit "$legacy" failed exit-code "verification failed: the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 2097152"
    assert_left_only data data_snap home home_snap

    missing=$(unit_for "$PKG_BACKUPS/missing.meta" service)
    if systemctl start "$missing"; then fail "a missing backup did not fail $missing"; fi
    assert_unit "$missing" failed exit-code "verification failed: cannot read $PKG_BACKUPS/missing.meta"
    # A failed unit starts the failure report, which goes to the journal when
    # there is no sendmail; it runs on its own, after the unit failed.
    wait_for "journalctl -q -o cat -u 'qor-verify-failed@$missing.service' --no-pager | grep -qF '$missing failed on '" 60 ||
        note "$(systemctl status --no-pager "qor-verify-failed@$missing.service" 2>&1)"
    note "failure report: $(journalctl -q -o cat -u "qor-verify-failed@$missing.service" --no-pager | grep -F "$missing failed on ")"

    # The timer, enabled, with its calendar replaced by a moment from now.
    fire_timer "$(unit_for "$PKG_BACKUPS/home.meta" timer)" "$unit"
    assert_unit "$unit" inactive success "verified identical: 33554432 bytes compared, 0 mismatches"
    assert_left_only data data_snap home home_snap
}

# The nightly pass over every volume. First a pass stopped during a restore:
# the stop reaches the verification, which removes its scratch LV, and the
# history records the interrupted run. Then two nights by the timer with
# remove-snapshot-after = yes: the first verifies both volumes identical,
# shows the volume it verifies in the unit's status and removes both
# snapshots; the second, with no snapshot left, still succeeds.
check_verify_all() {
    local svc=qor-verify-all.service prom=/var/lib/prometheus/node-exporter/qor_verify_all.prom
    local seen="$scratch/status-seen"

    # A progress request and a stop while the first restore sleeps. With
    # reverify-after = 0 no backup is left alone for having been verified
    # recently: the second night below leaves them alone only because their
    # snapshots were removed.
    printf 'reverify-after = 0\n' >>/etc/qor/verify-all.conf
    mkdir -p "/run/systemd/system/$svc.d"
    printf '[Service]\nEnvironment=QOR_FAKE_RESTORE_SLEEP=300\n' >"/run/systemd/system/$svc.d/slow.conf"
    systemctl daemon-reload
    must systemctl start --no-block "$svc"
    wait_for "pgrep -f 'qor_restore --meta' >/dev/null" 120 || return
    wait_for "lvs --noheadings -o lv_name $VG | grep -q _qorverify" 60 || return
    systemctl kill --kill-whom=main -s USR1 "$svc"
    wait_for "journalctl -q -o cat -u $svc --no-pager | grep -q 'progress: restoring'" 60
    systemctl stop "$svc"
    note "after the stop: $(systemctl show -P ActiveState "$svc")/$(systemctl show -P Result "$svc")"
    note "history: $(tail -n 1 /var/lib/qor/verify-all/history.jsonl)"
    assert_eq "could-not-verify" "$(history_field 1 class)" "class of the stopped run"
    assert_eq "verification failed: interrupted by SIGTERM" "$(history_field 1 verdict)" \
        "verdict of the stopped run"
    assert_left_only data data_snap home home_snap
    # The failed pass's report (in the journal: the guest has no sendmail)
    # holds its whole run, from the first volume to the stop.
    local report="qor-verify-failed@$svc.service"
    wait_for "journalctl -q -o cat -u '$report' --no-pager | grep -qF '$svc failed on '" 60
    journalctl -q -o cat -u "$report" --no-pager >"$scratch/report"
    grep -qF "verifying $VG/" "$scratch/report" || fail "the failure report lacks the start of the run"
    grep -qF "interrupted by SIGTERM" "$scratch/report" || fail "the failure report lacks the stop"
    note "failure report: $(wc -l <"$scratch/report") lines"

    # Restores slow enough to be seen in the status.
    printf '[Service]\nEnvironment=QOR_FAKE_RESTORE_SLEEP=5\n' >"/run/systemd/system/$svc.d/slow.conf"
    systemctl daemon-reload
    printf 'remove-snapshot-after = yes\n' >>/etc/qor/verify-all.conf
    fire_timer qor-verify-all.timer "$svc" \
        "systemctl status --no-pager $svc | grep -E 'Status: \"verifying $VG/(data|home) \\([12] of 2\\)\"' >'$seen'"
    note "while it ran: $(sed 's/^ *//' "$seen")"
    assert_eq "inactive success" "$(systemctl show -P ActiveState "$svc") $(systemctl show -P Result "$svc")" \
        "$svc state and result, first night"
    assert_eq 2 "$(grep -c '"class":"identical"' /var/lib/qor/verify-all/history.jsonl)" \
        "identical lines in the history"
    note "history: $(cat /var/lib/qor/verify-all/history.jsonl)"
    assert_eq "33554432 33554432" "$(history_field 2 bytes_compared) $(history_field 3 bytes_compared)" \
        "bytes compared"
    grep -q "^qor_verify_last_result{volume=\"$VG/home\",result=\"identical\"} 1\$" "$prom" ||
        fail "no identical result for $VG/home in $prom"
    local data_line
    data_line=$(grep -n "\"volume\":\"$VG/data\"" /var/lib/qor/verify-all/history.jsonl |
        grep -F '"class":"identical"' | cut -d: -f1)
    assert_eq 1 "$(wc -w <<<"$data_line")" "identical history lines of $VG/data"
    grep -q "^qor_verify_last_success_timestamp_seconds{volume=\"$VG/data\"} $(history_field "${data_line:-0}" start_time)\$" "$prom" ||
        fail "the last success of $VG/data is not the start time of its identical history line"
    note "textfile: $(grep -v '^#' "$prom" | tr '\n' ';')"
    assert_left_only data home
    assert_eq "640 root:adm" "$(stat -c '%a %U:%G' /var/lib/qor/verify-all/history.jsonl)" \
        "history mode and owner, for a monitoring agent in group adm"
    [ -f /run/qor-verify-all/pass.lock ] || fail "no lock file in the unit's runtime directory"

    fire_timer qor-verify-all.timer "$svc"
    assert_eq "inactive success" "$(systemctl show -P ActiveState "$svc") $(systemctl show -P Result "$svc")" \
        "$svc state and result, second night"
    note "second night: $(journalctl -q -o cat -u "$svc" --no-pager | grep -F 'pass done' | tail -n 1)"
    assert_eq 3 "$(wc -l </var/lib/qor/verify-all/history.jsonl)" \
        "history lines: the second night verified nothing again"
    assert_left_only data home
}

# The package installed once, for both the per-backup units and the nightly
# pass, on two volumes.
t_package() {
    package_install
    trap 'package_remove; case_cleanup' EXIT
    two_volume_world
    check_backup_units
    check_verify_all
}
system_case package t_package
