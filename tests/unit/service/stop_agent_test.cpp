#include "service/stop_agent.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "updater/platform.h"

namespace kest {
namespace {

using testing::commands;
using testing::err;
using testing::info;
using testing::logged;
using testing::pauses;
using namespace std::chrono_literals;

struct sent_signal {
    int pidfd;
    long pid;
    int signal;
};
std::vector<sent_signal> sent;

int record_and_send(int pidfd, long pid, int signal) {
    sent.push_back({pidfd, pid, signal});
    return platform::real::send_signal(pidfd, pid, signal);
}

// A child that waits until a signal ends it.
pid_t start_sleeper() {
    const pid_t child = fork();
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
        testing::systemd_installed_answer = false;
        sent.clear();
        platform::send_signal = record_and_send;
    }
};

TEST_F(stop_agent_test, agent_already_gone_returns_without_a_pause) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    wait_for(child);

    stop_agent(child);
    EXPECT_EQ(logged, std::vector{info("Killing daemon")});
    EXPECT_TRUE(pauses.empty());
    EXPECT_TRUE(sent.empty());
}

TEST_F(stop_agent_test, agent_that_ends_while_probed_is_not_killed) {
    static pid_t agent;
    agent = start_sleeper();
    // The agent ends by itself (and is reaped by its parent) during the second pause.
    platform::pause_for = [](std::chrono::milliseconds duration) {
        pauses.push_back(duration);
        if (pauses.size() == 2) {
            kill(agent, SIGTERM);
            wait_for(agent);
        }
    };

    stop_agent(agent);
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>{1s, 1s}));
    ASSERT_EQ(sent.size(), 3u);
    for (const sent_signal& signal : sent) {
        EXPECT_EQ(signal.signal, 0);
        EXPECT_GE(signal.pidfd, 0) << "probes go through a pidfd";
    }
}

TEST_F(stop_agent_test, agent_that_never_ends_is_killed_after_ten_probes_and_nothing_else_is) {
    const pid_t agent = start_sleeper();
    const pid_t bystander = start_sleeper();

    stop_agent(agent);
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(10, 1s));
    ASSERT_EQ(sent.size(), 11u);
    EXPECT_EQ(sent.back().signal, SIGKILL);
    EXPECT_GE(sent.back().pidfd, 0);
    const int status = wait_for(agent);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "the bystander must still run";
    kill(bystander, SIGTERM);
    wait_for(bystander);
    EXPECT_EQ(logged, std::vector{info("Killing daemon")});
}

TEST_F(stop_agent_test, agent_is_killed_by_its_pid_when_pidfds_are_refused) {
    for (const int refusal : {EPERM, EMFILE, ENOSYS}) {
        pauses.clear();
        sent.clear();
        platform::open_pidfd = [refusal](long) {
            errno = refusal;
            return -1;
        };
        const pid_t agent = start_sleeper();

        stop_agent(agent);
        EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(10, 1s)) << refusal;
        ASSERT_EQ(sent.size(), 11u) << refusal;
        EXPECT_EQ(sent.back().pidfd, -1);
        EXPECT_EQ(sent.back().pid, agent);
        EXPECT_EQ(sent.back().signal, SIGKILL);
        const int status = wait_for(agent);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << refusal;
    }
}

TEST_F(stop_agent_test, pid_that_names_no_single_process_gets_no_signal) {
    platform::send_signal = [](int, long, int) -> int {
        ADD_FAILURE() << "a signal was sent";
        return -1;
    };
    const long too_big = max_process_id() + 1;
    for (const long pid : {0L, -1L, LONG_MIN, too_big, LONG_MAX}) {
        logged.clear();
        stop_agent(pid);
        EXPECT_EQ(logged, (std::vector{info("Killing daemon"),
                                       err("Invalid agent process id " + std::to_string(pid))}));
    }
    EXPECT_TRUE(pauses.empty());
}

TEST_F(stop_agent_test, with_systemd_the_patch_comes_first_and_no_signal_is_sent) {
    testing::systemd_installed_answer = true;
    testing::scratch_dir dir;
    const pid_t agent = start_sleeper();

    stop_agent(agent, dir / "kest.service");
    EXPECT_EQ(commands,
              (std::vector<std::string>{"systemctl daemon-reload", "systemctl stop kest"}));
    EXPECT_EQ(logged,
              (std::vector{info("Patch agent service file"), info("Stopping systemd service")}));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(waitpid(agent, nullptr, WNOHANG), 0);
    kill(agent, SIGKILL);
    wait_for(agent);
}

}  // namespace
}  // namespace kest
