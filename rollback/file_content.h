// How the undo record copies a file's content and metadata, into a kept copy and back, and tells
// whether a file is as it was kept.
#pragma once

#include <sys/stat.h>

#include "base/extended_attributes.h"

namespace kest {

// Copies all of `from`, from its offset, into `to` at its offset: by sharing extents (FICLONE,
// the whole file) when `may_clone` and `clone_refused` is false, else by the kernel's copy, else
// through a buffer of a fixed size. Sets `clone_refused` when the file system cannot share
// extents, so that it is not asked again. Returns 0, or an errno.
int copy_content(int from, int to, bool may_clone, bool& clone_refused);

// Whether the files open as `one` and `other` hold the same bytes (read from their offsets).
bool same_content(int one, int other);

// Gives the file open as `fd` the owner, group, mode (set-id bits included) and modification
// time of `model`, and, unless `attributes` is null, exactly those extended attributes: the
// owner first, since a change of owner clears the set-id bits and the file capability. Returns 0,
// or an errno.
int take_metadata(int fd, const struct stat& model, const extended_attributes* attributes);

// Whether a file whose status is `now` has the type, owner, group, mode, size and modification
// time of `model`, and, unless `attributes` is null, those extended attributes (read from `fd`).
bool same_metadata(int fd, const struct stat& now, const struct stat& model,
                   const extended_attributes* attributes);

}  // namespace kest
