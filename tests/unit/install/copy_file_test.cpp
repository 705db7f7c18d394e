#include "install/copy_file.h"
#include "install/kernel_copy.h"
#include "install/replace_file.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/constants.h"
#include "base/platform.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"

namespace kest {
namespace {

using testing::exists;
using testing::inode_of;
using testing::mode_of;
using testing::read_file;
using testing::scratch_dir;
using testing::write_file;

// The code of a copy that creates a missing destination with the source's permission bits.
int copied(const std::string& source, const std::string& destination) {
    return copy_file(source, destination, exists(source) ? mode_of(source) : 0).code;
}

// The creation mask is cleared in the detached updater; tests see the modes it would.
class copy_file_test : public testing::seam_test {
  protected:
    scratch_dir dir_;

  private:
    testing::cleared_creation_mask mask_;  // as in the detached updater
};

TEST_F(copy_file_test, existing_destination_is_rewritten_in_place) {
    write_file(dir_ / "src", "new content");
    write_file(dir_ / "dst", "old content that is longer than the new one", 0755);
    const ino_t inode = inode_of(dir_ / "dst");

    EXPECT_EQ(copied(dir_ / "src", dir_ / "dst"), 0);
    EXPECT_EQ(read_file(dir_ / "dst"), "new content");
    EXPECT_EQ(inode_of(dir_ / "dst"), inode);
    EXPECT_EQ(mode_of(dir_ / "dst"), 0755u);
}

TEST_F(copy_file_test, empty_source_gives_empty_destination_and_success) {
    write_file(dir_ / "src", "");
    write_file(dir_ / "dst", "old");
    EXPECT_EQ(copied(dir_ / "src", dir_ / "dst"), 0);
    EXPECT_EQ(read_file(dir_ / "dst"), "");
    EXPECT_EQ(copied(dir_ / "src", dir_ / "new"), 0);
    EXPECT_TRUE(exists(dir_ / "new")) << "an empty staged file is installed too";
}

TEST_F(copy_file_test, new_destination_takes_the_staged_permission_bits_only) {
    write_file(dir_ / "tool", "#!/bin/sh\n", 0755);
    write_file(dir_ / "secret", "x", 0600);
    write_file(dir_ / "setuid", "x", 04755);
    EXPECT_EQ(copied(dir_ / "tool", dir_ / "tool.copy"), 0);
    EXPECT_EQ(copied(dir_ / "secret", dir_ / "secret.copy"), 0);
    EXPECT_EQ(copied(dir_ / "setuid", dir_ / "setuid.copy"), 0);
    EXPECT_EQ(mode_of(dir_ / "tool.copy"), 0755u);
    EXPECT_EQ(mode_of(dir_ / "secret.copy"), 0600u);
    EXPECT_EQ(mode_of(dir_ / "setuid.copy"), 0755u);
}

// Numbers, so that a byte out of place shows; larger than the copy's buffer.
std::string large_content() {
    std::string content;
    for (long long i = 0; content.size() < (3u << 20) + 12345; ++i) {
        content += std::to_string(i * 7919) + ",";
    }
    return content;
}

TEST_F(copy_file_test, content_larger_than_the_buffer_arrives_whole_fresh_and_in_place) {
    std::vector<ssize_t> copied_by_call;
    platform::seams.copy_range = [&](int in, int out, std::size_t length) {
        return copied_by_call.emplace_back(platform::real::copy_range(in, out, length));
    };
    // An empty file first: it copies nothing, which must not turn the kernel's copy off here.
    write_file(dir_ / "empty", "");
    EXPECT_EQ(copied(dir_ / "empty", dir_ / "empty.copy"), 0);
    EXPECT_EQ(read_file(dir_ / "empty.copy"), "");
    const std::string content = large_content();
    write_file(dir_ / "big", content);
    EXPECT_EQ(copied(dir_ / "big", dir_ / "big.copy"), 0);
    EXPECT_EQ(read_file(dir_ / "big.copy"), content);

    const ino_t inode = inode_of(dir_ / "big.copy");
    write_file(dir_ / "big", content.substr(4096));
    EXPECT_EQ(copied(dir_ / "big", dir_ / "big.copy"), 0);
    EXPECT_EQ(read_file(dir_ / "big.copy"), content.substr(4096));
    EXPECT_EQ(inode_of(dir_ / "big.copy"), inode);
    // The kernel copied each file whole in one call, and a call that copied nothing ended it; the
    // empty file was not asked for.
    const auto size = static_cast<ssize_t>(content.size());
    EXPECT_EQ(copied_by_call, (std::vector<ssize_t>{size, 0, size - 4096, 0}));
}

// How the kernel's copy answers one call: an errno to fail with, or one of these.
constexpr int real_chunk = 0;       // the real copy, of 64 KiB at most
constexpr int nothing_copied = -1;  // 0 bytes copied

TEST_F(copy_file_test, kernel_copy_refused_at_once_falls_back_and_any_other_failure_fails) {
    struct kernel_case {
        const char* what;
        std::vector<int> answers;  // for the first calls; the later ones get the real copy
        int result;
        bool tried_again;  // whether the next file on the file system goes to the kernel
    };
    const kernel_case cases[] = {
        {"a kernel without the call", {ENOSYS}, 0, false},
        {"a call refused by a filter", {EPERM}, 0, false},
        {"a file system that copies nothing", {nothing_copied}, 0, false},
        {"interrupted calls", {EINTR, EINTR}, 0, true},
        {"a full disk at once", {ENOSPC}, -3, true},
        {"a full disk after the first chunk", {real_chunk, ENOSPC}, -3, true},
        {"a refusal after the first chunk", {real_chunk, EXDEV}, -3, true},
    };
    const std::string content = large_content();
    write_file(dir_ / "src", content);
    for (const kernel_case& test : cases) {
        SCOPED_TRACE(test.what);
        forget_kernel_copy_verdicts();
        std::size_t call = 0;
        platform::seams.copy_range = [&](int in, int out, std::size_t length) -> ssize_t {
            const int answer = call < test.answers.size() ? test.answers[call] : real_chunk;
            ++call;
            if (answer == real_chunk) {
                return platform::real::copy_range(in, out, std::min<std::size_t>(length, 65536));
            }
            if (answer != nothing_copied) {
                errno = answer;
            }
            return answer == nothing_copied ? 0 : -1;
        };
        write_file(dir_ / "dst", "old");
        const copy_result result = copy_file(dir_ / "src", dir_ / "dst", 0644);
        EXPECT_EQ(result.code, test.result);
        if (result.code == 0) {
            EXPECT_EQ(read_file(dir_ / "dst"), content);
        } else {
            EXPECT_EQ(std::make_pair(result.error, result.staged_side),
                      std::make_pair(test.answers.back(), false))
                << "the failing call's error, on the destination's side";
        }
        const std::size_t calls_before = call;
        EXPECT_EQ(copied(dir_ / "src", dir_ / "next"), 0);
        EXPECT_EQ(read_file(dir_ / "next"), content);
        EXPECT_EQ(call > calls_before, test.tried_again);
        ASSERT_EQ(unlink((dir_ / "next").c_str()), 0);
    }
}

TEST_F(copy_file_test, missing_source_leaves_destination_untouched) {
    write_file(dir_ / "dst", "keep me");
    EXPECT_EQ(copied(dir_ / "missing", dir_ / "dst"), -1);
    EXPECT_EQ(read_file(dir_ / "dst"), "keep me");
}

TEST_F(copy_file_test, unopenable_destination_fails_with_minus_two) {
    write_file(dir_ / "src", "x");
    EXPECT_EQ(copied(dir_ / "src", dir_ / "no/such/dir/dst"), -2);
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(copied(dir_ / "src", dir_ / "fifo"), -2)
        << "a FIFO without a reader must not block the copy";
}

TEST_F(copy_file_test, unreadable_source_content_is_a_transfer_failure) {
    // A regular file by its status that opens, even for root, but whose first read fails (EIO:
    // nothing is mapped at address 0).
    write_file(dir_ / "dst", "old");
    const copy_result result = copy_file("/proc/self/mem", dir_ / "dst", 0644);
    EXPECT_EQ(result.code, -3);
    EXPECT_EQ(std::make_pair(result.error, result.staged_side), std::make_pair(EIO, true));
}

TEST_F(copy_file_test, source_that_is_no_regular_file_is_refused_without_waiting) {
    write_file(dir_ / "dst", "old");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(copy_file(dir_ / "fifo", dir_ / "dst", 0644).code, -1)
        << "a FIFO without a writer must not block the copy";
    EXPECT_EQ(copy_file(dir_.path(), dir_ / "dst", 0644).code, -1);
    EXPECT_EQ(read_file(dir_ / "dst"), "old");
}

TEST_F(copy_file_test, file_copied_onto_itself_keeps_its_bytes) {
    write_file(dir_ / "tool", "precious", 0755);
    ASSERT_EQ(symlink((dir_ / "tool").c_str(), (dir_ / "link").c_str()), 0);
    // After a missing destination the next one is expected to be missing too.
    EXPECT_EQ(copied(dir_ / "tool", dir_ / "missing"), 0);
    EXPECT_EQ(copied(dir_ / "link", dir_ / "tool"), 0);
    EXPECT_EQ(copied(dir_ / "tool", dir_ / "tool"), 0);
    EXPECT_EQ(read_file(dir_ / "tool"), "precious");
}

TEST_F(copy_file_test, replacement_is_a_new_file_with_the_old_mode_and_the_link_kept) {
    write_file(dir_ / "src", "new content");
    ASSERT_EQ(mkdir((dir_ / "opt").c_str(), 0755), 0);
    const std::string file = dir_ / "opt/dst";
    write_file(file, "old", 06755);
    // Its extended attributes come along, but the file capability: the new content was not
    // granted it. Only root may set one.
    const std::uint32_t capability[5] = {0x02000000, 1U << 10, 0, 0, 0};
    ASSERT_EQ(setxattr(file.c_str(), "user.release", "1", 1, 0), 0);
    const bool capable =
        setxattr(file.c_str(), "security.capability", capability, sizeof capability, 0) == 0;
    ASSERT_EQ(symlink("opt/dst", (dir_ / "link").c_str()), 0);
    const ino_t inode = inode_of(file);
    // Left by an earlier run of this pid that crashed: neither reused nor removed.
    const std::string leftover = dir_ / ("opt/.dst.kest-update." + std::to_string(getpid()) + ".0");
    write_file(leftover, "left over, longer than the new content");

    EXPECT_EQ(replace_file(dir_ / "src", dir_ / "link").code, 0);
    EXPECT_EQ(read_file(file), "new content");
    EXPECT_NE(inode_of(file), inode);
    EXPECT_EQ(mode_of(file), 06755u) << "set-id bits included";
    char value[32];
    EXPECT_EQ(getxattr(file.c_str(), "user.release", value, sizeof value), 1);
    EXPECT_EQ(getxattr(file.c_str(), "security.capability", value, sizeof value), -1);
    struct stat status {};
    ASSERT_EQ(lstat((dir_ / "link").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(read_file(leftover), "left over, longer than the new content");
    EXPECT_EQ(testing::entry_names(dir_ / "opt").size(), 2u) << "nothing else beside";

    EXPECT_EQ(replace_file(dir_ / "missing", file).code, -1);
    EXPECT_EQ(replace_file(dir_ / "src", dir_ / "opt").code, -2);
    EXPECT_EQ(replace_file(dir_ / "src", dir_ / "absent").code, -2);
    if (!capable) {
        GTEST_SKIP() << "a file capability can only be set by root";
    }
}

TEST_F(copy_file_test, full_file_system_is_a_transfer_failure) {
    // A private mount namespace keeps the tmpfs away from the host even if the test dies.
    ASSERT_TRUE(testing::enter_private_mount_namespace());
    const std::string mount_point = dir_ / "small";
    ASSERT_EQ(mkdir(mount_point.c_str(), 0755), 0);
    ASSERT_EQ(mount("none", mount_point.c_str(), "tmpfs", 0, "size=64k"), 0);
    write_file(dir_ / "big", std::string(std::size_t{256} * 1024, 'x'));
    write_file(dir_ / "small_src", "fits");

    const copy_result big = copy_file(dir_ / "big", mount_point + "/big", 0644);
    const copy_result small = copy_file(dir_ / "small_src", mount_point + "/small", 0644);
    umount2(mount_point.c_str(), MNT_DETACH);
    EXPECT_EQ(big.code, -3);
    EXPECT_EQ(std::make_pair(big.error, big.staged_side), std::make_pair(ENOSPC, false));
    EXPECT_EQ(small.code, -3) << "the disk was already full";
}

}  // namespace
}  // namespace kest
