// What the checks and the copy need to know of a file on the host.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "base/platform.h"

namespace kest {

struct file_facts {
    mode_t mode = 0;
    dev_t device = 0;
    ino_t inode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    std::uint64_t mount = 0;           // the mount's id, 0 when the kernel does not tell
    unsigned long long size = 0;       // what an undo record keeps of it
    unsigned long long allocated = 0;  // bytes of storage the file holds now
    bool immutable = false;
    bool append_only = false;
};

inline platform::file_identity identity_of(const file_facts& facts) {
    return {facts.device, facts.inode};
}

enum class last_link { follow, keep };

// Looks at `path` as the installation meets it: symbolic links followed, the last one too
// unless `last` is keep (a link then shows as a link, without attributes). The immutable and
// append-only attributes come from statx where the file system reports them, else, on kernels
// without statx, from the flags ioctl of a regular file or directory (opened read-only, not
// waiting); an attribute that cannot be read counts as absent.
// Returns 0 with `facts` filled, or the errno of the failed lookup (ENOENT: nothing there).
int look_at(const std::string& path, file_facts& facts, last_link last = last_link::follow);

}  // namespace kest
