// Why the checks made before detaching refuse an update, and how that is logged.
#pragma once

#include <string>

namespace kest {

enum class refusal_reason {
    none,
    others_can_change,  // `path` could be changed by a user other than root and our own
    cannot_write,       // `path` cannot be written or created, for the reason `error`
    cannot_read,        // the staged `path` cannot be read, for the reason `error`
    not_enough_space,   // the file system mounted at `path` lacks room: `needed`, `available`
    not_enough_inodes,  // ... lacks inodes
    too_large,          // the walk of the staged tree went beyond its bounds at `path`
};

struct refusal {
    refusal_reason reason = refusal_reason::none;
    std::string path;
    int error = 0;
    unsigned long long needed = 0;     // KiB or inodes
    unsigned long long available = 0;  // KiB or inodes
};

inline bool refused(const refusal& why) {
    return why.reason != refusal_reason::none;
}

// Logs the refusal at err, one line beginning with "Refusing the update: ".
void log_refusal(const refusal& why);

}  // namespace kest
