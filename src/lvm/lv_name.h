#pragma once

#include <string_view>

// The rules LVM itself applies to names, for names read from outside (a
// backup's snapshot reference): a name LVM would refuse to create cannot name
// a genuine volume, and must reach no command line and no message.
namespace qor {

// 1 to 127 letters, digits and "+_.-", not starting with "-" (it would read
// as an option, and "-" joins group and volume in device-mapper names), and
// neither "." nor "..".
bool lvm_vg_name_is_allowed(std::string_view name);

// As a volume group name, and without the prefixes and parts LVM keeps for
// its own sub-volumes ("snapshot", "pvmove"; "_mlog", "_tmeta" and the like).
bool lvm_lv_name_is_allowed(std::string_view name);

}  // namespace qor
