#include "guard/update_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace kest {

int lock_working_directory(unique_fd& lock) {
    // The directory that was entered and checked, not whatever its path names by now.
    lock.reset(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock.valid()) {
        return errno;
    }
    while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            const int error = errno;
            lock.reset();
            return error;
        }
    }
    return 0;
}

}  // namespace kest
