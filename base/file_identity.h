// Which file a status names, and the two questions the checks and the copy ask of it.
#pragma once

#include <sys/stat.h>

#include "base/platform.h"

namespace kest {

inline platform::file_identity identity_of(const struct stat& status) {
    return {status.st_dev, status.st_ino};
}

// True when both name one file.
inline bool same_file(platform::file_identity one, platform::file_identity other) {
    return one.device == other.device && one.inode == other.inode;
}

// True when `file` is the executable this process runs from.
inline bool is_own_executable(platform::file_identity file) {
    return same_file(file, platform::seams.own_executable());
}

}  // namespace kest
