#include "verify_all/outcome.h"

#include <charconv>

namespace qor {
namespace {

constexpr std::string_view kTag = " [qor_verifier] ";
constexpr std::string_view kIdentical = "verified identical: ";
constexpr std::string_view kFailed = "verification failed: ";
constexpr std::string_view kDiffers =
    "verification failed: the restored target differs from the snapshot";
// "2026-12-07T21:08:39Z": the console time stamp is exactly this long.
constexpr std::size_t kStampLength = 20;

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool outcome_verdict_from_line(std::string_view line, std::string* verdict) {
    if (line.size() < kStampLength || line[kStampLength - 1] != 'Z') return false;
    std::string_view rest = line.substr(kStampLength);
    if (!starts_with(rest, kTag)) return false;
    rest.remove_prefix(kTag.size());
    std::string_view sentence;
    if (starts_with(rest, "INFO  ") && starts_with(rest.substr(6), kIdentical)) {
        sentence = rest.substr(6);
    } else if (starts_with(rest, "ERROR ") && starts_with(rest.substr(6), kFailed)) {
        sentence = rest.substr(6);
    } else {
        return false;
    }
    if (!sentence.empty() && sentence.back() == '\r') sentence.remove_suffix(1);
    verdict->assign(sentence);
    return true;
}

OutcomeClass outcome_classify(const VerifierRun& run) {
    if (run.timed_out) return OutcomeClass::could_not_verify;
    if (run.term_signal == 0 && run.exit_status == 0 && starts_with(run.verdict, kIdentical)) {
        return OutcomeClass::identical;
    }
    if (run.term_signal == 0 && run.exit_status == 1 && starts_with(run.verdict, kDiffers)) {
        return OutcomeClass::differs;
    }
    return OutcomeClass::could_not_verify;
}

std::optional<std::uint64_t> outcome_bytes_compared(std::string_view verdict) {
    if (!starts_with(verdict, kIdentical)) return std::nullopt;
    std::string_view rest = verdict.substr(kIdentical.size());
    std::uint64_t n = 0;
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), n);
    if (ec != std::errc() ||
        !starts_with(std::string_view(end, rest.data() + rest.size() - end), " bytes compared")) {
        return std::nullopt;
    }
    return n;
}

const char* outcome_class_name(OutcomeClass c) {
    switch (c) {
        case OutcomeClass::identical:
            return "identical";
        case OutcomeClass::differs:
            return "differs";
        default:
            return "could-not-verify";
    }
}

}  // namespace qor
