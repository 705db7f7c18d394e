#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/file_identity.h"
#include "base/platform.h"
#include "base/unique_fd.h"
#include "service/stop_written_programs.h"
#include "service/watch_agent.h"
#include "support/test_support.h"

namespace kest {
namespace {

using testing::journal;
using testing::pauses;
using testing::waits;
using durations = std::vector<std::chrono::milliseconds>;
using ms = std::chrono::milliseconds;

platform::file_identity identity(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? identity_of(status) : platform::file_identity{0, 0};
}

bool in_journal(const std::string& entry) {
    return std::find(journal.begin(), journal.end(), entry) != journal.end();
}

// `count` durations of `each` milliseconds after `before`; `looks` are the first second's.
durations then(durations before, int count, int each) {
    before.insert(before.end(), static_cast<std::size_t>(count), ms{each});
    return before;
}
const durations looks = then({}, 4, 250);

int refuse_pidfd(long) {
    errno = ENOSYS;
    return -1;
}

// Runs `program` with the command line `first` `second`: a child of the test or, `detached`, of a
// process in between (as the agent is no child of the updater). Killed and reaped at the end of
// its scope.
class process {
  public:
    process(const std::string& program, const std::string& first = "kestd",
            const std::string& second = "60", bool detached = false) {
        int ends[2] = {-1, -1};
        if (pipe2(ends, O_CLOEXEC) != 0 || (parent_ = testing::fork_tied_child()) < 0) {
            throw std::runtime_error("cannot start " + program);
        }
        if (parent_ == 0) {
            const pid_t child = detached ? testing::fork_tied_child() : 0;
            if (child == 0) {
                execl(program.c_str(), first.c_str(), second.c_str(), nullptr);
                _exit(127);
            }
            (void)!write(ends[1], &child, sizeof child);
            _exit(waitpid(child, nullptr, 0) == child ? 0 : 1);
        }
        close(ends[1]);
        pid_ = parent_;
        if (detached && read(ends[0], &pid_, sizeof pid_) != sizeof pid_) {
            pid_ = -1;
        }
        close(ends[0]);
        pidfd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0U)));
        const std::string exe = "/proc/" + std::to_string(pid_) + "/exe";
        for (int i = 0; !same_file(identity(exe), identity(program)); ++i) {
            if (i == 500 || ended(10)) {
                throw std::runtime_error(program + " did not start");
            }
        }
    }
    ~process() { stop(); }
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    pid_t pid() const { return pid_; }
    int pidfd() const { return pidfd_.get(); }
    // Whether it has ended (a zombie too), after waiting `ms` at most.
    bool ended(int ms = 5000) const {
        pollfd end{pidfd_.get(), POLLIN, 0};
        return poll(&end, 1, ms) == 1;
    }
    void stop() {
        if (parent_ > 0) {
            (void)platform::real::send_signal(pidfd_.get(), pid_, SIGKILL);
            while (waitpid(parent_, nullptr, 0) < 0 && errno == EINTR) {
            }
            parent_ = -1;
        }
    }

  private:
    pid_t parent_ = -1;
    pid_t pid_ = -1;
    unique_fd pidfd_;
};

// Runs `body` as the first process of a new pid namespace with a /proc of its own, in which
// nothing else forks: pids are given in order, and next_pid_is can give one again. True unless
// `body` failed there (its failures are printed).
bool in_pid_namespace(const std::function<void()>& body) {
    const auto first_process = [&body] {
        if (!testing::enter_private_mount_namespace() || unshare(CLONE_NEWPID) != 0) {
            return 1;
        }
        const pid_t first = fork();
        if (first == 0) {
            const bool ready = prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 &&
                               mount("proc", "/proc", "proc", 0, nullptr) == 0;
            if (ready) {
                body();
            } else {
                ADD_FAILURE() << "no pid namespace with its own /proc";
            }
            _exit(ready && !::testing::Test::HasFailure() ? 0 : 1);
        }
        int status = 1;
        while (first > 0 && waitpid(first, &status, 0) < 0 && errno == EINTR) {
        }
        return status == 0 ? 0 : 1;
    };
    return testing::run_in_child(first_process) == 0;
}

