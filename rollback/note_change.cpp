// Keeping what a change destroys, before the stop and just before the change.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <numeric>

#include "base/platform.h"
#include "base/retry_on_eintr.h"
#include "rollback/file_content.h"
#include "rollback/record_journal.h"
#include "rollback/undo_record.h"

namespace kest {
namespace {

// FNV-1a, 64 bits: collisions only cost a comparison with the path in the journal.
std::uint64_t path_hash(const std::string& path) {
    return std::accumulate(path.begin(), path.end(), std::uint64_t{14695981039346656037ULL},
                           [](std::uint64_t hash, char c) {
                               return (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
                           });
}

// Copies `target` into the kept copy number `number`, with its owner, group, mode and time.
// Fills `kept` with the copy's inode and `stamp` with the target's state before the copy, so
// that a change made while copying shows later. Returns 0 or an errno.
int copy_into(undo_record& record, const std::string& target, std::uint32_t number,
              journal_entry& kept) {
    const unique_fd in(platform::open_file(
        target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
    struct stat status {};
    if (!in.valid() || fstat(in.get(), &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return EINVAL;
    }
    // Its owner's only until it has the old file's owner; no one else can enter the folder.
    unique_fd out(retry_on_eintr([&] {
        return openat(record.directory.get(), kept_name(number).c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!out.valid()) {
        return errno;
    }
    struct stat copy {};
    int error =
        copy_content(in.get(), out.get(), status.st_dev == record.device, record.clone_refused);
    if (error == 0) {
        error = take_metadata(out.get(), status);
    }
    if (error == 0 && (fstat(out.get(), &copy) != 0 || close(out.release()) != 0)) {
        error = errno;
    }
    if (error != 0) {
        (void)unlinkat(record.directory.get(), kept_name(number).c_str(), 0);
        return error;
    }
    kept.kept_inode = copy.st_ino;
    kept.stamp = stamp_of(status);
    return 0;
}

// Keeps `target` now as a new kept copy, described in the journal. Returns 0 or an errno.
int keep_now(undo_record& record, const std::string& target, journal_entry& kept) {
    kept = {};
    kept.type = entry_type::kept;
    kept.kept = record.kept_count + 1;
    kept.path = target;
    if (const int error = copy_into(record, target, kept.kept, kept); error != 0) {
        return error;
    }
    ++record.kept_count;
    const std::uint64_t offset = record.journal_end;
    if (const int error = append_entry(record, kept); error != 0) {
        return error;
    }
    record.kept.push_back({path_hash(target), offset});
    record.kept_sorted = false;
    return 0;
}

// The latest kept entry of `target`, if any.
bool find_kept(undo_record& record, const std::string& target, journal_entry& kept) {
    const auto by_place = [](const kept_at& one, const kept_at& other) {
        return one.path_hash != other.path_hash ? one.path_hash < other.path_hash
                                                : one.offset < other.offset;
    };
    if (!record.kept_sorted) {
        std::sort(record.kept.begin(), record.kept.end(), by_place);
        record.kept_sorted = true;
    }
    const std::uint64_t hash = path_hash(target);
    auto at = std::upper_bound(record.kept.begin(), record.kept.end(), kept_at{hash, UINT64_MAX},
                               by_place);
    for (; at != record.kept.begin() && (at - 1)->path_hash == hash; --at) {
        if (read_entry(record.journal.get(), (at - 1)->offset, kept) != 0 && kept.path == target) {
            return true;
        }
    }
    return false;
}

// Keeps the old inode of `target` itself, by a hard link in the record folder. Returns 0 or an
// errno (EXDEV across mounts, EMLINK, a file system without hard links).
int link_old_inode(undo_record& record, const std::string& target, journal_entry& noted) {
    const std::string name = kept_name(record.kept_count + 1);
    struct stat linked {};
    if (linkat(AT_FDCWD, target.c_str(), record.directory.get(), name.c_str(), 0) != 0) {
        return errno;
    }
    ++record.kept_count;
    if (fstatat(record.directory.get(), name.c_str(), &linked, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    noted.kept = record.kept_count;
    noted.kept_inode = linked.st_ino;
    return 0;
}

// Fills in how `noted`, a change of the existing regular file `target` in state `now`, is
// undone: the old inode, or a kept copy that still holds its state. Returns 0 or an errno.
int keep_for_change(undo_record& record, const std::string& target, const struct stat& now,
                    journal_entry& noted) {
    if (noted.kind == change_kind::replace && now.st_dev == record.device &&
        link_old_inode(record, target, noted) == 0) {
        return 0;
    }
    journal_entry kept;
    if (!find_kept(record, target, kept) || kept.stamp != stamp_of(now)) {
        if (const int error = keep_now(record, target, kept); error != 0) {
            return error;
        }
    }
    noted.kept = kept.kept;
    noted.kept_inode = kept.kept_inode;
    return 0;
}

}  // namespace

int keep_old_file(undo_record& record, const std::string& target) {
    journal_entry kept;
    return keep_now(record, target, kept);
}

int seal_undo_record(undo_record& record) {
    if (platform::flush_file_system(record.directory.get()) != 0) {
        return errno;
    }
    record.sealed = true;
    return 0;
}

int note_change(undo_record& record, change_kind kind, const std::string& target,
                bool reload_after) {
    // Undone by a later run too, from another working directory.
    if (target.empty() || target[0] != '/') {
        return EINVAL;
    }
    if (!record.sealed) {
        if (const int error = seal_undo_record(record); error != 0) {
            return error;
        }
    }
    journal_entry noted;
    noted.type = entry_type::begun;
    noted.kind = kind;
    noted.reload_after = reload_after;
    noted.path = target;
    struct stat now {};
    if (lstat(target.c_str(), &now) != 0) {
        if (errno != ENOENT) {
            return errno;
        }
        // Whatever the copy puts there is what it created.
        if (kind != change_kind::create_directory) {
            noted.kind = change_kind::create_file;
        }
    } else if (kind == change_kind::create_directory ||
               (!S_ISREG(now.st_mode) && !S_ISLNK(now.st_mode))) {
        return 0;
    } else if (S_ISLNK(now.st_mode)) {
        return ELOOP;
    } else {
        if (kind == change_kind::create_file) {
            noted.kind = change_kind::rewrite;
        }
        noted.stamp = stamp_of(now);
        if (const int error = keep_for_change(record, target, now, noted); error != 0) {
            return error;
        }
    }
    const std::uint64_t offset = record.journal_end;
    if (const int error = append_entry(record, noted); error != 0) {
        return error;
    }
    record.begun.push_back(offset);
    return 0;
}

}  // namespace kest
