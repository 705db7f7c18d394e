#include "rollback/file_content.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "base/platform.h"
#include "base/retry_on_eintr.h"

namespace kest {
namespace {

// At most this much per kernel copy call, so that the count fits its signed result.
constexpr std::size_t chunk_size = std::size_t{1} << 30;

// Static, so that nothing is allocated per file; split in halves for a comparison.
constexpr std::size_t buffer_size = std::size_t{128} << 10;
char buffer[buffer_size];

// Failures that say the kernel cannot copy between these two files at all.
bool kernel_cannot_copy(int error) {
    return error == ENOSYS || error == EXDEV || error == EOPNOTSUPP || error == ENOTTY ||
           error == EINVAL || error == EBADF || error == EPERM || error == EACCES;
}

// Reads up to `count` bytes, fewer only at the end of the file; -1 with errno on failure.
ssize_t read_full(int fd, char* into, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = retry_on_eintr([&] { return read(fd, into + done, count - done); });
        if (got <= 0) {
            return got < 0 ? -1 : static_cast<ssize_t>(done);
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

int copy_through_buffer(int from, int to) {
    for (;;) {
        const ssize_t got = read_full(from, buffer, buffer_size);
        if (got <= 0) {
            return got == 0 ? 0 : errno;
        }
        for (ssize_t put = 0; put < got;) {
            const ssize_t written = retry_on_eintr(
                [&] { return write(to, buffer + put, static_cast<std::size_t>(got - put)); });
            if (written <= 0) {
                return written < 0 ? errno : EIO;
            }
            put += written;
        }
    }
}

}  // namespace

int copy_content(int from, int to, bool may_clone, bool& clone_refused) {
    if (may_clone && !clone_refused) {
        if (ioctl(to, FICLONE, from) == 0) {
            return 0;
        }
        // Other failures (a full disk, say) may pass: only these say the file system cannot.
        clone_refused = errno == EOPNOTSUPP || errno == EINVAL || errno == ENOTTY ||
                        errno == EXDEV || errno == ENOSYS;
    }
    for (bool first = true;; first = false) {
        const ssize_t copied =
            retry_on_eintr([&] { return platform::copy_range(from, to, chunk_size); });
        if (copied > 0) {
            continue;
        }
        if (!first) {
            return copied == 0 ? 0 : errno;
        }
        // Nothing copied yet: an empty file or one the kernel cannot copy goes through the buffer.
        if (copied < 0 && !kernel_cannot_copy(errno)) {
            return errno;
        }
        return copy_through_buffer(from, to);
    }
}

bool same_content(int one, int other) {
    constexpr std::size_t half = buffer_size / 2;
    for (;;) {
        const ssize_t got = read_full(one, buffer, half);
        if (got < 0 || read_full(other, buffer + half, half) != got ||
            std::memcmp(buffer, buffer + half, static_cast<std::size_t>(got)) != 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
    }
}

int take_metadata(int fd, const struct stat& model) {
    // The access time is left: reading the kept copy may change its own.
    const timespec times[2] = {{0, UTIME_OMIT}, model.st_mtim};
    if (fchown(fd, model.st_uid, model.st_gid) != 0 || fchmod(fd, model.st_mode & 07777) != 0 ||
        futimens(fd, times) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace kest
