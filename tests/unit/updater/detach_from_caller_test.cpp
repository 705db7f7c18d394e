#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace kest {
namespace {

using testing::exists;
using testing::mode_of;
using testing::read_file;

// Runs the probe as a careless caller would (a restrictive mask, SIGCHLD ignored, SIGTERM
// blocked, descriptor 50 left open), and returns its exit status.
int run_probe_as_caller(const std::string& dir) {
    const pid_t caller = fork();
    if (caller == 0) {
        umask(077);
        sigset_t blocked{};
        if (signal(SIGCHLD, SIG_IGN) == SIG_ERR || sigemptyset(&blocked) != 0 ||
            sigaddset(&blocked, SIGTERM) != 0 || sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0 ||
            dup2(open("/dev/null", O_RDONLY), 50) != 50) {
            _exit(126);
        }
        execl(DETACH_PROBE_PATH, DETACH_PROBE_PATH, dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    while (waitpid(caller, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
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
    EXPECT_NE(report.find("shell_sees_fd50 256\n"), std::string::npos) << report;
}

}  // namespace
}  // namespace kest
