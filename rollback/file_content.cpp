#include "rollback/file_content.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "base/file_metadata.h"
#include "base/kernel_copy.h"
#include "base/retry_on_eintr.h"
#include "base/write_all.h"

namespace kest {
namespace {

// Static, so that nothing is allocated per file; split in halves for a comparison.
constexpr std::size_t buffer_size = std::size_t{128} << 10;
char buffer[buffer_size];

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
        if (!write_all(to, buffer, static_cast<std::size_t>(got))) {
            return errno;
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
    switch (copy_rest_in_kernel(from, to)) {
        case kernel_copy_result::complete:
            return 0;
        case kernel_copy_result::failed:
            return errno;
        case kernel_copy_result::not_done:
            break;
    }
    return copy_through_buffer(from, to);
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

int take_metadata(int fd, const struct stat& model, const extended_attributes* attributes) {
    if (const int error = give_owner_and_mode(fd, model.st_uid, model.st_gid, model.st_mode);
        error != 0) {
        return error;
    }
    if (attributes != nullptr) {
        if (const int error = write_extended_attributes(fd, *attributes); error != 0) {
            return error;
        }
    }
    // The access time is left: reading the kept copy may change its own.
    const timespec times[2] = {{0, UTIME_OMIT}, model.st_mtim};
    return futimens(fd, times) == 0 ? 0 : errno;
}

bool same_metadata(int fd, const struct stat& now, const struct stat& model,
                   const extended_attributes* attributes) {
    if (now.st_mode != model.st_mode || now.st_uid != model.st_uid || now.st_gid != model.st_gid ||
        now.st_size != model.st_size || now.st_mtim.tv_sec != model.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != model.st_mtim.tv_nsec) {
        return false;
    }
    extended_attributes current;
    return attributes == nullptr ||
           (read_extended_attributes(fd, current) == 0 && current == *attributes);
}

}  // namespace kest
