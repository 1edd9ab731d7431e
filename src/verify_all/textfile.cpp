#include "verify_all/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/file_io.h"
#include "common/selftest.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "verify_all/outcome.h"

namespace qor {
namespace {

constexpr mode_t kTextfileMode = 0644;  // node_exporter reads it as its own user

// A label value in the exposition format: backslash, quote and newline
// escaped as it says; other control bytes and bytes outside ASCII, which no
// name LVM allows holds, are "?".
std::string label_value(const std::string& s) {
    std::string out;
    for (char c : s) {
        auto b = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (b >= 0x20 && b < 0x7f) {
            out += c;
        } else {
            out += '?';
        }
    }
    return out;
}

// A number, formatted into a buffer that holds any of them.
std::string number(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string number(const char* fmt, ...) {
    char buf[64];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return n > 0 ? std::string(buf, std::min<std::size_t>(n, sizeof buf - 1)) : std::string();
}

// One series: name{volume="v"[,result="r"]} value, as long as it needs to be.
void series(std::string* out, const char* name, const std::string& volume, const char* result,
            const std::string& value) {
    *out += name;
    *out += "{volume=\"";
    *out += volume;
    if (result != nullptr) {
        *out += "\",result=\"";
        *out += result;
    }
    *out += "\"} ";
    *out += value;
    *out += '\n';
}

void header(std::string* out, const char* name, const char* help) {
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

}  // namespace

std::string textfile_render(const std::map<std::string, VolumeHistory>& volumes,
                            std::int64_t pass_time, std::size_t unusable_backups) {
    // Escaping can make two hostile names equal; a repeated series would make
    // the collector drop the whole file, so only the first is kept.
    std::map<std::string, const VolumeHistory*> labelled;
    for (const auto& [volume, h] : volumes) labelled.try_emplace(label_value(volume), &h);

    std::string out;
    header(&out, "qor_verify_last_run_timestamp_seconds",
           "Start of the last verification of the volume's newest backup.");
    for (const auto& [v, h] : labelled) {
        series(&out, "qor_verify_last_run_timestamp_seconds", v, nullptr,
               number("%lld", static_cast<long long>(h->last_run)));
    }
    header(&out, "qor_verify_last_success_timestamp_seconds",
           "Start of the last verification that found the backup identical (0: none known).");
    for (const auto& [v, h] : labelled) {
        series(&out, "qor_verify_last_success_timestamp_seconds", v, nullptr,
               number("%lld", static_cast<long long>(h->last_success)));
    }
    header(&out, "qor_verify_last_duration_seconds", "Duration of the last verification.");
    for (const auto& [v, h] : labelled) {
        series(&out, "qor_verify_last_duration_seconds", v, nullptr,
               number("%.3f", h->last_duration));
    }
    header(&out, "qor_verify_last_result",
           "Result of the last verification: 1 for the result it had, 0 for the others.");
    for (const auto& [v, h] : labelled) {
        for (OutcomeClass c :
             {OutcomeClass::identical, OutcomeClass::differs, OutcomeClass::could_not_verify}) {
            // A volume never verified yet had no result.
            bool had = h->last_run != 0 && h->last_outcome == c;
            series(&out, "qor_verify_last_result", v, outcome_class_name(c), had ? "1" : "0");
        }
    }
    header(&out, "qor_verify_last_backup_timestamp_seconds",
           "Modification time of the volume's newest backup verified (none: not known).");
    for (const auto& [v, h] : labelled) {
        if (h->last_meta_mtime == 0) continue;
        series(&out, "qor_verify_last_backup_timestamp_seconds", v, nullptr,
               number("%lld", static_cast<long long>(h->last_meta_mtime)));
    }
    header(&out, "qor_verify_all_last_pass_timestamp_seconds",
           "Start of the last qor_verify_all pass.");
    out += "qor_verify_all_last_pass_timestamp_seconds " +
           number("%lld", static_cast<long long>(pass_time)) + "\n";
    header(&out, "qor_verify_all_unusable_backups",
           ".meta files of the last pass that could not be read or name no LVM snapshot.");
    out += "qor_verify_all_unusable_backups " + number("%zu", unusable_backups) + "\n";
    header(&out, "qor_verify_build_info", "The qor_verify_all that wrote this file.");
    out += "qor_verify_build_info{version=\"" + label_value(version_string()) + "\",build=\"" +
           label_value(build_string()) + "\"} 1\n";
    return out;
}

int textfile_write(const std::string& path, const std::string& text, char* err,
                   std::size_t err_size) {
    text_clear(err, err_size);
    // The collector reads only *.prom files, so the temporary name must not end so.
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.is_open()) {
        text_format(err, err_size, "cannot create a file beside %s: %s", path.c_str(),
                    std::strerror(errno));
        return -1;
    }
    const std::size_t done = file_write_all(fd.get(), text.data(), text.size());
    int saved = errno;
    bool ok = done == text.size() && fchmod(fd.get(), kTextfileMode) == 0 && fsync(fd.get()) == 0;
    if (!ok) saved = errno;
    if (close(fd.release()) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return 0;
    if (ok) saved = errno;
    unlink(temp.c_str());
    text_format(err, err_size, "cannot write %s: %s", path.c_str(), std::strerror(saved));
    return -1;
}

}  // namespace qor
