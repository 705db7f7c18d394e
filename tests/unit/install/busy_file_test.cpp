// Busy files: a running program keeps its file, which is replaced by a new one once the
// attempts are used up, at once for the updater's own executable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/unique_fd.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"
#include "support/update_fixture.h"

namespace kest {
namespace {

using testing::attempt_pauses;
using testing::commands;
using testing::contains;
using testing::info;
using testing::logged;
using testing::nine_pauses;
using testing::pauses;
using testing::put;
using testing::read_file;
using testing::write_file;

using testing::running_executable;

class busy_file_test : public testing::tmpfs_update_test {};

TEST_F(busy_file_test, busy_executable_is_written_once_its_process_ends) {
    write_file(stage_ + "/kestd", "new agent", 0755);
    running_executable agent(target_ + "/kestd");
    ASSERT_TRUE(agent.started());
    const ino_t inode = testing::inode_of(target_ + "/kestd");
    // The agent ends during the second pause, a second after the first attempt.
    testing::after_pause = [&] {
        if (pauses.size() == 2) {
            agent.stop();
        }
    };

    EXPECT_EQ(update(), 0);
    EXPECT_EQ(attempt_pauses().size(), 2u);
    EXPECT_EQ(read_file(target_ + "/kestd"), "new agent");
    EXPECT_EQ(testing::inode_of(target_ + "/kestd"), inode);
    EXPECT_FALSE(std::any_of(logged.begin(), logged.end(), [](const testing::log_line& line) {
        return line.text.rfind("Failed to copy", 0) == 0;
    })) << "an attempt that later succeeds logs no failure";
    EXPECT_EQ(commands, std::vector<std::string>{"service kest start"});
}

TEST_F(busy_file_test, busy_executable_that_never_ends_is_replaced_after_the_attempts) {
    if (!testing::real_root()) {
        GTEST_SKIP() << "giving the file to another user needs root of the machine";
    }
    // A program that outlived the agent's stop, reached through a link, owned by another user
    // and set-user-ID.
    write_file(stage_ + "/kestd", "new agent", 0755);
    ASSERT_EQ(mkdir((target_ + "/opt").c_str(), 0755), 0);
    const std::string file = target_ + "/opt/kestd";
    running_executable helper(file);
    ASSERT_TRUE(helper.started());
    ASSERT_EQ(symlink("opt/kestd", (target_ + "/kestd").c_str()), 0);
    ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0);
    ASSERT_EQ(chmod(file.c_str(), 04750), 0);
    const ino_t inode = testing::inode_of(file);
    // Two more, which do not wait again.
    ASSERT_EQ(mkdir((target_ + "/bin").c_str(), 0755), 0);
    running_executable first(target_ + "/bin/a");
    running_executable second(target_ + "/bin/b");
    ASSERT_TRUE(first.started() && second.started());
    put(stage_ + "/bin/a", "new a");
    put(stage_ + "/bin/b", "new b");

    EXPECT_EQ(update(), 0);
    EXPECT_EQ(attempt_pauses(), nine_pauses)
        << "a dying agent gets the usual attempts in place first, once";
    EXPECT_EQ(read_file(target_ + "/bin/a") + read_file(target_ + "/bin/b"), "new anew b");
    EXPECT_TRUE(contains(info("Replacing busy file " + target_ + "/kestd")));
    EXPECT_EQ(read_file(file), "new agent");
    EXPECT_NE(testing::inode_of(file), inode);
    struct stat status {};
    ASSERT_EQ(lstat((target_ + "/kestd").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode)) << "the link stays a link";
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 1234u);
    EXPECT_EQ(status.st_gid, 5678u);
    EXPECT_EQ(status.st_mode & 07777, 04750u);
    EXPECT_EQ(testing::entry_names(target_ + "/opt"), std::vector<std::string>{"kestd"});
    char running[PATH_MAX] = {};
    const std::string exe = "/proc/" + std::to_string(helper.pid()) + "/exe";
    ASSERT_GT(readlink(exe.c_str(), running, sizeof running - 1), 0) << "it still runs";
    EXPECT_EQ(std::string(running), file + " (deleted)") << "it keeps its old file";
    EXPECT_EQ(commands, std::vector<std::string>{"service kest start"});
}

TEST_F(busy_file_test, own_executable_is_replaced_at_once_and_never_truncated) {
    write_file(stage_ + "/kest-update", "new updater", 0755);
    const std::string file = target_ + "/kest-update";
    write_file(file, "running updater", 0750);
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    platform::seams.own_executable = [own = platform::file_identity{status.st_dev, status.st_ino}] {
        return own;
    };
    const unique_fd running(open(file.c_str(), O_RDONLY | O_CLOEXEC));

    EXPECT_EQ(update(), 0);
    EXPECT_TRUE(attempt_pauses().empty());
    EXPECT_TRUE(contains(info("Replacing busy file " + file)));
    EXPECT_EQ(read_file(file), "new updater");
    EXPECT_EQ(testing::mode_of(file), 0750u);
    char old[32] = {};
    EXPECT_EQ(pread(running.get(), old, sizeof old, 0), 15);
    EXPECT_STREQ(old, "running updater");
    EXPECT_EQ(testing::entry_names(target_), std::vector<std::string>{"kest-update"});
}

TEST_F(busy_file_test, replacement_that_fills_the_disk_leaves_the_busy_file_alone) {
    mount_small_tmpfs(target_, "size=512k,mode=0755");
    write_file(stage_ + "/kestd", std::string(std::size_t{256} * 1024, 'x'), 0755);
    running_executable helper(target_ + "/kestd");
    ASSERT_TRUE(helper.started());
    testing::tree_snapshot before;
    // Another program takes most of the space once the update has been checked.
    after_the_checks([&] {
        write_file(target_ + "/other", std::string(std::size_t{384} * 1024, 'o'));
        before = testing::snapshot(target_);
    });

    expect_failed_run(update(), "Cannot write " + target_ + "/kestd: No space left on device",
                      stage_ + "/kestd", -3);
    EXPECT_TRUE(contains(info("Replacing busy file " + target_ + "/kestd")));
    EXPECT_TRUE(testing::snapshot(target_) == before) << "nothing changed, nothing left beside";
}

}  // namespace
}  // namespace kest
