#pragma once

#include <cstdio>
#include <string>

#include "verify_all/config.h"
#include "verify_all/verifier_run.h"

namespace qor {

inline constexpr int VERIFY_ALL_EXIT_IDENTICAL = 0;   // every volume verified identical
inline constexpr int VERIFY_ALL_EXIT_DIFFERS = 1;     // at least one backup differs
inline constexpr int VERIFY_ALL_EXIT_USAGE = 2;       // bad command line or configuration
inline constexpr int VERIFY_ALL_EXIT_UNVERIFIED = 3;  // none differs, something not verified
inline constexpr int VERIFY_ALL_EXIT_BUSY = 4;        // another pass holds the lock

// 1 when the LV vg/lv exists, 0 when it does not, -1 when that cannot be told.
using ScratchProbe = int (*)(const std::string& vg, const std::string& lv);

// The probe through lvs, for names LVM accepts (others read as absent).
int scratch_lv_exists(const std::string& vg, const std::string& lv);

struct PassTools {
    VerifierRunner run = verifier_run;
    ScratchProbe probe = scratch_lv_exists;
};

// One pass: finds the backups, picks the newest of each volume and verifies
// them one after another, the volume with the oldest last success first,
// leaving out a backup already verified (reverify-after, or its snapshot
// removed by an earlier pass) and stopping after max-duration; appends each
// outcome to the history and writes the metrics file at the end. With
// dry_run it only prints to out what it would verify and changes nothing,
// ending with VERIFY_ALL_EXIT_UNVERIFIED when a backup is unusable. Returns
// the exit status (above).
int verify_pass(const VerifyAllConfig& config, bool dry_run, const PassTools& tools,
                std::FILE* out);

}  // namespace qor
