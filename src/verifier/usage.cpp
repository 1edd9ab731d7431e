#include "verifier/usage.h"

#include "common/selftest.h"

namespace qor {

namespace {

// Shown after the version line; kept as one block so it can be compared byte for byte.
constexpr const char* USAGE_TEXT = R"USAGE(Usage: qor_verifier --meta <path> [--search-dir <dir>]
                     [--mode byte|fs]                     (default: byte)
                     [--target-lv <vg>/<lv> | --target-file <path>]
                     [--keep-restored] [--remove-snapshot-after]
                     [--no-progress] [-- <qor_restore args...>]

Restores a backup made with --keep-snapshot into a temporary LV (default) or file, and
compares it against the LVM snapshot qor_agent still kept for it. Requires the backup's
.meta header to carry a recorded snapshot reference (see --keep-snapshot in qor_agent) and
that snapshot to still exist and be tagged qor_agent; a backup made without --keep-snapshot,
or one older than this feature, has nothing to verify against.

--mode byte (default) compares block by block, no mount required.
--mode fs mounts the snapshot and the restored copy (per partition, if any) and compares
them file by file with 'diff -rq'; needs 'losetup -P' partition-scanning support.

--target-lv/--target-file choose where the backup is restored to for comparison; by default
a new LV named '<source_lv>_qorverify' is created in the snapshot's own volume group and
removed again afterward, unless --keep-restored is given.

--remove-snapshot-after removes the kept *source* snapshot itself, but only if the
comparison found no differences.

Anything after a literal '--' is forwarded to the qor_restore subprocess verbatim (e.g.
--decrypt-key-file, --threads).

Exit codes: 0 = identical, 1 = a difference was found or an operational step failed,
2 = bad usage.

Logging: --no-syslog                syslog output disabled for this run
         --no-log                   the program's own logfile disabled for this run
         --syslog <bitmask>          what to log to syslog (default: 1)
         --log <bitmask>             what to log to the own logfile (default: 1)
         --log-path <dir>            directory for the logfile (default: /var/log/qor/))USAGE";

}  // namespace

void usage_print(std::FILE* out) {
    std::fprintf(out, "qor_verifier %s (build %s)\n\n", version_string(), build_string());
    std::fprintf(out, "%s\n", USAGE_TEXT);
}

}  // namespace qor
