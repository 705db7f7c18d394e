#include "base/platform.h"

#include <fcntl.h>
#include <linux/stat.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "base/retry_on_eintr.h"
#include "base/run_shell.h"
#include "base/system_calls.h"
#include "base/unique_fd.h"

namespace kest::platform {
namespace real {

void pause_for(std::chrono::milliseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec left{};
    left.tv_sec = static_cast<time_t>(seconds.count());
    left.tv_nsec = static_cast<long>(std::chrono::nanoseconds(duration - seconds).count());
    (void)retry_on_eintr([&] { return nanosleep(&left, &left); });
}

int wait_until_readable(pollfd* fds, std::size_t count, std::chrono::milliseconds timeout) {
    using std::chrono::milliseconds;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A readable descriptor stays readable: it leaves the poll (poll skips negative ones), so
    // that the others are waited for.
    std::vector<pollfd> waiting(fds, fds + count);
    int left = static_cast<int>(count);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].revents = 0;
    }
    while (left > 0) {
        const auto remaining =
            std::max(milliseconds{0},
                     std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now()));
        const int ready =
            poll(waiting.data(), waiting.size(),
                 static_cast<int>(std::min<milliseconds::rep>(remaining.count(), INT_MAX)));
        if (ready < 0) {
            if (errno != EINTR) {
                return -1;
            }
            continue;
        }
        if (ready == 0) {
            break;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (waiting[i].fd >= 0 && waiting[i].revents != 0) {
                fds[i].revents = waiting[i].revents;
                waiting[i].fd = -1;
                --left;
            }
        }
    }
    return left;
}

bool systemd_present() {
    struct stat status {};
    return lstat("/run/systemd/system", &status) == 0 && S_ISDIR(status.st_mode);
}

int shell(const char* command) {
    // The commands are fixed texts and the caller's own start command, run through the shell
    // as given by design.
    return run_shell(command);
}

int status_of(const char* path, struct stat* status) {
    return stat(path, status);
}

int make_directory(const char* path, mode_t mode) {
    return mkdir(path, mode);
}

int open_file(const char* path, int flags, mode_t mode) {
    return retry_on_eintr([&] { return open(path, flags, mode); });
}

int open_pidfd(long pid) {
    // pidfd_open always sets close-on-exec on the descriptor it returns.
    return static_cast<int>(syscall(system_call::pidfd_open, static_cast<pid_t>(pid), 0U));
}

int send_signal(int pidfd, long pid, int signal) {
    if (pidfd < 0) {
        return kill(static_cast<pid_t>(pid), signal);
    }
    if (syscall(system_call::pidfd_send_signal, pidfd, signal, nullptr, 0U) == 0) {
        return 0;
    }
    if (errno != ENOSYS && errno != EPERM) {
        return -1;
    }
    // Refused by a filter that allows the pidfd itself. The pidfd still tells whether the process
    // has ended; until it has, its pid names no other process (only a pid freed and reused in
    // the moment between the two calls would be missed).
    pollfd ended{pidfd, POLLIN, 0};
    const int ready = retry_on_eintr([&] { return poll(&ended, 1, 0); });
    if (ready != 0) {
        errno = ready > 0 ? ESRCH : errno;
        return -1;
    }
    return kill(static_cast<pid_t>(pid), signal);
}

file_identity own_executable() {
    // The link keeps naming the file this process was started from, even once that file has been
    // replaced at its path; reading it once is enough.
    static const file_identity identity = [] {
        struct stat status {};
        if (stat("/proc/self/exe", &status) != 0) {
            return file_identity{0, 0};
        }
        return file_identity{status.st_dev, status.st_ino};
    }();
    return identity;
}

int stat_extended(const char* path, int flags, struct statx* status) {
    unsigned wanted =
        STATX_TYPE | STATX_MODE | STATX_INO | STATX_UID | STATX_GID | STATX_SIZE | STATX_BLOCKS;
#ifdef STATX_MNT_ID
    wanted |= STATX_MNT_ID;
#endif
    return static_cast<int>(
        syscall(system_call::statx, AT_FDCWD, path, flags | AT_STATX_SYNC_AS_STAT, wanted, status));
}

int flush_file_system(int fd) {
    return syncfs(fd);
}

int flush_file(int fd) {
    return fdatasync(fd);
}

std::string boot_id() {
    char text[64] = {};
    const unique_fd file(open_file("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC, 0));
    const ssize_t got =
        file.valid() ? retry_on_eintr([&] { return read(file.get(), text, sizeof text - 1); }) : -1;
    std::string id(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!id.empty() && id.back() == '\n') {
        id.pop_back();
    }
    return id;
}

ssize_t copy_range(int in, int out, std::size_t length) {
    return syscall(system_call::copy_file_range, in, static_cast<loff_t*>(nullptr), out,
                   static_cast<loff_t*>(nullptr), length, 0U);
}

}  // namespace real

services seams;

void reset_services() {
    seams = services{};
}

}  // namespace kest::platform
