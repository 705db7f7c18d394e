// Owns a file descriptor and closes it when it goes out of scope.
#pragma once

#include <unistd.h>

namespace kest {

class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it, for a caller that closes it and checks how.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the owned descriptor (never retried: the descriptor is gone either way).
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            (void)close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

}  // namespace kest
