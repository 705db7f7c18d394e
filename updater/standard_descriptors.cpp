#include "updater/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/retry_on_eintr.h"

namespace kest {
namespace {

// Opens /dev/null with `flags` onto descriptor `target`; false when it cannot.
bool open_null_on(int target, int flags) {
    const int fd = retry_on_eintr([&] { return open("/dev/null", flags); });
    if (fd < 0) {
        return false;
    }
    if (fd == target) {
        return true;
    }
    const bool moved = dup2(fd, target) == target;
    (void)close(fd);
    return moved;
}

int null_flags_for(int fd) {
    return fd == STDIN_FILENO ? O_RDONLY : O_WRONLY;
}

}  // namespace

void fill_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            (void)open_null_on(fd, null_flags_for(fd));
        }
    }
}

void point_standard_descriptors_at_null() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        (void)close(fd);
    }
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (!open_null_on(fd, null_flags_for(fd))) {
            return;
        }
    }
}

}  // namespace kest
