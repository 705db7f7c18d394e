#include "base/held_processes.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "base/platform.h"
#include "base/processes.h"
#include "base/retry_on_eintr.h"

namespace kest {

bool hold_process(long pid, held_process& held) {
    held.pid = pid;
    held.pidfd.reset(platform::seams.open_pidfd(pid));
    return held.pidfd.valid() || errno != ESRCH;
}

bool has_ended(const held_process& process) {
    if (process.pidfd.valid()) {
        pollfd ended{process.pidfd.get(), POLLIN, 0};
        const int ready = retry_on_eintr([&] { return poll(&ended, 1, 0); });
        if (ready >= 0) {
            return ready > 0;
        }
    }
    return process_ended(process.pid);
}

int wait_for_ends(const std::vector<held_process>& processes, std::chrono::milliseconds bound,
                  std::chrono::milliseconds probe_interval) {
    if (std::all_of(processes.begin(), processes.end(),
                    [](const held_process& process) { return process.pidfd.valid(); })) {
        std::vector<pollfd> ends(processes.size());
        std::transform(processes.begin(), processes.end(), ends.begin(),
                       [](const held_process& process) {
                           return pollfd{process.pidfd.get(), POLLIN, 0};
                       });
        const int running = platform::seams.wait_until_readable(ends.data(), ends.size(), bound);
        if (running >= 0) {
            return running;
        }
    }
    std::chrono::milliseconds waited{0};
    for (;;) {
        const auto running =
            std::count_if(processes.begin(), processes.end(),
                          [](const held_process& process) { return !has_ended(process); });
        if (running == 0 || waited >= bound) {
            return static_cast<int>(running);
        }
        const auto pause = std::min(probe_interval, bound - waited);
        platform::seams.pause_for(pause);
        waited += pause;
    }
}

}  // namespace kest
