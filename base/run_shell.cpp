#include "base/run_shell.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/retry_on_eintr.h"

namespace kest {

// Not system(): since glibc 2.34 it starts the shell with clone3 and falls back to clone only on
// ENOSYS. A container whose system-call filter refuses clone3 with EPERM then runs no command at
// all, and system() reports 127 as if the shell had failed. fork() uses clone, which every kernel
// and filter allows.
int run_shell(const char* command) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    (void)sigemptyset(&ignore.sa_mask);
    struct sigaction interrupt {};
    struct sigaction quit {};
    sigset_t child_ended{};
    sigset_t mask{};
    (void)sigemptyset(&child_ended);
    (void)sigaddset(&child_ended, SIGCHLD);
    // Valid signals and pointers: these calls cannot fail.
    (void)sigaction(SIGINT, &ignore, &interrupt);
    (void)sigaction(SIGQUIT, &ignore, &quit);
    (void)sigprocmask(SIG_BLOCK, &child_ended, &mask);

    const pid_t child = fork();
    if (child == 0) {
        (void)sigaction(SIGINT, &interrupt, nullptr);
        (void)sigaction(SIGQUIT, &quit, nullptr);
        (void)sigprocmask(SIG_SETMASK, &mask, nullptr);
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    if (child > 0 && retry_on_eintr([&] { return waitpid(child, &status, 0); }) < 0) {
        status = -1;
    }
    (void)sigaction(SIGINT, &interrupt, nullptr);
    (void)sigaction(SIGQUIT, &quit, nullptr);
    (void)sigprocmask(SIG_SETMASK, &mask, nullptr);
    return status;
}

}  // namespace kest
