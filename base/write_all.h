// Writing a whole buffer to a descriptor.
#pragma once

#include <cstddef>
#include <string>

namespace kest {

// Writes all `count` bytes of `bytes` to `fd` at its offset, resuming after interruptions and
// short writes. False with errno set when a write fails (EIO for one that makes no progress
// without saying why).
bool write_all(int fd, const char* bytes, std::size_t count);

inline bool write_all(int fd, const std::string& bytes) {
    return write_all(fd, bytes.data(), bytes.size());
}

}  // namespace kest
