#include "service/stop_agent.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include "base/platform.h"
#include "support/test_support.h"

namespace kest {
namespace {

using testing::journal;
using testing::pauses;
using strings = std::vector<std::string>;
// The unit file where systemd is absent, which leaves it alone.
constexpr const char* no_unit = "/nonexistent/kest.service";

// `start`, then ten probes of `agent` a second apart and its kill, as the journal has them;
// `via` is " pidfd" for signals sent through one.
strings probed_then_killed(strings start, pid_t agent, const std::string& via) {
    for (int i = 0; i < 10; ++i) {
        start.insert(start.end(), {"signal 0 " + std::to_string(agent) + via, "pause 1000ms"});
    }
    start.push_back("signal 9 " + std::to_string(agent) + via);
    return start;
}

// A child that waits until a signal ends it.
pid_t start_sleeper() {
    const pid_t child = testing::fork_tied_child();
    if (child == 0) {
        for (;;) {
            pause();
        }
    }
    return child;
}

int wait_for(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

class stop_agent_test : public testing::seam_test {
  protected:
    void SetUp() override {
        seam_test::SetUp();
        testing::signals_allowed = true;
    }
};

TEST_F(stop_agent_test, agent_already_gone_returns_without_a_pause) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    wait_for(child);

    stop_agent(child, no_unit, false);
    EXPECT_EQ(journal, (strings{"info Killing daemon", "pidfd " + std::to_string(child)}));
}

TEST_F(stop_agent_test, agent_that_ends_while_probed_is_not_killed) {
    const pid_t agent = start_sleeper();
    // The agent ends by itself (and is reaped by its parent) during the second pause.
    testing::after_pause = [&] {
        if (pauses.size() == 2) {
            kill(agent, SIGTERM);
            wait_for(agent);
        }
    };

    stop_agent(agent, no_unit, false);
    const std::string probe = "signal 0 " + std::to_string(agent) + " pidfd";
    EXPECT_EQ(journal, (strings{"info Killing daemon", "pidfd " + std::to_string(agent), probe,
                                "pause 1000ms", probe, "pause 1000ms", probe}));
}

TEST_F(stop_agent_test, agent_that_never_ends_is_killed_after_ten_probes_and_nothing_else_is) {
    const pid_t bystander = start_sleeper();
    // Through a pidfd, and by the pid where the kernel refuses one (0: not refused).
    for (const int refusal : {0, EPERM, EMFILE, ENOSYS}) {
        journal.clear();
        if (refusal != 0) {
            platform::seams.open_pidfd = [refusal](long) {
                errno = refusal;
                return -1;
            };
        }
        const pid_t agent = start_sleeper();
        const std::string pid = std::to_string(agent);

        stop_agent(agent, no_unit, false);
        ASSERT_EQ(journal,
                  refusal == 0
                      ? probed_then_killed({"info Killing daemon", "pidfd " + pid}, agent, " pidfd")
                      : probed_then_killed({"info Killing daemon"}, agent, ""))
            << refusal;
        const int status = wait_for(agent);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << refusal;
    }
    EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "the bystander must still run";
    kill(bystander, SIGTERM);
    wait_for(bystander);
}

TEST_F(stop_agent_test, pid_that_names_no_single_process_gets_no_signal) {
    testing::signals_allowed = false;
    // The kernel's own limit, read here rather than from the code under test; and the ceiling
    // of every 64-bit kernel, 4194304, when the limit cannot be read.
    long pid_max = 0;
    std::ifstream("/proc/sys/kernel/pid_max") >> pid_max;
    EXPECT_GT(pid_max, 0);
    EXPECT_EQ(max_process_id(), pid_max);
    for (const long pid : {0L, -1L, LONG_MIN, pid_max + 1, 4194305L, LONG_MAX}) {
        journal.clear();
        stop_agent(pid, no_unit, false);
        EXPECT_EQ(journal, (strings{"info Killing daemon",
                                    "err Invalid agent process id " + std::to_string(pid)}));
    }
}

TEST_F(stop_agent_test, with_systemd_the_patch_comes_first_and_no_signal_is_sent) {
    testing::scratch_dir dir;
    const pid_t agent = start_sleeper();

    stop_agent(agent, dir / "kest.service", true);
    EXPECT_EQ(journal, (strings{"info Patch agent service file", "run systemctl daemon-reload",
                                "info Stopping systemd service", "run systemctl stop kest"}));
    EXPECT_EQ(waitpid(agent, nullptr, WNOHANG), 0);
    kill(agent, SIGKILL);
    wait_for(agent);
}

}  // namespace
}  // namespace kest
