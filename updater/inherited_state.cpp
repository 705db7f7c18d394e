#include "updater/inherited_state.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/directory_handle.h"
#include "base/system_calls.h"

namespace kest {
namespace {

bool set_close_on_exec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0) {
        return errno == EBADF;  // closed since it was listed: nothing to mark
    }
    return (flags & FD_CLOEXEC) != 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

// Marks every descriptor number below the limit on open descriptors, for a process that has
// neither close_range nor /proc (a chroot without it). Slow where the limit is very high.
bool mark_descriptors_below_limit_close_on_exec(int first) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    bool marked = true;
    for (rlim_t fd = static_cast<rlim_t>(first); fd < limit.rlim_cur; ++fd) {
        marked = set_close_on_exec(static_cast<int>(fd)) && marked;
    }
    return marked;
}

// Marks what /proc/self/fd lists, for kernels without close_range's CLOEXEC flag.
bool mark_listed_descriptors_close_on_exec(int first) {
    const directory_handle listing(opendir("/proc/self/fd"));
    if (!listing) {
        return mark_descriptors_below_limit_close_on_exec(first);
    }
    const int own = dirfd(listing.get());
    bool marked = true;
    errno = 0;
    while (const dirent* entry = readdir(listing.get())) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && end != entry->d_name && fd >= first && fd != own) {
            marked = set_close_on_exec(static_cast<int>(fd)) && marked;
        }
        errno = 0;
    }
    return marked && errno == 0;
}

}  // namespace

void reset_signal_handling() {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    (void)sigemptyset(&default_action.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        // SIGKILL, SIGSTOP and the signals the C library keeps for itself refuse with EINVAL;
        // their dispositions cannot have been changed either.
        (void)sigaction(signal, &default_action, nullptr);
    }
    sigset_t empty{};
    (void)sigemptyset(&empty);
    (void)sigprocmask(SIG_SETMASK, &empty, nullptr);
}

bool mark_descriptors_close_on_exec(int first) {
    if (syscall(system_call::close_range, static_cast<unsigned>(first), ~0U,
                system_call::close_range_cloexec) == 0) {
        return true;
    }
    // ENOSYS before Linux 5.9, EINVAL for the flag before 5.11, EPERM from a filter.
    return mark_listed_descriptors_close_on_exec(first);
}

}  // namespace kest
