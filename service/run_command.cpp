#include "service/run_command.h"

#include "base/log.h"
#include "base/platform.h"

namespace kest {

int command_exit_code(int status) {
    // -1, for a shell that could not be started, gives 255.
    return (status >> 8) & 0xff;
}

int run_command(const std::string& command) {
    const int status = platform::seams.shell(command.c_str());
    if (status != 0) {
        log_err("Failed to execute '%s': error code %d", command.c_str(),
                command_exit_code(status));
    }
    return status;
}

}  // namespace kest
