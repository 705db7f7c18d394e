#include "service/restart_agent.h"

#include <chrono>

#include "base/constants.h"
#include "base/log.h"
#include "base/platform.h"
#include "service/run_command.h"

namespace kest {
namespace {

constexpr int retries = 4;
constexpr std::chrono::seconds pause_before_retry{1};

// "service kest start", then, when that fails, the start command, announced as `last_resort`
// followed by the agent executable's name, whatever the start command is. Returns the status of
// the last command run.
int start_through_service(const std::string& start_command, const char* last_resort) {
    if (run_command(service_start_command) == 0) {
        return 0;
    }
    log_err("Could not start the daemon via 'service' command");
    log_err("%s", (last_resort + std::string(agent_unit_name) + "d").c_str());
    return run_command(start_command);
}

// One attempt through systemd and its fallbacks. Returns 0 when the agent was started by one of
// the ways that end the restart, else the start command's status.
int attempt_with_systemd(const std::string& start_command) {
    log_info("Enabling services and reloading systemd");
    run_command(std::string("chmod 644 ") + watcher_unit_file);
    run_command(std::string("chmod 644 ") + agent_unit_file);
    run_command(std::string("systemctl enable ") + watcher_unit_name);
    run_command(std::string("systemctl enable ") + agent_unit_name);
    run_command("systemctl daemon-reload");
    log_info("Restart the daemons via systemd");
    run_command(std::string("systemctl restart ") + watcher_unit_name);
    if (run_command(std::string("systemctl restart ") + agent_unit_name) == 0) {
        return 0;
    }
    log_err("Could not start the daemon via systemd");
    log_err("Start the daemon via 'service' command");
    return start_through_service(start_command, "Start the daemon service via /usr/sbin/");
}

int attempt_without_systemd(const std::string& start_command) {
    log_info("Start the daemon via 'service' command");
    return start_through_service(start_command, "Start the daemon via /usr/sbin/");
}

}  // namespace

bool restart_agent(const std::string& start_command, bool systemd) {
    for (int retry = 0;; ++retry) {
        const int status =
            systemd ? attempt_with_systemd(start_command) : attempt_without_systemd(start_command);
        if (status == 0) {
            return true;
        }
        if (retry == retries) {
            log_err("Could not start the daemon after %d retries. Error code %d", retries,
                    command_exit_code(status));
            return false;
        }
        log_err("Could not start the daemon. Retry %d", retry + 1);
        platform::seams.pause_for(pause_before_retry);
    }
}

}  // namespace kest
