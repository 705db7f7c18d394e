// How the installer reads a staged file and writes its bytes: one transfer shared by the
// in-place copy and the replacement of busy files.
#pragma once

#include <sys/stat.h>

#include <string>

#include "base/unique_fd.h"
#include "install/copy_result.h"

namespace kest {

// A staged file open for reading, with the status of what was opened.
struct staged_file {
    unique_fd fd;
    struct stat status {};
};

// Opens the regular file `source` for reading into `file`. Returns 0, or -1 when `source` is not
// a regular file (a FIFO is refused without waiting for a writer) or cannot be opened.
copy_result open_staged_file(const std::string& source, staged_file& file);

// Writes the rest of `source` into `destination`, whose status is `destination_status`, from its
// offset, and leaves `destination` open. The kernel copies the bytes where it can
// (kernel_copy.h), otherwise they pass through one buffer of a fixed size: memory use does not
// depend on the file's size.
// Returns 0 when `source` was read to its end and every byte written; -3 when reading or writing
// failed part way.
copy_result transfer(const staged_file& source, int destination,
                     const struct stat& destination_status);

}  // namespace kest
