#include "guard/update_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/platform.h"
#include "base/retry_on_eintr.h"
#include "shared/ownership.h"

namespace kest {
namespace {

// Anyone else who can open the file can lock it too, and may hold it open already.
bool only_ours(const struct stat& status) {
    return S_ISREG(status.st_mode) && private_to(status.st_uid, status.st_mode, geteuid());
}

}  // namespace

int take_update_lock(const std::string& path, unique_fd& lock) {
    unique_fd file(
        platform::seams.open_file(path.c_str(), O_CREAT | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
        return errno;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        return errno;
    }
    if (!only_ours(status)) {
        return lock_others_can_change;
    }
    if (retry_on_eintr([&] { return flock(file.get(), LOCK_EX | LOCK_NB); }) != 0) {
        return errno;
    }
    lock.reset(file.release());
    return 0;
}

}  // namespace kest
