// What an update will take of each file system it writes to, against what each has.
#pragma once

#include <sys/statvfs.h>
#include <sys/types.h>

#include <map>
#include <string>

#include "guard/refusal.h"

namespace kest {

struct file_system_need {
    std::string directory;  // a path on it, named when its mount point is unknown
    unsigned long long block_size = 0;
    unsigned long long available_bytes = 0;  // to unprivileged users, as root keeps a reserve
    unsigned long long free_inodes = 0;
    bool counts_inodes = false;  // some file systems keep no count
    unsigned long long bytes = 0;
    unsigned long long inodes = 0;
};

// By device.
using space_needs = std::map<dev_t, file_system_need>;

// The need of the file system on `device`, started from `status` (statvfs of `path`) when it is
// the first of that device.
file_system_need& need_on(space_needs& needs, dev_t device, const struct statvfs& status,
                          const std::string& path);

// `size` bytes in whole blocks of the file system.
unsigned long long in_blocks(const file_system_need& need, unsigned long long size);

// The first file system, by device, that lacks the space (with a twentieth more for metadata)
// or the inodes needed of it, named by its mount point; reason none when all fit.
refusal find_shortage(const space_needs& needs);

}  // namespace kest