bool next_pid_is(pid_t pid) {
    const unique_fd last(open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC));
    const std::string text = std::to_string(pid - 1);
    return write(last.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

class agent_processes_test : public testing::seam_test {
  protected:
    void SetUp() override {
        seam_test::SetUp();
        testing::signals_allowed = true;
        ASSERT_EQ(mkdir((dir_ / "other").c_str(), 0755), 0);
        for (const std::string& file : {agent_, other_}) {
            testing::write_file(file, testing::read_file("/bin/sleep"), 0755);
        }
        // Waits in the shell itself, opening a FIFO that no one writes.
        testing::write_file(script_, "read line <" + dir_ / "fifo" + "\n");
        ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
        places_ = {{dir_ / "unified.procs", dir_ / "cgroup.procs"}, agent_};
    }
    void list_in_group(const std::vector<pid_t>& pids) const {
        std::string text;
        for (const pid_t pid : pids) {
            text += std::to_string(pid) + "\n";
        }
        testing::write_file(dir_ / "cgroup.procs", text);
    }
    // Forgets the pauses and waits recorded; with `refused`, no pidfd is given from then on.
    void next_round(bool refused) {
        pauses.clear();
        waits.clear();
        if (refused) {
            platform::seams.open_pidfd = refuse_pidfd;
        }
    }

    testing::scratch_dir dir_;
    const std::string agent_ = dir_ / "kestd";
    const std::string other_ = dir_ / "other/kestd";  // another file of the same name
    const std::string script_ = dir_ / "kestd.sh";
    agent_places places_;
};

TEST_F(agent_processes_test, watch_without_systemd_counts_the_agents_file_and_command_lines) {
    struct row {
        const char* what;
        std::string program;
        std::string first;
        std::string second;
        std::string executable;
        bool kept;
    };
    const row rows[] = {
        {"the agent's executable", agent_, "kestd", "60", agent_, true},
        {"another file of that name", other_, "kestd", "60", agent_, false},
        {"named as its first word", other_, agent_, "60", agent_, true},
        {"a script under its interpreter", "/bin/sh", "/bin/sh", script_, script_, true},
    };
    for (const bool refused : {false, true}) {
        for (const row& row : rows) {
            next_round(refused);
            const process running(row.program, row.first, row.second);
            places_.executable = row.executable;
            EXPECT_EQ(watch_agent(false, places_), row.kept) << row.what << refused;
            EXPECT_EQ(pauses, row.kept && refused ? then(looks, 9, 1000) : looks) << row.what;
            EXPECT_EQ(waits, row.kept && !refused ? durations{ms{9000}} : durations{}) << row.what;
        }
    }
}

TEST_F(agent_processes_test, watch_under_systemd_counts_the_group_but_the_updater_and_its_child) {
    const process agent(agent_, "kestd", "60", true);
    const process child(agent_);
    struct row {
        const char* what;
        std::vector<pid_t> listed;
        bool leaves_once_held;  // as when its pid goes to a process outside the group
        bool kept;
    } const rows[] = {
        {"the agent", {agent.pid()}, false, true},
        {"the updater and its child", {getpid(), child.pid()}, false, false},
        {"nothing", {}, false, false},
        {"the agent, out of the group once held", {agent.pid()}, true, false},  // last
    };
    for (const row& row : rows) {
        next_round(false);
        list_in_group(row.listed);
        if (row.leaves_once_held) {
            platform::seams.open_pidfd = [this](long pid) {
                list_in_group({});
                return platform::real::open_pidfd(pid);
            };
        }
        EXPECT_EQ(watch_agent(true, places_), row.kept) << row.what;
        EXPECT_EQ(pauses, looks) << row.what;
        EXPECT_EQ(waits, row.kept ? durations{ms{9000}} : durations{}) << row.what;
    }
}

TEST_F(agent_processes_test, watch_ends_once_the_agent_seen_has_ended) {
    // Under systemd through a pidfd, ending during the wait; without, by pid, at the third probe.
    for (const bool refused : {false, true}) {
        next_round(refused);
        process agent(agent_, "kestd", "60", !refused);
        list_in_group({agent.pid()});
        testing::after_wait = [&] { agent.stop(); };
        testing::after_pause = [&] {
            if (pauses.size() == 7) {
                agent.stop();
            }
        };
        EXPECT_FALSE(watch_agent(!refused, places_)) << refused;
        EXPECT_EQ(pauses, refused ? then(looks, 3, 1000) : looks);
        EXPECT_EQ(waits, refused ? durations{} : durations{ms{9000}});
    }
}

TEST_F(agent_processes_test, stop_kills_what_runs_a_written_file_but_this_process) {
    // This test's executable, which other tests running meanwhile share: they get no real
    // signal, and this process none at all.
    const auto record_signal = platform::seams.send_signal;
    platform::seams.send_signal = [](int, long pid, int signal) {
        journal.push_back("signal " + std::to_string(signal) + " " + std::to_string(pid));
        return 0;
    };
    (void)stop_written_programs({identity("/proc/self/exe")});
    EXPECT_FALSE(in_journal("pidfd " + std::to_string(getpid())));
    EXPECT_FALSE(in_journal("signal 9 " + std::to_string(getpid())));
    platform::seams.send_signal = record_signal;

    testing::longest_real_wait = std::chrono::seconds{10};  // killed processes end in moments
    const process other(other_);
    for (const bool refused : {false, true}) {
        next_round(refused);
        const process written(agent_);
        testing::after_pause = [&] { written.ended(); };
        EXPECT_EQ(stop_written_programs({identity(agent_)}), 0) << refused;
        const std::string signal = "signal 9 " + std::to_string(written.pid());
        EXPECT_TRUE(in_journal(refused ? signal : signal + " pidfd")) << refused;
        EXPECT_EQ(waits, refused ? durations{} : durations{ms{1000}});
        EXPECT_TRUE(written.ended(0));
        EXPECT_FALSE(other.ended(0));
        testing::after_pause = nullptr;
    }
}

TEST_F(agent_processes_test, stop_waits_one_second_at_most) {
    for (const bool refused : {false, true}) {
        next_round(refused);
        // Traced for its exit, it stops on its way out, killed or not, until it is let go.
        const process traced(agent_);
        ASSERT_EQ(ptrace(PTRACE_SEIZE, traced.pid(), nullptr, PTRACE_O_TRACEEXIT), 0);
        EXPECT_EQ(stop_written_programs({identity(agent_)}), 1) << refused;
        EXPECT_EQ(waits, refused ? durations{} : durations{ms{1000}});
        EXPECT_EQ(pauses, refused ? then({}, 20, 50) : durations{});
        int status = 0;
        for (int i = 0; i < 500 && waitpid(traced.pid(), &status, WNOHANG | __WALL) == 0; ++i) {
            usleep(10000);
        }
        EXPECT_EQ(status >> 8, SIGTRAP | (PTRACE_EVENT_EXIT << 8)) << "stopped on its way out";
        EXPECT_EQ(ptrace(PTRACE_CONT, traced.pid(), nullptr, nullptr), 0);
    }
}

TEST_F(agent_processes_test, a_process_given_the_pid_of_one_seen_is_judged_by_itself) {
    const auto body = [this] {
        std::optional<process> agent(std::in_place, agent_);
        std::optional<process> reused;
        const auto reuse = [&] {
            const pid_t pid = agent->pid();
            agent.reset();
            EXPECT_TRUE(next_pid_is(pid));
            EXPECT_EQ(reused.emplace(other_).pid(), pid);
        };
        // The watch: its pid goes to another program after the first look.
        testing::after_pause = [&] {
            if (pauses.size() == 1) {
                reuse();
            }
        };
        EXPECT_FALSE(watch_agent(false, places_));
        EXPECT_EQ(waits, durations{ms{9000}});
        // The stop: it ends between the listing and its pidfd.
        agent.emplace(agent_);
        const std::string signal = "signal 9 " + std::to_string(agent->pid()) + " pidfd";
        platform::seams.open_pidfd = [&](long pid) {
            if (agent && pid == agent->pid()) {
                reuse();
            }
            return platform::real::open_pidfd(pid);
        };
        EXPECT_EQ(stop_written_programs({identity(agent_)}), 0);
        EXPECT_FALSE(reused->ended(0));
        EXPECT_FALSE(in_journal(signal));
    };
    EXPECT_TRUE(in_pid_namespace(body)) << "see the failures above";
}

TEST_F(agent_processes_test, real_wait_returns_once_all_have_ended) {
    process ended(agent_);
    process running(agent_);
    ended.stop();
    pollfd fds[] = {{ended.pidfd(), POLLIN, 0}, {running.pidfd(), POLLIN, 0}};
    EXPECT_EQ(platform::real::wait_until_readable(fds, 2, ms{0}), 1);
    EXPECT_TRUE(fds[0].revents != 0 && fds[1].revents == 0);
    running.stop();
    // At once: a wait to the end of the hour asked would outlast the test's time limit.
    EXPECT_EQ(platform::real::wait_until_readable(fds, 2, ms{3600000}), 0);
    EXPECT_TRUE(fds[0].revents != 0 && fds[1].revents != 0);
}

}  // namespace
}  // namespace kest
