#include "guard/refusal.h"

#include <cstring>

#include "base/log.h"

namespace kest {

void log_refusal(const refusal& why) {
    const char* path = why.path.c_str();
    if (why.reason == refusal_reason::others_can_change) {
        log_err("Refusing the update: other users can change %s", path);
    } else if (why.reason == refusal_reason::cannot_write) {
        log_err("Refusing the update: cannot write %s: %s", path, std::strerror(why.error));
    } else if (why.reason == refusal_reason::cannot_read) {
        log_err("Refusing the update: cannot read %s: %s", path, std::strerror(why.error));
    } else if (why.reason == refusal_reason::not_enough_space) {
        log_err("Refusing the update: not enough space on %s: %llu KiB needed, %llu KiB available",
                path, why.needed, why.available);
    } else if (why.reason == refusal_reason::too_large) {
        log_err("Refusing the update: the staged tree is too large: %s", path);
    } else if (why.reason == refusal_reason::not_enough_inodes) {
        log_err("Refusing the update: not enough inodes on %s: %llu needed, %llu available", path,
                why.needed, why.available);
    }
}

}  // namespace kest
