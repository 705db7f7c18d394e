#include "service/watch_agent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "base/file_identity.h"
#include "base/held_processes.h"
#include "base/platform.h"
#include "base/processes.h"
#include "base/retry_on_eintr.h"
#include "base/unique_fd.h"

namespace kest {
namespace {

using std::chrono::milliseconds;

constexpr std::chrono::seconds watch_time{10};
// The first second's looks: at its start and after each pause.
constexpr int looks = 5;
constexpr milliseconds between_looks{250};
// Without pidfds: how often the processes are probed after the first second.
constexpr std::chrono::seconds probe_interval{1};

// The pids in the first of `lists` that can be read; none when none can.
std::vector<long> pids_in_group(const std::vector<std::string>& lists) {
    std::vector<long> pids;
    for (const std::string& list : lists) {
        const unique_fd fd(open(list.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            continue;
        }
        std::string text;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = retry_on_eintr([&] { return read(fd.get(), buffer, sizeof buffer); })) > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        const char* at = text.c_str();
        char* end = nullptr;
        for (long pid = std::strtol(at, &end, 10); end != at; pid = std::strtol(at, &end, 10)) {
            pids.push_back(pid);
            at = end;
        }
        return pids;
    }
    return pids;
}

// Which processes are the agent's, now.
class agent_processes {
  public:
    agent_processes(bool systemd, const agent_places& places)
        : systemd_(systemd), places_(places), executable_(identity_of_file(places.executable)) {}

    // The agent's processes as one look sees them (this process already left out).
    std::vector<long> seen() const {
        std::vector<long> pids;
        if (systemd_) {
            pids = pids_in_group(places_.cgroup_process_lists);
            pids.erase(std::remove(pids.begin(), pids.end(), self_), pids.end());
        } else {
            for (const process_facts& process : list_processes()) {
                if (is_agent(process)) {
                    pids.push_back(process.pid);
                }
            }
        }
        return pids;
    }

    // Whether `pid` is one of them, asked again once it is held: the pid may have been given to
    // another process since it was seen.
    bool includes(long pid) const {
        if (systemd_) {
            const std::vector<long> listed = pids_in_group(places_.cgroup_process_lists);
            return std::find(listed.begin(), listed.end(), pid) != listed.end() &&
                   parent_pid_of(pid) != self_;
        }
        process_facts process;
        return read_process(pid, process) && is_agent(process);
    }

  private:
    static platform::file_identity identity_of_file(const std::string& path) {
        struct stat status {};
        return stat(path.c_str(), &status) == 0 ? identity_of(status)
                                                : platform::file_identity{0, 0};
    }

    bool is_agent(const process_facts& process) const {
        return process.pid != self_ &&
               ((!same_file(executable_, {0, 0}) && same_file(process.executable, executable_)) ||
                process.first_word == places_.executable ||
                process.second_word == places_.executable);
    }

    bool systemd_;
    const agent_places& places_;
    platform::file_identity executable_;
    long self_ = getpid();
};

bool held_alive(const std::vector<held_process>& held, long pid) {
    return std::any_of(held.begin(), held.end(), [pid](const held_process& process) {
        return process.pid == pid && !has_ended(process);
    });
}

}  // namespace

bool watch_agent(bool systemd, const agent_places& places) {
    const agent_processes agent(systemd, places);
    std::vector<held_process> held;
    for (int look = 0; look < looks; ++look) {
        if (look > 0) {
            platform::seams.pause_for(between_looks);
        }
        for (const long pid : agent.seen()) {
            held_process process;
            if (!held_alive(held, pid) && hold_process(pid, process) && agent.includes(pid)) {
                held.push_back(std::move(process));
            }
        }
    }
    if (held.empty()) {
        return false;
    }
    const milliseconds rest = watch_time - (looks - 1) * between_looks;
    return wait_for_ends(held, rest, probe_interval) > 0;
}

}  // namespace kest
