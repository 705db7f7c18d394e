#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "support/test_support.h"
#include "updater/standard_descriptors.h"

namespace kest {
namespace {

using testing::exists;
using testing::mode_of;
using testing::read_file;

// Runs the probe as a careless caller would (a restrictive mask, SIGCHLD ignored, SIGTERM
// blocked, descriptor 9 left open), and returns its exit status. With `hide_proc`, the probe
// finds no /proc (as in a chroot without it), so that the descriptors are marked by the last
// resort where close_range is missing too: the unit tests also run on a simulated Linux 3.10.
int run_probe_as_caller(const std::string& dir, bool hide_proc = false) {
    return testing::run_sealed(DETACH_PROBE_PATH, {dir}, [hide_proc] {
        umask(077);
        sigset_t blocked{};
        return signal(SIGCHLD, SIG_IGN) != SIG_ERR && sigemptyset(&blocked) == 0 &&
               sigaddset(&blocked, SIGTERM) == 0 &&
               sigprocmask(SIG_BLOCK, &blocked, nullptr) == 0 &&
               dup2(open("/dev/null", O_RDONLY), 9) == 9 &&
               (!hide_proc || mount("none", "/proc", "tmpfs", 0, "mode=0555") == 0);
    });
}

bool wait_for_file(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        if (exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(detach_from_caller_test, caller_sees_zero_at_once_and_the_child_goes_on_clean) {
    testing::scratch_dir dir;
    const int status = run_probe_as_caller(dir.path());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(exists(dir / "made")) << "the caller was released before any work was done";
    // The detached run still holds the update lock it took before detaching.
    const int lock = open((dir / "lock").c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(flock(lock, LOCK_EX | LOCK_NB) == 0 ? 0 : errno, EWOULDBLOCK);
    close(lock);

    testing::write_file(dir / "go", "");
    ASSERT_TRUE(wait_for_file(dir / "report")) << "the detached child never reported";
    const std::string report = read_file(dir / "report");
    EXPECT_NE(report.find("mkdir 0\n"), std::string::npos) << report;
    EXPECT_EQ(mode_of(dir / "made"), 0770u) << "the caller's mask 077 must not apply";
    EXPECT_NE(report.find("session_leader 1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("cwd " + dir.path() + "\n"), std::string::npos) << report;
    for (int fd = 0; fd <= 2; ++fd) {
        EXPECT_NE(report.find("fd" + std::to_string(fd) + " /dev/null\n"), std::string::npos)
            << report;
    }
    // None of the caller's signal state is left, so commands' statuses are read right, and the
    // caller's descriptor does not reach them.
    EXPECT_NE(report.find("ignored\t0000000000000000\n"), std::string::npos) << report;
    EXPECT_NE(report.find("blocked\t0000000000000000\n"), std::string::npos) << report;
    EXPECT_NE(report.find("exit_3_status 768\n"), std::string::npos) << report;
    EXPECT_NE(report.find("shell_sees_fd9 256\n"), std::string::npos) << report;
    // Nor does the lock, and commands start with no signal blocked.
    EXPECT_NE(report.find("lock_kept 1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("shell_sees_lock 256\n"), std::string::npos) << report;
    EXPECT_NE(report.find("command_mask_empty 0\n"), std::string::npos) << report;
}

// The sanitizers' runtime cannot run without /proc (it reads even its options there).
#ifndef __SANITIZE_ADDRESS__
TEST(detach_from_caller_test, caller_descriptor_does_not_reach_commands_without_proc) {
    testing::scratch_dir dir;
    ASSERT_EQ(run_probe_as_caller(dir.path(), true), 0);
    testing::write_file(dir / "go", "");
    ASSERT_TRUE(wait_for_file(dir / "report")) << "the detached child never reported";
    const std::string report = read_file(dir / "report");
    EXPECT_NE(report.find("exit_3_status 768\n"), std::string::npos) << report;
    EXPECT_NE(report.find("shell_sees_fd9 256\n"), std::string::npos) << report;
}
#endif

// Where descriptor `fd` leads, or "" when it is closed.
std::string link_of(int fd) {
    char target[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    return readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

TEST(detach_from_caller_test, closed_standard_descriptors_are_filled_with_dev_null) {
    const int status = testing::run_in_child([] {
        const std::string out = link_of(STDOUT_FILENO);
        (void)close(STDIN_FILENO);
        (void)close(STDERR_FILENO);
        fill_standard_descriptors();
        const bool filled = link_of(STDIN_FILENO) == "/dev/null" &&
                            (fcntl(STDIN_FILENO, F_GETFL) & O_ACCMODE) == O_RDONLY &&
                            link_of(STDERR_FILENO) == "/dev/null" &&
                            (fcntl(STDERR_FILENO, F_GETFL) & O_ACCMODE) == O_WRONLY;
        return filled && link_of(STDOUT_FILENO) == out ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << "0 and 2 lead to /dev/null for reading and writing, 1 stays";
}

}  // namespace
}  // namespace kest
