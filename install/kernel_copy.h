// The installer's use of the kernel's copy: tried once per file system, then remembered.
#pragma once

#include <sys/stat.h>

#include "base/kernel_copy.h"

namespace kest {

// Copies the rest of the regular file open at `source`, whose status is `source_status`, into
// `destination`, whose status is `destination_status`, each from its own offset, by asking the
// kernel to copy (copy_rest_in_kernel). Does nothing (not_done) when `destination` is no regular
// file on the source's file system, when the source is empty by its status (some pseudo files
// hold bytes all the same), and when the kernel cannot copy the file. The first file that tries a
// file system decides for the later ones: once the kernel could not copy it, none is tried there
// again. Logs nothing.
kernel_copy_result copy_in_kernel(int source, const struct stat& source_status, int destination,
                                  const struct stat& destination_status);

// For tests: forgets what each file system's first file decided, as at start-up.
void forget_kernel_copy_verdicts();

}  // namespace kest
