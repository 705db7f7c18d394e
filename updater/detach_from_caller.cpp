#include "updater/detach_from_caller.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "base/log.h"
#include "base/platform.h"
#include "updater/inherited_state.h"
#include "updater/standard_descriptors.h"

namespace kest {

void detach_from_caller(const char* directory) {
    const pid_t child = fork();
    if (child < 0) {
        std::exit(1);
    }
    if (child > 0) {
        std::exit(0);
    }
    // A caller's ignored SIGCHLD would make every command's status unreadable, and its open
    // descriptors would pass to every command and to the agent that the start command launches.
    // Marked, not closed: the log channel uses one of them.
    reset_signal_handling();
    (void)mark_descriptors_close_on_exec(STDERR_FILENO + 1);
    // Everything the update creates from here on gets exactly the mode it asks for.
    umask(0);
    if (setsid() < 0) {
        log_err("Failed to create a new sid");
        std::exit(1);
    }
    if (chdir(directory) != 0) {
        log_err("Failed to change the current working directory");
        std::exit(1);
    }
    // Left closed, 0-2 would be reused by the next files opened and handed to every command
    // run from here on as its standard streams.
    point_standard_descriptors_at_null();
}

}  // namespace kest

namespace kest::platform::real {

void detach(const char* directory) {
    detach_from_caller(directory);
}

}  // namespace kest::platform::real
