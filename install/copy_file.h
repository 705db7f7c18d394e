// Copies one file's bytes over another in place.
#pragma once

#include <sys/types.h>

#include <string>

#include "install/copy_result.h"

namespace kest {

// Rewrites `destination` in place with the bytes of `source`: an existing destination is
// truncated and keeps its inode, owner and mode; a missing one is created with the permission
// bits of `create_mode` (set-id and sticky bits dropped), reduced only by the creation mask.
// A destination that is the source file itself is left untouched, and the executable this
// process runs from is never truncated. Memory use does not depend on the file's size. Logs
// nothing.
// The result's code is 0 when every byte was read, written and the destination closed cleanly;
// -1 when the source cannot be opened or is not a regular file (the destination is not touched);
// -2 when the destination cannot be opened for writing (ETXTBSY for a running executable, this
//    process's own included);
// -3 when reading, writing or closing failed part way (the destination may be incomplete).
// A failure carries the system's error and the side that met it.
copy_result copy_file(const std::string& source, const std::string& destination,
                      mode_t create_mode);

// For tests: forgets what earlier copies taught (whether the next destination is likely missing,
// and each file system's verdict on the kernel's copy), as at start-up.
void forget_copy_guesses();

}  // namespace kest
