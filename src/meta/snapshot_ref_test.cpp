#include "meta/snapshot_ref.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qor {
namespace {

const std::string N127(127, 'n');
const std::string N128(128, 'n');

struct Accepted {
    std::string text;
    const char* vg;
    const char* origin;
    const char* snapshot;
};

TEST(SnapshotRef, SplitsAtFirstSlashThenFirstEquals) {
    const Accepted cases[] = {
        {"lvm:vg0/root=root_snap", "vg0", "root", "root_snap"},
        {"lvm:vg0/a/b=snap", "vg0", "a/b", "snap"},        // "/" stays in the origin
        {"lvm:vg0/root=s=n/ap", "vg0", "root", "s=n/ap"},  // "=" and "/" stay in the snapshot
        {"lvm:v-g/o-r=s-n", "v-g", "o-r", "s-n"},          // inner hyphens are ordinary
        {"lvm:" + N127 + "/" + N127 + "=" + N127, N127.c_str(), N127.c_str(), N127.c_str()},
    };
    for (const Accepted& c : cases) {
        SnapshotRef ref;
        std::memset(&ref, 0x55, sizeof ref);
        ASSERT_EQ(parse_snapshot_ref(c.text.c_str(), &ref), 0) << c.text;
        EXPECT_STREQ(ref.vg_name, c.vg);
        EXPECT_STREQ(ref.origin_lv, c.origin);
        EXPECT_STREQ(ref.snapshot_lv, c.snapshot);
    }
}

TEST(SnapshotRef, RefusesMalformedTextAndLeavesEmptyNames) {
    const std::string refused[] = {
        "",
        "LVM:vg0/root=snap",  // the prefix is lower case only
        "lvm",
        "lvm:vg0root=snap",  // no "/"
        "lvm:/root=snap",    // empty volume group
        "lvm:vg0/root",      // no "="
        "lvm:vg0/=snap",     // empty origin
        "lvm:vg0/root=",     // "=" last
        "lvm:vg=0/root",     // the "=" before the "/" does not count
        "zfs:pool/fs@snap",
        "lvm:" + N128 + "/o=s",
        "lvm:v/" + N128 + "=s",
        "lvm:v/o=" + N128,
        "lvm:-vg/root=snap",  // would reach lvs as an option
        "lvm:vg0/-root=snap",
        "lvm:vg0/root=--force",
    };
    for (const std::string& text : refused) {
        SnapshotRef ref;
        std::memset(&ref, 0x55, sizeof ref);
        EXPECT_EQ(parse_snapshot_ref(text.c_str(), &ref), -1) << text;
        const SnapshotRef zero{};
        EXPECT_EQ(std::memcmp(&ref, &zero, sizeof ref), 0) << text;
    }
}

TEST(SnapshotRef, NullArgumentsWriteNothing) {
    SnapshotRef ref;
    std::memset(&ref, 0x55, sizeof ref);
    EXPECT_EQ(parse_snapshot_ref(nullptr, &ref), -1);
    EXPECT_EQ(ref.vg_name[0], 0x55);
    EXPECT_EQ(parse_snapshot_ref("lvm:vg/o=s", nullptr), -1);
}

}  // namespace
}  // namespace qor
