#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace kest {
namespace {

using testing::exists;
using testing::mode_of;
using testing::read_file;

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
    // As a caller with a restrictive mask would.
    const int status = testing::run_sealed(DETACH_PROBE_PATH, {dir.path()}, 077);
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
}

}  // namespace
}  // namespace kest
