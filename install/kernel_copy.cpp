#include "install/kernel_copy.h"

#include <cerrno>
#include <cstddef>
#include <map>

#include "base/platform.h"
#include "base/retry_on_eintr.h"

namespace kest {
namespace {

// At most this much per call, so that the count always fits the call's signed result.
constexpr std::size_t chunk_size = std::size_t{1} << 30;

// For each file system that a file tried: whether the kernel could copy it.
std::map<dev_t, bool>& verdicts() {
    static std::map<dev_t, bool> known;
    return known;
}

// Failures that say the kernel cannot copy between these two files at all: no such call (old
// kernels), refused by a filter (EPERM), not between these file systems or file types.
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

// Whether to ask the kernel at all: no verdict yet, or a verdict for the kernel.
bool worth_trying(dev_t device) {
    const auto known = verdicts().find(device);
    return known == verdicts().end() || known->second;
}

}  // namespace

kernel_copy_result copy_in_kernel(int source, const struct stat& source_status, int destination,
                                  const struct stat& destination_status) {
    const dev_t device = destination_status.st_dev;
    if (!S_ISREG(source_status.st_mode) || source_status.st_size == 0 ||
        !S_ISREG(destination_status.st_mode) || device != source_status.st_dev ||
        !worth_trying(device)) {
        return kernel_copy_result::not_done;
    }
    bool first = true;
    for (;;) {
        const ssize_t copied =
            retry_on_eintr([&] { return platform::copy_range(source, destination, chunk_size); });
        if (copied > 0) {
            // emplace keeps the first verdict.
            verdicts().emplace(device, true);
            first = false;
            continue;
        }
        if (!first) {
            return copied == 0 ? kernel_copy_result::complete : kernel_copy_result::failed;
        }
        // The first call: nothing copied yet, so the file can still go another way.
        if (copied == 0 || kernel_cannot_copy(errno)) {
            verdicts().emplace(device, false);
            return kernel_copy_result::not_done;
        }
        return kernel_copy_result::failed;
    }
}

void forget_kernel_copy_verdicts() {
    verdicts().clear();
}

}  // namespace kest
