#include "shared/file_facts.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/stat.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

#include "base/platform.h"
#include "base/unique_fd.h"

namespace kest {
namespace {

constexpr unsigned long long stat_block = 512;  // the unit of st_blocks and stx_blocks

void take_status(const struct stat& status, file_facts& facts) {
    facts.mode = status.st_mode;
    facts.device = status.st_dev;
    facts.inode = status.st_ino;
    facts.owner = status.st_uid;
    facts.group = status.st_gid;
    facts.size = static_cast<unsigned long long>(status.st_size);
    facts.allocated = static_cast<unsigned long long>(status.st_blocks) * stat_block;
}

// For kernels before statx (4.11): the flags ioctl, on what can be opened without side effects.
int look_at_without_statx(const std::string& path, file_facts& facts, last_link last) {
    struct stat status {};
    const int looked =
        last == last_link::follow ? stat(path.c_str(), &status) : lstat(path.c_str(), &status);
    if (looked != 0) {
        return errno;
    }
    take_status(status, facts);
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
        return 0;
    }
    const unique_fd file(
        platform::seams.open_file(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
    int flags = 0;
    if (file.valid() && ioctl(file.get(), FS_IOC_GETFLAGS, &flags) == 0) {
        facts.immutable = (flags & FS_IMMUTABLE_FL) != 0;
        facts.append_only = (flags & FS_APPEND_FL) != 0;
    }
    return 0;
}

}  // namespace

int look_at(const std::string& path, file_facts& facts, last_link last) {
    facts = {};
    struct statx status {};
    const int flags = last == last_link::follow ? 0 : AT_SYMLINK_NOFOLLOW;
    if (platform::seams.stat_extended(path.c_str(), flags, &status) != 0) {
        // ENOSYS before Linux 4.11; EPERM from a system-call filter that does not know it.
        return errno == ENOSYS || errno == EPERM ? look_at_without_statx(path, facts, last) : errno;
    }
    facts.mode = status.stx_mode;
    facts.device = makedev(status.stx_dev_major, status.stx_dev_minor);
    facts.inode = status.stx_ino;
    facts.owner = status.stx_uid;
    facts.group = status.stx_gid;
    facts.size = status.stx_size;
    facts.allocated = status.stx_blocks * stat_block;
#ifdef STATX_MNT_ID
    facts.mount = (status.stx_mask & STATX_MNT_ID) != 0 ? status.stx_mnt_id : 0;
#endif
    const auto reported = [&](unsigned long long attribute) {
        return (status.stx_attributes_mask & attribute) != 0 &&
               (status.stx_attributes & attribute) != 0;
    };
    facts.immutable = reported(STATX_ATTR_IMMUTABLE);
    facts.append_only = reported(STATX_ATTR_APPEND);
    return 0;
}

}  // namespace kest
