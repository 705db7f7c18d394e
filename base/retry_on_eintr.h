// System calls that a signal may interrupt before they have done anything.
#pragma once

#include <cerrno>

namespace kest {

// Calls `call` (a system call: negative with errno on failure) again while it fails with EINTR.
// Returns its last result, errno as that call left it.
template <typename Call>
auto retry_on_eintr(const Call& call) {
    auto result = call();
    while (result < 0 && errno == EINTR) {
        result = call();
    }
    return result;
}

}  // namespace kest
