#!/usr/bin/env bash
# The OnFailure= notifier as systemd runs it: mail through a sendmail when
# one is installed, the journal (standard error, error level) otherwise.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

NOTIFY="$QT_LIB_DIR/../../dist/notify-failure"

# A bin directory with a systemctl that prints a status, and optionally a sendmail.
fake_bin() {
    bin="$scratch/bin"
    mkdir -p "$bin"
    printf '#!/bin/sh\necho "x qor-verify-all.service - status for $*"\n' >"$bin/systemctl"
    printf '#!/bin/sh\necho "first line of the run"\necho "journal $*"\n' >"$bin/journalctl"
    if [ "${1:-}" = sendmail ]; then
        printf '#!/bin/sh\n{ echo "args: $*"; cat; } >"%s"\nexit ${FAKE_SENDMAIL_EXIT:-0}\n' \
            "$scratch/mail" >"$bin/sendmail"
    fi
    chmod +x "$bin"/*
}

t_mails_when_a_sendmail_exists() {
    fake_bin sendmail
    PATH="$bin:/usr/bin:/bin" QOR_NOTIFY_TO=ops@example.org MONITOR_INVOCATION_ID=0123abcd \
        "$NOTIFY" qor-verify-all.service >"$scratch/out" 2>"$scratch/err"
    assert_eq 0 "$?" "exit status"
    assert_file_has "$scratch/mail" "args: -oi -- ops@example.org"
    assert_file_has "$scratch/mail" "To: ops@example.org"
    assert_file_has "$scratch/mail" "Subject: qor-verify-all.service failed on "
    assert_file_has "$scratch/mail" "status for status --full --no-pager --lines=0 -- qor-verify-all.service"
    # Every line of the failed run, not the newest few of the unit.
    assert_file_has "$scratch/mail" "first line of the run"
    assert_file_has "$scratch/mail" "journal --no-pager -q -o short-iso _SYSTEMD_INVOCATION_ID=0123abcd + INVOCATION_ID=0123abcd"
    assert_file_has "$scratch/out" "mailed the failure of qor-verify-all.service to ops@example.org"
    [ -s "$scratch/err" ] && fail "stderr: $(cat "$scratch/err")"
}

# The notifier where no sendmail can be found: none on the PATH given, and
# what the host has in the usual places hidden by /dev/null in a mount
# namespace of its own. Status 97: it could not be hidden.
notify_without_sendmail() {
    local hide='' f
    for f in /usr/sbin/sendmail /usr/lib/sendmail; do
        [ -e "$f" ] && hide+=" $f"
    done
    # shellcheck disable=SC2016  # expanded by the inner shell
    HIDE=$hide PATH="$bin:/usr/bin:/bin" unshare -m sh -c \
        'for f in $HIDE; do mount --bind /dev/null "$f" || exit 97; done; exec "$0" "$@"' \
        "$NOTIFY" "$@"
}

t_journal_without_sendmail_or_when_mail_fails() {
    fake_bin sendmail
    FAKE_SENDMAIL_EXIT=75 PATH="$bin:/usr/bin:/bin" "$NOTIFY" qor-verify@x.service \
        >"$scratch/out" 2>"$scratch/err"
    assert_eq 0 "$?" "exit status when mailing fails"
    assert_file_has "$scratch/err" "could not mail root; the report follows"
    assert_file_has "$scratch/err" "<3>qor-verify@x.service failed on "

    rm "$bin/sendmail" "$scratch/mail"
    local rc
    notify_without_sendmail qor-verify@x.service >"$scratch/out" 2>"$scratch/err"
    rc=$?
    [ "$rc" != 97 ] ||
        skip "this host's sendmail cannot be hidden: the report without a sendmail was not checked"
    assert_eq 0 "$rc" "exit status without a sendmail"
    assert_file_has "$scratch/err" "<3>qor-verify@x.service failed on "
    assert_file_has "$scratch/err" "<3>x qor-verify-all.service - status for"
    [ -e "$scratch/mail" ] && fail "a sendmail was run: $(cat "$scratch/mail")"
}

run_case "mails the failure when a sendmail exists" t_mails_when_a_sendmail_exists
run_case "writes to the journal otherwise" t_journal_without_sendmail_or_when_mail_fails
finish
