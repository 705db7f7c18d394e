#include "service/run_command.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "base/platform.h"
#include "support/test_support.h"

namespace kest {
namespace {

using testing::err;
using testing::logged;

class run_command_test : public testing::seam_test {
  protected:
    void SetUp() override {
        seam_test::SetUp();
        // The real shell: these tests are about what it receives.
        platform::seams.shell = platform::real::shell;
    }
};

TEST_F(run_command_test, success_is_silent) {
    EXPECT_EQ(run_command("true"), 0);
    EXPECT_TRUE(logged.empty());
}

TEST_F(run_command_test, failure_logs_the_exit_code_and_returns_the_raw_status) {
    EXPECT_EQ(run_command("exit 3"), 768);
    EXPECT_EQ(logged, std::vector{err("Failed to execute 'exit 3': error code 3")});
}

TEST_F(run_command_test, death_by_signal_is_logged_with_zero) {
    // SIGINT too: the runner ignores it while it waits, the shell must not.
    for (const int signal : {SIGKILL, SIGINT}) {
        logged.clear();
        const std::string command = "kill -" + std::to_string(signal) + " $$";
        const int status = run_command(command);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(logged, std::vector{err("Failed to execute '" + command + "': error code 0")});
    }
}

TEST_F(run_command_test, metacharacters_run_as_given_and_are_logged_literally) {
    testing::scratch_dir dir;
    const std::string command = "printf '%s' \"a;b\" > '" + dir.path() + "/out'; exit 4 # %n %s";
    EXPECT_EQ(run_command(command), 4 << 8);
    EXPECT_EQ(testing::read_file(dir / "out"), "a;b");
    EXPECT_EQ(logged, std::vector{err("Failed to execute '" + command + "': error code 4")});
}

TEST_F(run_command_test, shell_that_cannot_start_is_logged_with_255) {
    platform::seams.shell = [](const char*) { return -1; };
    EXPECT_EQ(run_command("anything"), -1);
    EXPECT_EQ(logged, std::vector{err("Failed to execute 'anything': error code 255")});
}

}  // namespace
}  // namespace kest
