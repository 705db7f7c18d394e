#include "install/copy_file.h"
#include "install/replace_file.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "support/tree_snapshot.h"
#include "updater/constants.h"

namespace kest {
namespace {

using testing::exists;
using testing::inode_of;
using testing::mode_of;
using testing::read_file;
using testing::scratch_dir;
using testing::write_file;

// The creation mask is cleared in the detached updater; tests see the modes it would.
class copy_file_test : public ::testing::Test {
  protected:
    void SetUp() override { saved_mask_ = umask(0); }
    void TearDown() override { umask(saved_mask_); }

    scratch_dir dir_;

  private:
    mode_t saved_mask_ = 0;
};

TEST_F(copy_file_test, existing_destination_is_rewritten_in_place) {
    write_file(dir_ / "src", "new content");
    write_file(dir_ / "dst", "old content that is longer than the new one", 0755);
    const ino_t inode = inode_of(dir_ / "dst");

    EXPECT_EQ(copy_file(dir_ / "src", dir_ / "dst"), copy_ok);
    EXPECT_EQ(read_file(dir_ / "dst"), "new content");
    EXPECT_EQ(inode_of(dir_ / "dst"), inode);
    EXPECT_EQ(mode_of(dir_ / "dst"), 0755u);
}

TEST_F(copy_file_test, empty_source_gives_empty_destination_and_success) {
    write_file(dir_ / "src", "");
    write_file(dir_ / "dst", "old");
    EXPECT_EQ(copy_file(dir_ / "src", dir_ / "dst"), copy_ok);
    EXPECT_TRUE(exists(dir_ / "dst"));
    EXPECT_EQ(read_file(dir_ / "dst"), "");
}

TEST_F(copy_file_test, new_destination_takes_the_staged_permission_bits_only) {
    write_file(dir_ / "tool", "#!/bin/sh\n", 0755);
    write_file(dir_ / "secret", "x", 0600);
    write_file(dir_ / "setuid", "x", 04755);
    EXPECT_EQ(copy_file(dir_ / "tool", dir_ / "tool.copy"), copy_ok);
    EXPECT_EQ(copy_file(dir_ / "secret", dir_ / "secret.copy"), copy_ok);
    EXPECT_EQ(copy_file(dir_ / "setuid", dir_ / "setuid.copy"), copy_ok);
    EXPECT_EQ(mode_of(dir_ / "tool.copy"), 0755u);
    EXPECT_EQ(mode_of(dir_ / "secret.copy"), 0600u);
    EXPECT_EQ(mode_of(dir_ / "setuid.copy"), 0755u);
}

TEST_F(copy_file_test, content_larger_than_the_buffer_arrives_whole) {
    std::string content;
    for (long long i = 0; content.size() < (3u << 20) + 12345; ++i) {
        content += std::to_string(i * 7919) + ",";
    }
    write_file(dir_ / "big", content);
    EXPECT_EQ(copy_file(dir_ / "big", dir_ / "big.copy"), copy_ok);
    EXPECT_EQ(read_file(dir_ / "big.copy"), content);
}

TEST_F(copy_file_test, missing_source_leaves_destination_untouched) {
    write_file(dir_ / "dst", "keep me");
    EXPECT_EQ(copy_file(dir_ / "missing", dir_ / "dst"), copy_source_unopenable);
    EXPECT_EQ(read_file(dir_ / "dst"), "keep me");
}

TEST_F(copy_file_test, unopenable_destination_fails_with_minus_two) {
    write_file(dir_ / "src", "x");
    EXPECT_EQ(copy_file(dir_ / "src", dir_ / "no/such/dir/dst"), copy_destination_unopenable);
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(copy_file(dir_ / "src", dir_ / "fifo"), copy_destination_unopenable)
        << "a FIFO without a reader must not block the copy";
}

TEST_F(copy_file_test, unreadable_source_content_is_a_transfer_failure) {
    // A regular file by its status that opens, even for root, but whose first read fails (EIO:
    // nothing is mapped at address 0).
    write_file(dir_ / "dst", "old");
    EXPECT_EQ(copy_file("/proc/self/mem", dir_ / "dst", 0644), copy_transfer_failed);
}

TEST_F(copy_file_test, source_that_is_no_regular_file_is_refused_without_waiting) {
    write_file(dir_ / "dst", "old");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(copy_file(dir_ / "fifo", dir_ / "dst", 0644), copy_source_unopenable)
        << "a FIFO without a writer must not block the copy";
    EXPECT_EQ(copy_file(dir_.path(), dir_ / "dst", 0644), copy_source_unopenable);
    EXPECT_EQ(read_file(dir_ / "dst"), "old");
}

TEST_F(copy_file_test, file_copied_onto_itself_keeps_its_bytes) {
    write_file(dir_ / "tool", "precious", 0755);
    ASSERT_EQ(symlink((dir_ / "tool").c_str(), (dir_ / "link").c_str()), 0);
    EXPECT_EQ(copy_file(dir_ / "link", dir_ / "tool"), copy_ok);
    EXPECT_EQ(copy_file(dir_ / "tool", dir_ / "tool"), copy_ok);
    EXPECT_EQ(read_file(dir_ / "tool"), "precious");
}

TEST_F(copy_file_test, replacement_is_a_new_file_with_the_old_mode_and_the_link_kept) {
    write_file(dir_ / "src", "new content");
    ASSERT_EQ(mkdir((dir_ / "opt").c_str(), 0755), 0);
    const std::string file = dir_ / "opt/dst";
    write_file(file, "old", 06755);
    ASSERT_EQ(symlink("opt/dst", (dir_ / "link").c_str()), 0);
    const ino_t inode = inode_of(file);

    EXPECT_EQ(replace_file(dir_ / "src", dir_ / "link"), copy_ok);
    EXPECT_EQ(read_file(file), "new content");
    EXPECT_NE(inode_of(file), inode);
    EXPECT_EQ(mode_of(file), 06755u) << "set-id bits included";
    struct stat status {};
    ASSERT_EQ(lstat((dir_ / "link").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(testing::entry_names(dir_ / "opt"), std::vector<std::string>{"dst"});

    EXPECT_EQ(replace_file(dir_ / "missing", file), copy_source_unopenable);
    EXPECT_EQ(replace_file(dir_ / "src", dir_ / "opt"), copy_destination_unopenable);
    EXPECT_EQ(replace_file(dir_ / "src", dir_ / "absent"), copy_destination_unopenable);
}

TEST_F(copy_file_test, full_file_system_is_a_transfer_failure) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    // A private mount namespace keeps the tmpfs away from the host even if the test dies.
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    const std::string mount_point = dir_ / "small";
    ASSERT_EQ(mkdir(mount_point.c_str(), 0755), 0);
    ASSERT_EQ(mount("none", mount_point.c_str(), "tmpfs", 0, "size=64k"), 0);
    write_file(dir_ / "big", std::string(std::size_t{256} * 1024, 'x'));
    write_file(dir_ / "small_src", "fits");

    const int big = copy_file(dir_ / "big", mount_point + "/big");
    const int small = copy_file(dir_ / "small_src", mount_point + "/small");
    umount2(mount_point.c_str(), MNT_DETACH);
    EXPECT_EQ(big, copy_transfer_failed);
    EXPECT_EQ(small, copy_transfer_failed) << "the disk was already full";
}

}  // namespace
}  // namespace kest
