#include "verifier/command_line.h"

#include <cstdio>
#include <cstring>

#include "common/console_log.h"
#include "common/text.h"

namespace qor {

const OptionSpec verifier_options[] = {
    {"--meta", "-m", 1},
    {"--search-dir", "-d", 1},
    {"--mode", nullptr, 1},
    {"--target-lv", nullptr, 1},
    {"--target-file", nullptr, 1},
    {"--keep-restored", nullptr, 0},
    {"--remove-snapshot-after", nullptr, 0},
    {"--no-progress", nullptr, 0},
    {nullptr, nullptr, 0},
};

namespace {

constexpr int EXIT_USAGE = 2;

bool usage_error(int* exit_status, const char* text) {
    std::fprintf(stderr, "error: %s\n", text);
    *exit_status = EXIT_USAGE;
    return false;
}

// The directory part of meta_path: "/srv/b/x.meta" gives "/srv/b", "x.meta"
// gives "." and "/x.meta" the empty text.
void derive_search_dir(const char* meta_path, char* buf, std::size_t size) {
    text_copy(buf, size, meta_path);
    char* slash = std::strrchr(buf, '/');
    if (slash != nullptr) {
        *slash = '\0';
    } else {
        text_copy(buf, size, ".");
    }
}

// The words after the first literal "--" belong to the restore program.
void split_forwarded(int argc, char** argv, VerifyOptions* opts) {
    opts->forward_argv = nullptr;
    opts->forward_argc = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            opts->forward_argv = argv + i + 1;
            opts->forward_argc = argc - i - 1;
            return;
        }
    }
}

}  // namespace

bool cli_read_options(int argc, char** argv, VerifyOptions* opts, char* search_buf,
                      std::size_t search_buf_size, int* exit_status) {
    *opts = VerifyOptions{};
    opts->meta_path = arg_value(argc, argv, "--meta", "-m", nullptr);
    const char* search_dir = arg_value(argc, argv, "--search-dir", "-d", nullptr);
    const char* mode = arg_value(argc, argv, "--mode", nullptr, "byte");
    opts->target_lv = arg_value(argc, argv, "--target-lv", nullptr, nullptr);
    opts->target_file = arg_value(argc, argv, "--target-file", nullptr, nullptr);
    opts->keep_restored = arg_flag(argc, argv, "--keep-restored", nullptr);
    opts->remove_snapshot_after = arg_flag(argc, argv, "--remove-snapshot-after", nullptr);
    opts->no_progress = arg_flag(argc, argv, "--no-progress", nullptr);

    if (opts->meta_path == nullptr)
        return usage_error(exit_status, "--meta is required (use --help)");
    if (opts->target_lv != nullptr && opts->target_file != nullptr)
        return usage_error(exit_status, "--target-lv and --target-file are mutually exclusive");
    if (std::strcmp(mode, "byte") == 0) {
        opts->mode = MODE_BYTE;
    } else if (std::strcmp(mode, "fs") == 0) {
        opts->mode = MODE_FS;
    } else {
        return usage_error(exit_status, "--mode must be 'byte' or 'fs'");
    }

    if (search_dir == nullptr) {
        derive_search_dir(opts->meta_path, search_buf, search_buf_size);
        search_dir = search_buf;
    }
    opts->search_dir = search_dir;
    split_forwarded(argc, argv, opts);
    return true;
}

int cli_report_outcome(int result, const VerifyOptions* opts, const CompareStats* stats,
                       const char* msg) {
    if (result != 0) {
        runlog_log(RUNLOG_ERROR, "verification failed: %s", msg);
        return 1;
    }
    if (opts->mode == MODE_FS) {
        runlog_log(RUNLOG_INFO, "verified identical: no differing files found");
    } else {
        runlog_log(RUNLOG_INFO, "verified identical: %llu bytes compared, 0 mismatches",
                   static_cast<unsigned long long>(stats->bytes_compared));
    }
    return 0;
}

}  // namespace qor
