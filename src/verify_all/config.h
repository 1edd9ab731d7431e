#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The configuration of qor_verify_all (/etc/qor/verify-all.conf): where the
// backups are, where results go, and the verification settings for all
// volumes or for one. Format: "key = value" lines, "#" comment lines, and
// "[vg/origin]" headers that start the settings of one volume.
namespace qor {

inline constexpr const char* VERIFY_ALL_CONFIG_PATH = "/etc/qor/verify-all.conf";
inline constexpr const char* VERIFY_ALL_HISTORY_PATH = "/var/lib/qor/verify-all/history.jsonl";
inline constexpr const char* VERIFY_ALL_TEXTFILE_PATH =
    "/var/lib/prometheus/node-exporter/qor_verify_all.prom";
inline constexpr std::size_t CONFIG_MAX_BYTES = 1 << 20;
inline constexpr std::size_t CONFIG_LINE_MAX = 4096;

inline constexpr int VERIFY_MODE_BYTE = 0;
inline constexpr int VERIFY_MODE_FS = 1;

enum class IoClass { idle, best_effort, none };

// Settings that may be given for all volumes and overridden per volume; an
// unset field inherits.
struct VolumeSettings {
    std::optional<int> mode;
    std::optional<bool> remove_snapshot_after;
    std::optional<bool> skip;
    // A target replaces an inherited one of either kind; "" in target_lv means
    // "the default scratch LV".
    std::optional<std::string> target_lv;
    std::optional<std::string> target_file;
    std::optional<std::vector<std::string>> restore_args;
};

struct VolumeSection {
    std::string volume;  // "vg/origin" as recorded in the backups
    VolumeSettings settings;
};

struct VerifyAllConfig {
    std::vector<std::string> backups;  // directories, files or glob patterns
    std::string history_path = VERIFY_ALL_HISTORY_PATH;
    std::string textfile_path = VERIFY_ALL_TEXTFILE_PATH;  // empty: no textfile
    bool textfile_configured = false;                      // set in the file
    int nice = 10;
    IoClass io_class = IoClass::idle;
    int reverify_after_days = 7;  // an identical verification is good for this long
    VolumeSettings defaults;
    std::vector<VolumeSection> volumes;
};

// The settings that apply to one volume, defaults filled in.
struct ResolvedSettings {
    int mode = VERIFY_MODE_BYTE;
    bool remove_snapshot_after = false;
    bool skip = false;
    std::string target_lv;    // empty: none given
    std::string target_file;  // empty: none given
    std::vector<std::string> restore_args;
};

// Parses the text of a configuration file. 0, or -1 with "line N: ..." in err.
int config_parse(std::string_view text, VerifyAllConfig* config, char* err, std::size_t err_size);

// Reads and parses path. Refuses a file that is not a regular file, is larger
// than CONFIG_MAX_BYTES, or that a user other than root (or the caller) could
// change, since its words become command lines run as root. 0 or -1 with the
// sentence in err.
int config_read(const char* path, VerifyAllConfig* config, char* err, std::size_t err_size);

// The settings of volume: its section over the defaults over the built-ins.
ResolvedSettings config_settings_for(const VerifyAllConfig& config, std::string_view volume);

// "byte" or "fs".
const char* config_mode_name(int mode);

}  // namespace qor
