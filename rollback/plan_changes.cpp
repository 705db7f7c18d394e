// The plan of an update's changes: what each one destroys, kept before the stop, and amended, on
// disk before the change, where the host changed since.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <numeric>

#include "base/extended_attributes.h"
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

// Copies `target` into the kept copy number `kept.kept`, with its owner, group, mode and time
// (its extended attributes go into the entry), and flushes it when `durable`. Fills `kept` with
// the copy's inode and the target's state before the copy, so that a change made while copying
// shows later. Returns 0 or an errno.
int copy_into(undo_record& record, const std::string& target, journal_entry& kept, bool durable) {
    const unique_fd in(platform::seams.open_file(
        target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
    struct stat status {};
    if (!in.valid() || fstat(in.get(), &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return EINVAL;
    }
    extended_attributes attributes;
    if (const int error = read_extended_attributes(in.get(), attributes); error != 0) {
        return error;
    }
    const std::string name = kept_name(kept.kept);
    // Its owner's only until it has the old file's owner; no one else can enter the folder.
    unique_fd out(retry_on_eintr([&] {
        return openat(record.directory.get(), name.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!out.valid()) {
        return errno;
    }
    struct stat copy {};
    int error =
        copy_content(in.get(), out.get(), status.st_dev == record.device, record.clone_refused);
    if (error == 0) {
        error = take_metadata(out.get(), status, nullptr);
    }
    if (error == 0 &&
        ((durable && fsync(out.get()) != 0) || fstat(out.get(), &copy) != 0 ||
         close(out.release()) != 0 || (durable && fsync(record.directory.get()) != 0))) {
        error = errno;
    }
    if (error != 0) {
        (void)unlinkat(record.directory.get(), name.c_str(), 0);
        return error;
    }
    kept.kept_inode = copy.st_ino;
    kept.stamp = stamp_of(status);
    kept.attributes = encode_attributes(attributes);
    return 0;
}

int append_planned(undo_record& record, const journal_entry& entry) {
    const std::uint64_t offset = record.journal_end;
    if (const int error = append_entry(record, entry); error != 0) {
        return error;
    }
    record.planned.push_back({path_hash(entry.path), offset});
    record.planned_sorted = false;
    return 0;
}

// Keeps `target` now as a new kept copy, planned in the journal. Returns 0 or an errno.
int keep_now(undo_record& record, const std::string& target, bool reload_after, bool durable) {
    journal_entry kept;
    kept.type = entry_type::kept;
    kept.reload_after = reload_after;
    kept.kept = record.kept_count + 1;
    kept.path = target;
    if (const int error = copy_into(record, target, kept, durable); error != 0) {
        return error;
    }
    ++record.kept_count;
    return append_planned(record, kept);
}

// The latest plan entry of `target`, if any.
bool find_planned(undo_record& record, const std::string& target, journal_entry& planned) {
    const auto by_place = [](const planned_at& one, const planned_at& other) {
        return one.path_hash != other.path_hash ? one.path_hash < other.path_hash
                                                : one.offset < other.offset;
    };
    if (!record.planned_sorted) {
        std::sort(record.planned.begin(), record.planned.end(), by_place);
        record.planned_sorted = true;
    }
    const std::uint64_t hash = path_hash(target);
    auto at = std::upper_bound(record.planned.begin(), record.planned.end(),
                               planned_at{hash, UINT64_MAX}, by_place);
    for (; at != record.planned.begin() && (at - 1)->path_hash == hash; --at) {
        if (read_entry(record.journal.get(), (at - 1)->offset, planned) != 0 &&
            planned.path == target) {
            return true;
        }
    }
    return false;
}

// Keeps the old inode of `target` itself, by a hard link in the record folder, noted in a begun
// entry. Returns 0 or an errno (EXDEV across mounts, EMLINK, a file system without hard links).
int link_old_inode(undo_record& record, const std::string& target) {
    journal_entry noted;
    noted.type = entry_type::begun;
    noted.kind = change_kind::replace;
    noted.path = target;
    noted.kept = record.kept_count + 1;
    const std::string name = kept_name(noted.kept);
    struct stat linked {};
    if (linkat(AT_FDCWD, target.c_str(), record.directory.get(), name.c_str(), 0) != 0) {
        return errno;
    }
    ++record.kept_count;
    if (fstatat(record.directory.get(), name.c_str(), &linked, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    noted.kept_inode = linked.st_ino;
    noted.stamp = stamp_of(linked);
    return append_entry(record, noted);
}

// Before a replacement: the old inode kept where it can be (a copy of it is kept already), and
// the new file's hidden name on disk before it is made.
int note_replacement(undo_record& record, const std::string& target, const struct stat& now) {
    if (now.st_dev == record.device) {
        (void)link_old_inode(record, target);
    }
    journal_entry hidden;
    hidden.type = entry_type::hidden;
    hidden.maker = hidden_maker::copy;
    hidden.reference = static_cast<std::uint64_t>(getpid());
    hidden.path = target;
    const int error = append_entry(record, hidden);
    return error != 0 ? error : flush_journal(record);
}

// `target` is missing: planned as created, unless the plan says so already.
int note_missing(undo_record& record, change_kind kind, const std::string& target,
                 bool reload_after) {
    // Whatever the copy puts there is what it created.
    const change_kind created =
        kind == change_kind::create_directory ? kind : change_kind::create_file;
    journal_entry planned;
    if (find_planned(record, target, planned) && planned.type == entry_type::absent &&
        planned.kind == created) {
        return 0;
    }
    if (const int error = plan_absent(record, created, target, reload_after); error != 0) {
        return error;
    }
    return flush_journal(record);
}

}  // namespace

int plan_kept_file(undo_record& record, const std::string& target, bool reload_after) {
    return keep_now(record, target, reload_after, false);
}

int plan_absent(undo_record& record, change_kind kind, const std::string& target,
                bool reload_after) {
    journal_entry absent;
    absent.type = entry_type::absent;
    absent.kind = kind;
    absent.reload_after = reload_after;
    absent.path = target;
    return append_planned(record, absent);
}

int seal_undo_record(undo_record& record) {
    journal_entry sealed;
    sealed.type = entry_type::sealed;
    if (const int error = append_entry(record, sealed); error != 0) {
        return error;
    }
    if (platform::seams.flush_file_system(record.directory.get()) != 0) {
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
    struct stat now {};
    if (lstat(target.c_str(), &now) != 0) {
        return errno == ENOENT ? note_missing(record, kind, target, reload_after) : errno;
    }
    if (kind == change_kind::create_directory || (!S_ISREG(now.st_mode) && !S_ISLNK(now.st_mode))) {
        return 0;
    }
    if (S_ISLNK(now.st_mode)) {
        return ELOOP;
    }
    journal_entry planned;
    if (!find_planned(record, target, planned) || planned.type != entry_type::kept ||
        planned.stamp != stamp_of(now)) {
        // Changed since the plan (by the agent before its stop, say): kept as it is now, on
        // disk before it changes again.
        if (const int error = keep_now(record, target, reload_after, true); error != 0) {
            return error;
        }
        if (const int error = flush_journal(record); error != 0) {
            return error;
        }
    }
    return kind == change_kind::replace ? note_replacement(record, target, now) : 0;
}

}  // namespace kest
