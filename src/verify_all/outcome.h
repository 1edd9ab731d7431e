#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What one run of qor_verifier came to, read from its exit status and its
// verdict line.
namespace qor {

enum class OutcomeClass { identical, differs, could_not_verify };

struct VerifierRun {
    int exit_status = -1;    // 0-255 when it exited, -1 when it did not
    int term_signal = 0;     // the signal that ended it, else 0
    std::string verdict;     // "verified identical: ..." or "verification failed: ...", or empty
    bool timed_out = false;  // stopped by us after its time was up
};

// When line is one of qor_verifier's verdict lines ("<time> [qor_verifier]
// INFO  verified identical: ..." or "... ERROR verification failed: ..."),
// stores the sentence from "verified"/"verification" on and returns true.
bool outcome_verdict_from_line(std::string_view line, std::string* verdict);

// identical: exit 0 with an identical verdict. differs: exit 1 with a verdict
// saying the restored target differs. Everything else, and a run stopped
// after its time was up, could not be verified.
OutcomeClass outcome_classify(const VerifierRun& run);

// The byte count of "verified identical: N bytes compared, ...", if given.
std::optional<std::uint64_t> outcome_bytes_compared(std::string_view verdict);

// "identical", "differs" or "could-not-verify".
const char* outcome_class_name(OutcomeClass c);

}  // namespace qor
