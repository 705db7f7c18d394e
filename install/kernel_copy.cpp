#include "install/kernel_copy.h"

#include <map>

namespace kest {
namespace {

// For each file system that a file tried: whether the kernel could copy it.
std::map<dev_t, bool>& verdicts() {
    static std::map<dev_t, bool> known;
    return known;
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
    const kernel_copy_result result = copy_rest_in_kernel(source, destination);
    // emplace keeps the first verdict; a failure says nothing of whether the kernel can copy.
    if (result != kernel_copy_result::failed) {
        verdicts().emplace(device, result == kernel_copy_result::complete);
    }
    return result;
}

void forget_kernel_copy_verdicts() {
    verdicts().clear();
}

}  // namespace kest
