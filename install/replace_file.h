// Replaces a file with a new one holding a staged file's bytes, for a destination that must not
// or cannot be rewritten in place because a program runs it.
#pragma once

#include <string>

#include "install/copy_result.h"

namespace kest {

// Writes the bytes of `source` into a new file in the directory of the file that `destination`
// names (the file a symbolic link leads to, so that the link stays a link), gives the new file
// that file's owner, group and mode, set-id bits included, and its extended attributes but the
// file capability (which a rewrite in place would lose too), flushes it to disk and renames it
// over that file. A program running the old file keeps it; the path names the new one. While it
// is written the new file is open to its owner only, and it is never left behind: on any failure
// it is removed and the destination is untouched. A destination that is the source file itself
// is left untouched. Logs nothing.
// The result's code is 0 on success;
// -1 when the source cannot be opened or is not a regular file;
// -2 when the destination is no existing regular file, or the new file cannot be created, given
//    the owner and mode, or renamed over it;
// -3 when reading, writing or flushing the content failed part way.
// A failure carries the system's error and the side that met it.
copy_result replace_file(const std::string& source, const std::string& destination);

}  // namespace kest
