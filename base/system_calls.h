// Numbers and flags of the system calls newer than Linux 3.10 that the program makes itself,
// through syscall(): the C library's wrappers for them (glibc 2.27 to 2.36) are newer than the
// oldest C library the program builds against, and its headers may lack the numbers too. Each
// call is optional: the kernel may lack it (ENOSYS) or a filter refuse it (EPERM).
#pragma once

#include <sys/syscall.h>

namespace kest::system_call {

// Numbered alike on every architecture but alpha, which Linux gave the same numbers since 5.1.
#ifdef SYS_pidfd_send_signal
constexpr long pidfd_send_signal = SYS_pidfd_send_signal;
#else
constexpr long pidfd_send_signal = 424;  // Linux 5.1
#endif
#ifdef SYS_pidfd_open
constexpr long pidfd_open = SYS_pidfd_open;
#else
constexpr long pidfd_open = 434;         // Linux 5.3
#endif
#ifdef SYS_close_range
constexpr long close_range = SYS_close_range;
#else
constexpr long close_range = 436;        // Linux 5.9
#endif

// Numbered per architecture: headers older than the call (Linux 4.11 for statx, 4.5 for
// copy_file_range) cannot say, and then the call is taken for missing.
#ifdef SYS_statx
constexpr long statx = SYS_statx;
#else
constexpr long statx = -1;
#endif
#ifdef SYS_copy_file_range
constexpr long copy_file_range = SYS_copy_file_range;
#else
constexpr long copy_file_range = -1;
#endif
// Linux 3.17, glibc 2.25.
#ifdef SYS_getrandom
constexpr long getrandom = SYS_getrandom;
#else
constexpr long getrandom = -1;
#endif
// getrandom's GRND_NONBLOCK: fail rather than wait for the kernel's generator to be ready.
constexpr unsigned getrandom_nonblock = 1U;

// CLOSE_RANGE_CLOEXEC: marks the range close-on-exec instead of closing it (Linux 5.11).
constexpr unsigned close_range_cloexec = 1U << 2;

}  // namespace kest::system_call
