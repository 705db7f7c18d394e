// The kernel's own copy of a file's content, which moves the bytes without bringing them into
// this process.
#pragma once

namespace kest {

enum class kernel_copy_result {
    complete,  // the rest of the source is in the destination
    failed,    // copying failed, part way or at once; errno says why
    not_done,  // nothing was copied: the caller copies the content another way
};

// Whether a failure of the kernel's copy says that it cannot copy between these two files at
// all: no such call (old kernels), refused by a filter (EPERM), not between these file systems or
// file types, a destination that a program runs.
bool kernel_cannot_copy(int error);

// Copies the rest of `in` into `out`, each from its own offset, which it advances, by asking the
// kernel (platform::seams.copy_range, a chunk at a time). not_done when the first call copies
// nothing (an empty file, or a pseudo file whose bytes the kernel cannot copy) or fails as
// kernel_cannot_copy says; failed with errno when a later call fails, or the first for another
// reason (a full disk).
kernel_copy_result copy_rest_in_kernel(int in, int out);

}  // namespace kest
