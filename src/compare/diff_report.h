#pragma once

#include <cstddef>
#include <string_view>

namespace qor {

// The output of "diff -rq --no-dereference SNAPSHOT_ROOT TARGET_ROOT" in the
// C locale, taken apart into its records. A record starts at the start of a
// line with "Files ", "File " or "Symbolic links " and the snapshot root, or
// with "Only in " and either root; it runs to the next such start, so a file
// name holding line ends stays inside its own record. The roots are the
// verifier's own fresh temporary directories, which no name read from an
// image can contain; text before the first record start forms a record too.
class DiffOutput {
  public:
    DiffOutput(std::string_view output, std::string_view snapshot_root,
               std::string_view target_root)
        : output_(output), snapshot_root_(snapshot_root), target_root_(target_root) {}

    // The next record, without its final line end; false after the last.
    bool next(std::string_view* record);

  private:
    bool starts_record(std::size_t at) const;

    std::string_view output_;
    std::string_view snapshot_root_;
    std::string_view target_root_;
    std::size_t at_ = 0;
};

// Whether the record is "File S/x is a T while file T/x is a T" for one name
// x and one special type T (fifo, socket, character or block special file),
// and lstat finds both x of that type, device nodes with the same major and
// minor numbers. diff reports every such pair as a difference although two
// FIFOs, sockets or device nodes have no contents to differ in. Any other
// record, or one whose files do not look so, is a real difference.
bool diff_record_is_equal_special_pair(std::string_view record, std::string_view snapshot_root,
                                       std::string_view target_root);

// The name, below both roots, of a record about one name that exists on
// both sides: "Files S/x and T/x differ", "Symbolic links S/x and T/x
// differ", "File S/x is a A while file T/x is a B". False for "Only in" and
// for text that does not read so.
bool diff_record_names_both(std::string_view record, std::string_view snapshot_root,
                            std::string_view target_root, std::string_view* name);

}  // namespace qor
