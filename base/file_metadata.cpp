#include "base/file_metadata.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kest {

int give_owner_and_mode(int fd, uid_t owner, gid_t group, mode_t mode) {
    return fchown(fd, owner, group) == 0 && fchmod(fd, mode & 07777) == 0 ? 0 : errno;
}

}  // namespace kest
