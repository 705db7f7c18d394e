#include "service/stop_written_programs.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/file_identity.h"
#include "base/held_processes.h"
#include "base/processes.h"

namespace kest {
namespace {

constexpr std::chrono::seconds longest_wait{1};
// Without pidfds: how often the pids are probed during that wait.
constexpr std::chrono::milliseconds probe_interval{50};

bool is_written(platform::file_identity file, const std::vector<platform::file_identity>& files) {
    return !same_file(file, {0, 0}) &&
           std::any_of(files.begin(), files.end(),
                       [file](platform::file_identity one) { return same_file(file, one); });
}

}  // namespace

int stop_written_programs(const std::vector<platform::file_identity>& files) {
    const long self = getpid();
    std::vector<held_process> killed;
    for (const process_facts& process : list_processes()) {
        held_process held;
        // Checked again once held: the pid may have been given to another process meanwhile.
        if (process.pid == self || !is_written(process.executable, files) ||
            !hold_process(process.pid, held) || !is_written(executable_of(process.pid), files)) {
            continue;
        }
        if (platform::seams.send_signal(held.pidfd.get(), held.pid, SIGKILL) == 0 ||
            errno != ESRCH) {
            killed.push_back(std::move(held));
        }
    }
    return killed.empty() ? 0 : wait_for_ends(killed, longest_wait, probe_interval);
}

}  // namespace kest
