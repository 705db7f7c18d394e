#include "base/kernel_copy.h"

#include <cerrno>
#include <cstddef>

#include "base/platform.h"
#include "base/retry_on_eintr.h"

namespace kest {
namespace {

// At most this much per call, so that the count always fits the call's signed result.
constexpr std::size_t chunk_size = std::size_t{1} << 30;

}  // namespace

bool kernel_cannot_copy(int error) {
    switch (error) {
        case ENOSYS:
        case EXDEV:
        case EOPNOTSUPP:
        case ENOTTY:
        case EINVAL:
        case EBADF:
        case ETXTBSY:
        case EPERM:
        case EACCES:
            return true;
        default:
            return false;
    }
}

kernel_copy_result copy_rest_in_kernel(int in, int out) {
    for (bool first = true;; first = false) {
        const ssize_t copied =
            retry_on_eintr([&] { return platform::seams.copy_range(in, out, chunk_size); });
        if (copied > 0) {
            continue;
        }
        if (!first) {
            return copied == 0 ? kernel_copy_result::complete : kernel_copy_result::failed;
        }
        return copied == 0 || kernel_cannot_copy(errno) ? kernel_copy_result::not_done
                                                        : kernel_copy_result::failed;
    }
}

}  // namespace kest
