#include "updater/platform.h"

#include <signal.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#include <time.h>

#include <cerrno>
#include <cstdlib>

#include "updater/detach_from_caller.h"
#include "updater/systemd_present.h"

namespace kest::platform {
namespace {

void real_pause_for(std::chrono::milliseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec left{};
    left.tv_sec = static_cast<time_t>(seconds.count());
    left.tv_nsec = static_cast<long>(std::chrono::nanoseconds(duration - seconds).count());
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool real_systemd_check() {
    return systemd_installed("/usr/lib/systemd", "/lib/systemd");
}

int real_shell(const char* command) {
    // The commands are fixed texts and the caller's own start command, run through the shell
    // as given by design.
    return std::system(command);  // NOLINT(cert-env33-c)
}

int real_send_signal(int pidfd, long pid, int signal) {
    if (pidfd >= 0) {
        return pidfd_send_signal(pidfd, signal, nullptr, 0);
    }
    return kill(static_cast<pid_t>(pid), signal);
}

}  // namespace

void (*pause_for)(std::chrono::milliseconds) = real_pause_for;
bool (*systemd_check)() = real_systemd_check;
int (*shell)(const char*) = real_shell;
void (*detach)(const char*) = detach_from_caller;
int (*send_signal)(int, long, int) = real_send_signal;

}  // namespace kest::platform
