#!/usr/bin/env bash
# The system-test suite, run inside the guest by tests/system/vm: every case
# of cases/*.sh, or those whose names match one of the patterns given.
#   suite.sh [PATTERN...]      e.g. suite.sh 'thin*' tags-exact-match
. "$(dirname "$0")/lib.sh"

for f in "$SYS_DIR"/cases/*.sh; do
    # shellcheck source=/dev/null
    . "$f"
done

if [ ! -x "$QOR_VERIFIER" ] || [ ! -x "$MAKE_BACKUP" ]; then
    echo "suite: $QOR_VERIFIER or $MAKE_BACKUP is not built" >&2
    exit 1
fi
printf 'guest: %s, %s, %s\n' "$(uname -r)" "$(lvm version | sed -n 's/^ *LVM version: *//p')" \
    "$(systemctl --version | head -n 1)"
printf 'guest up for %s s when the suite started\n' "$(cut -d' ' -f1 /proc/uptime)"

ran=0
for entry in "${qs_cases[@]}"; do
    name=${entry%%:*}
    if [ $# -gt 0 ]; then
        hit=0
        for pattern in "$@"; do
            # shellcheck disable=SC2053
            [[ $name == $pattern ]] && hit=1
        done
        [ $hit -eq 1 ] || continue
    fi
    run_case "$name" "${entry#*:}"
    ran=$((ran + 1))
done
if [ $ran -eq 0 ]; then
    echo "suite: no case matches: $*" >&2
    exit 1
fi
finish
