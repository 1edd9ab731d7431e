#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "verify_all/config.h"
#include "verify_all/history.h"

// qor_verify_all --status: the state of every volume, read from the history
// and the configuration alone, in the form monitoring plugins answer in.
namespace qor {

inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_WARNING = 1;
inline constexpr int STATUS_CRITICAL = 2;
inline constexpr int STATUS_UNKNOWN = 3;

// The volumes to judge: every volume in the history and every volume with a
// section of its own (never verified when the history has none), less those
// set to skip = yes. The metrics file publishes the same volumes. May throw
// std::bad_alloc.
std::map<std::string, VolumeHistory> status_volumes(const VerifyAllConfig& config,
                                                    std::map<std::string, VolumeHistory> history);

// Judges volumes at time now: CRITICAL when a volume's last verification
// found a difference, WARNING when one has had no identical verification for
// longer than reverify_after_days plus one day (or never had one), UNKNOWN
// when there is no volume at all, else OK. Stores in *out one line "QOR
// VERIFY <STATE> - <summary> | <performance data>" or, with json, one JSON
// object (ASCII only) with every volume's last result and ages; both end in a
// newline. Returns the state. May throw std::bad_alloc.
int status_render(const std::map<std::string, VolumeHistory>& volumes, int reverify_after_days,
                  std::int64_t now, bool json, std::string* out);

// The answer when the state cannot be told: sentence as the summary of an
// UNKNOWN line or object, written to out. Returns STATUS_UNKNOWN.
int status_unknown(std::string_view sentence, bool json, std::FILE* out);

// Reads config's history and writes the answer at the current time to out.
// Runs nothing and writes no file. Returns the state (the exit status).
int status_report(const VerifyAllConfig& config, bool json, std::FILE* out);

}  // namespace qor
