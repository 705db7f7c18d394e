#include "service/restart_agent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "base/platform.h"
#include "support/test_support.h"

namespace kest {
namespace {

using testing::commands;
using testing::err;
using testing::info;
using testing::logged;
using testing::pauses;
using namespace std::chrono_literals;

const std::vector<std::string> systemd_commands = {
    "chmod 644 /etc/systemd/system/kest-watcher.service",
    "chmod 644 /etc/systemd/system/kest.service",
    "systemctl enable kest-watcher",
    "systemctl enable kest",
    "systemctl daemon-reload",
    "systemctl restart kest-watcher",
    "systemctl restart kest",
};

class restart_agent_test : public testing::seam_test {};

TEST_F(restart_agent_test, systemd_restart_that_succeeds_runs_exactly_the_unit_commands) {
    restart_agent("/usr/sbin/kestd -d", true);
    EXPECT_EQ(commands, systemd_commands);
    EXPECT_EQ(logged, (std::vector{info("Enabling services and reloading systemd"),
                                   info("Restart the daemons via systemd")}));
    EXPECT_TRUE(pauses.empty());
}

TEST_F(restart_agent_test, without_systemd_a_working_service_command_is_all) {
    restart_agent("/usr/sbin/kestd -d", false);
    EXPECT_EQ(commands, std::vector<std::string>{"service kest start"});
    EXPECT_EQ(logged, std::vector{info("Start the daemon via 'service' command")});
}

TEST_F(restart_agent_test, systemd_failure_falls_back_to_service_then_start_command) {
    testing::shell_status = [](const std::string& command) {
        return command == "systemctl restart kest" || command == "service kest start" ? 1 << 8 : 0;
    };
    restart_agent("/opt/agent 'quoted; arg' %n", true);

    std::vector<std::string> expected = systemd_commands;
    expected.insert(expected.end(), {"service kest start", "/opt/agent 'quoted; arg' %n"});
    EXPECT_EQ(commands, expected);
    EXPECT_EQ(logged, (std::vector{info("Enabling services and reloading systemd"),
                                   info("Restart the daemons via systemd"),
                                   err("Failed to execute 'systemctl restart kest': error code 1"),
                                   err("Could not start the daemon via systemd"),
                                   err("Start the daemon via 'service' command"),
                                   err("Failed to execute 'service kest start': error code 1"),
                                   err("Could not start the daemon via 'service' command"),
                                   err("Start the daemon service via /usr/sbin/kestd")}));
}

TEST_F(restart_agent_test, everything_failing_gives_five_attempts_and_a_final_line) {
    testing::shell_status = [](const std::string& command) {
        return command == "start-agent" ? 7 << 8 : 1 << 8;
    };
    restart_agent("start-agent", true);

    EXPECT_EQ(commands.size(), 5u * 9u);
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(4, 1s));
    std::vector<testing::log_line> ours;
    for (const auto& line : logged) {
        if (line.text.rfind("Could not start the daemon", 0) == 0 &&
            line.text.find("via") == std::string::npos) {
            ours.push_back(line);
        }
    }
    EXPECT_EQ(ours, (std::vector{err("Could not start the daemon. Retry 1"),
                                 err("Could not start the daemon. Retry 2"),
                                 err("Could not start the daemon. Retry 3"),
                                 err("Could not start the daemon. Retry 4"),
                                 err("Could not start the daemon after 4 retries. Error code 7")}));
    EXPECT_EQ(logged.back(), err("Could not start the daemon after 4 retries. Error code 7"));
}

TEST_F(restart_agent_test, start_command_succeeding_on_the_third_attempt_stops_the_retries) {
    int starts = 0;
    testing::shell_status = [&starts](const std::string& command) {
        if (command == "start-agent") {
            return ++starts == 3 ? 0 : 1 << 8;
        }
        return 1 << 8;
    };
    restart_agent("start-agent", false);

    EXPECT_EQ(starts, 3);
    EXPECT_EQ(pauses.size(), 2u);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), err("Could not start the daemon. Retry 2")),
              1);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), err("Could not start the daemon. Retry 3")),
              0);
    EXPECT_EQ(logged.back(), err("Start the daemon via /usr/sbin/kestd"));
}

TEST_F(restart_agent_test, every_attempt_takes_the_way_the_run_found) {
    int starts = 0;
    testing::shell_status = [&starts](const std::string& command) {
        return command == "start-agent" && ++starts == 2 ? 0 : 1 << 8;
    };
    restart_agent("start-agent", true);

    std::vector<std::string> expected = systemd_commands;
    expected.insert(expected.end(), {"service kest start", "start-agent"});
    expected.insert(expected.end(), systemd_commands.begin(), systemd_commands.end());
    expected.insert(expected.end(), {"service kest start", "start-agent"});
    EXPECT_EQ(commands, expected);
}

TEST_F(restart_agent_test, start_command_reaches_the_shell_exactly_as_given) {
    // Only the start command runs for real; "service kest start" fails without running.
    platform::seams.shell = [](const char* command) {
        testing::commands.emplace_back(command);
        return std::string(command) == "service kest start" ? 1 << 8
                                                            : platform::real::shell(command);
    };
    testing::scratch_dir dir;
    const std::string out = dir / "out";
    const std::string start =
        "printf '%s|' \"$0\" 'a b' \"c;d\" '%n' \"it's\" >> '" + out + "'; exit 0 # %s %n";

    restart_agent(start, false);
    EXPECT_EQ(testing::read_file(out), "sh|a b|c;d|%n|it's|");
    EXPECT_EQ(commands, (std::vector<std::string>{"service kest start", start}));
    EXPECT_EQ(logged.back(), err("Start the daemon via /usr/sbin/kestd"));

    logged.clear();
    const std::string failing = "exit 9; '%s%n' \"%d\"";
    restart_agent(failing, false);
    EXPECT_EQ(logged.back(), err("Could not start the daemon after 4 retries. Error code 9"));
    EXPECT_EQ(std::count(logged.begin(), logged.end(),
                         err("Failed to execute '" + failing + "': error code 9")),
              5);
}

TEST_F(restart_agent_test, shell_that_cannot_start_gives_error_code_255) {
    testing::shell_status = [](const std::string&) { return -1; };
    restart_agent("start-agent", false);
    EXPECT_EQ(logged.back(), err("Could not start the daemon after 4 retries. Error code 255"));
}

}  // namespace
}  // namespace kest
