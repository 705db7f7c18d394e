#include "guard/space_needs.h"

#include "base/mount_point.h"

namespace kest {
namespace {

constexpr unsigned long long kib = 1024;
constexpr unsigned long long metadata_share = 20;  // a twentieth

}  // namespace

file_system_need& need_on(space_needs& needs, dev_t device, const struct statvfs& status,
                          const std::string& path) {
    const auto [entry, added] = needs.try_emplace(device);
    if (added) {
        file_system_need& need = entry->second;
        need.directory = path;
        need.block_size = status.f_frsize;
        need.available_bytes = static_cast<unsigned long long>(status.f_bavail) * status.f_frsize;
        need.free_inodes = status.f_ffree;
        need.counts_inodes = status.f_files != 0;
    }
    return entry->second;
}

unsigned long long in_blocks(const file_system_need& need, unsigned long long size) {
    if (need.block_size == 0) {
        return size;
    }
    return (size + need.block_size - 1) / need.block_size * need.block_size;
}

refusal find_shortage(const space_needs& needs) {
    for (const auto& [device, need] : needs) {
        const unsigned long long bytes =
            need.bytes + (need.bytes + metadata_share - 1) / metadata_share;
        if (bytes > need.available_bytes) {
            return {refusal_reason::not_enough_space, mount_point_of(device, need.directory), 0,
                    (bytes + kib - 1) / kib, need.available_bytes / kib};
        }
        if (need.counts_inodes && need.inodes > need.free_inodes) {
            return {refusal_reason::not_enough_inodes, mount_point_of(device, need.directory), 0,
                    need.inodes, need.free_inodes};
        }
    }
    return {};
}

}  // namespace kest
