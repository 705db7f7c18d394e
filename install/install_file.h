// Installs one staged regular file at its destination.
#pragma once

#include <sys/types.h>

#include <string>

#include "install/install_state.h"

namespace kest {

// Writes the bytes of `source` to `destination` in place (copy_file): an existing destination
// keeps its inode, owner and mode, a missing one is created with the permission bits of
// `create_mode`. A failing copy is attempted `attempts_per_entry` times in all, pausing between
// attempts. A destination that a running program keeps from being rewritten is replaced instead
// (replace_file), after logging "Replacing busy file %s" at info: at once when it is the
// executable this process runs from or when an earlier busy file of the run (`state`) has used
// up its attempts, else when the last attempt has also found it busy.
// Before writing, tells `state.notice` what it is about to change where the write lands (a
// rewrite or a new file, and a replacement before replacing); a notice that fails stops the
// entry with -2 and its error, nothing written.
// Logs a failure at err, once the attempts are used up: first why, when the system gave a
// reason ("Cannot read %s: %s" with `source` or "Cannot write %s: %s" with `destination`, kept
// in `state.cause` too), then "Failed to copy %s: error %d" with `source` and the code.
// Returns 0, or the code of the last copy or of the replacement (-1, -2, -3).
int install_file(const std::string& source, const std::string& destination, mode_t create_mode,
                 install_state& state);

}  // namespace kest
