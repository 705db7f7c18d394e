#include "service/stop_agent.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>

#include "base/constants.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/unique_fd.h"
#include "service/patch_service_unit.h"
#include "service/run_command.h"

namespace kest {
namespace {

constexpr int probes = 10;
constexpr std::chrono::seconds pause_after_probe{1};
// The kernel's own ceiling for pid_max on 64-bit systems.
constexpr long pid_limit = 4194304;

// Waits for the agent to end by itself and kills it when it does not.
void wait_then_kill(long pid) {
    const unique_fd agent(platform::seams.open_pidfd(pid));
    if (!agent.valid() && errno == ESRCH) {
        return;
    }
    // Without a pidfd (ENOSYS on old kernels, EPERM from a system-call filter, EMFILE) the
    // signals go to the pid: an agent that does not end must still be killed.
    for (int probe = 0; probe < probes; ++probe) {
        if (platform::seams.send_signal(agent.get(), pid, 0) != 0 && errno == ESRCH) {
            return;
        }
        platform::seams.pause_for(pause_after_probe);
    }
    (void)platform::seams.send_signal(agent.get(), pid, SIGKILL);
}

}  // namespace

long max_process_id() {
    std::ifstream in("/proc/sys/kernel/pid_max");
    long value = 0;
    if (in >> value && value > 0) {
        return value;
    }
    return pid_limit;
}

void stop_agent(long pid, const std::string& unit_file, bool systemd, const change_notice& notice) {
    if (systemd) {
        patch_service_unit(unit_file, notice);
        log_info("Stopping systemd service");
        run_command(std::string("systemctl stop ") + agent_unit_name);
        return;
    }
    log_info("Killing daemon");
    if (pid < 1 || pid > max_process_id()) {
        log_err("Invalid agent process id %ld", pid);
        return;
    }
    wait_then_kill(pid);
}

}  // namespace kest
