#include "base/write_all.h"

#include <unistd.h>

#include <cerrno>

#include "base/retry_on_eintr.h"

namespace kest {

bool write_all(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = retry_on_eintr([&] { return write(fd, bytes, count); });
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace kest
