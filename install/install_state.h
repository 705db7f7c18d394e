// What one run's copy keeps from one entry to the next, and tells its caller at the end.
#pragma once

#include <string>

#include "shared/change_notice.h"
#include "shared/landing.h"

namespace kest {

struct install_state {
    // Told before each change the copy makes; when empty, nothing is told.
    change_notice notice;
    // Why the entry that failed did ("Cannot write %s: %s" or "Cannot read %s: %s"), "" when
    // the system gave no reason or nothing failed.
    std::string cause;
    // A busy file has used up its attempts: later ones are replaced at once.
    bool waited_for_busy = false;
    // What the lookups of where each write lands have learned.
    known_directories known;
};

}  // namespace kest
