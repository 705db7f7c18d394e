// The kernel's own copy of a file's content, which moves the bytes without bringing them into
// this process.
#pragma once

#include <sys/stat.h>

namespace kest {

enum class kernel_copy_result {
    complete,  // the rest of the source is in the destination
    failed,    // copying failed, part way or at once; errno says why
    not_done,  // nothing was copied: the caller copies the content another way
};

// Copies the rest of the regular file open at `source`, whose status is `source_status`, into
// `destination`, whose status is `destination_status`, each from its own offset, by asking the
// kernel to copy. Does nothing when `destination` is no regular file on the source's file system,
// when the source is empty by its status (some pseudo files hold bytes all the same), and when the
// kernel cannot copy the file: it lacks the call, refuses it before anything was copied or copies
// nothing of a file that is not empty. The first file that tries a file system decides for the
// later ones: once the kernel could not copy it, none is tried there again. Logs nothing.
kernel_copy_result copy_in_kernel(int source, const struct stat& source_status, int destination,
                                  const struct stat& destination_status);

// For tests: forgets what each file system's first file decided, as at start-up.
void forget_kernel_copy_verdicts();

}  // namespace kest
