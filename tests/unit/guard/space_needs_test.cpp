#include "guard/space_needs.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "base/mount_point.h"
#include "support/test_support.h"

namespace kest {
namespace {

TEST(space_needs_test, shortage_counts_a_twentieth_more_and_rounds_kib_up_needed_down_available) {
    struct statvfs status {};
    status.f_frsize = 4096;
    status.f_bavail = 16;  // 64 KiB
    status.f_files = 8;
    status.f_ffree = 3;
    const dev_t unmounted = makedev(4095, 1048575);  // on no line of the mount table
    struct shortage_case {
        unsigned long long bytes;
        unsigned long long inodes;
        bool counts_inodes;
        refusal expected;
    };
    const std::vector<shortage_case> cases{
        {61440, 3, true, {}},  // 60 KiB and 3 KiB for metadata: fits
        {62464, 3, true, {refusal_reason::not_enough_space, "/fs", 0, 65, 64}},
        {4096, 4, true, {refusal_reason::not_enough_inodes, "/fs", 0, 4, 3}},
        {4096, 4, false, {}},  // a file system that keeps no inode count
    };
    for (const shortage_case& check : cases) {
        space_needs needs;
        status.f_files = check.counts_inodes ? 8 : 0;
        file_system_need& need = need_on(needs, unmounted, status, "/fs");
        need.bytes = check.bytes;
        need.inodes = check.inodes;
        const refusal found = find_shortage(needs);
        EXPECT_EQ(found.reason, check.expected.reason) << check.bytes << " " << check.inodes;
        EXPECT_EQ(found.path, check.expected.path);
        EXPECT_EQ(std::make_pair(found.needed, found.available),
                  std::make_pair(check.expected.needed, check.expected.available));
    }
    space_needs needs;
    EXPECT_EQ(in_blocks(need_on(needs, unmounted, status, "/fs"), 4097), 8192u);
}

TEST(space_needs_test, file_system_is_named_by_its_mount_point_escapes_decoded) {
    ASSERT_TRUE(testing::enter_private_mount_namespace());
    const testing::scratch_dir root;
    const std::string point = root / "with space\\and\ttab";
    ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
    ASSERT_EQ(mount("none", point.c_str(), "tmpfs", 0, "mode=0755"), 0);
    struct stat status {};
    ASSERT_EQ(stat(point.c_str(), &status), 0);
    EXPECT_EQ(mount_point_of(status.st_dev, "fallback"), point);
    EXPECT_EQ(umount2(point.c_str(), MNT_DETACH), 0);
}

}  // namespace
}  // namespace kest
