// Putting back what the noted changes destroyed, newest first.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/path_text.h"
#include "base/platform.h"
#include "base/retry_on_eintr.h"
#include "base/written_file_systems.h"
#include "rollback/file_content.h"
#include "rollback/record_journal.h"
#include "rollback/undo_record.h"

namespace kest {
namespace {

constexpr unsigned names_to_try = 100;

// Where an entry's path is: its folder, open, and its name in it.
struct place {
    unique_fd folder;
    std::string name;
};

// Whether `name` in `folder` is the inode `inode` of the record's file system: a kept file
// already renamed back by an earlier undo that was cut short.
bool holds(const undo_record& record, const place& at, std::uint64_t inode) {
    struct stat status {};
    return fstatat(at.folder.get(), at.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           status.st_dev == record.device && status.st_ino == inode;
}

// Removes what a created entry left, if it is still of the type the copy created.
int remove_created(const place& at, bool directory) {
    struct stat status {};
    if (fstatat(at.folder.get(), at.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    const bool expected = directory ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
    if (!expected) {
        // Not what the run created: left as it is.
        return S_ISLNK(status.st_mode)   ? ELOOP
               : S_ISDIR(status.st_mode) ? EISDIR
               : directory               ? ENOTDIR
                                         : EINVAL;
    }
    if (unlinkat(at.folder.get(), at.name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    return 0;
}

int open_kept(const undo_record& record, const journal_entry& entry, unique_fd& kept,
              struct stat& old) {
    kept.reset(retry_on_eintr([&] {
        return openat(record.directory.get(), kept_name(entry.kept).c_str(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }));
    return kept.valid() && fstat(kept.get(), &old) == 0 ? 0 : errno;
}

// Writes the kept copy into a new hidden file beside the destination, with the old owner, group,
// mode and time, and renames it over the destination: for another file system than the record's.
int copy_over(undo_record& record, const journal_entry& entry, const place& at) {
    unique_fd kept;
    struct stat old {};
    if (const int error = open_kept(record, entry, kept, old); error != 0) {
        return error;
    }
    std::string created;
    unique_fd file;
    for (unsigned number = 0; !file.valid() && number < names_to_try; ++number) {
        const std::string suffix =
            ".kest-undo." + std::to_string(getpid()) + "." + std::to_string(number);
        created = "." + at.name.substr(0, NAME_MAX - 1 - suffix.size()) + suffix;
        file.reset(retry_on_eintr([&] {
            return openat(at.folder.get(), created.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }));
        if (!file.valid() && errno != EEXIST) {
            return errno;
        }
    }
    if (!file.valid()) {
        return EEXIST;
    }
    bool no_clone = true;
    int error = copy_content(kept.get(), file.get(), false, no_clone);
    if (error == 0) {
        error = take_metadata(file.get(), old);
    }
    if (error == 0 &&
        (close(file.release()) != 0 ||
         renameat(at.folder.get(), created.c_str(), at.folder.get(), at.name.c_str()) != 0)) {
        error = errno;
    }
    if (error != 0) {
        (void)unlinkat(at.folder.get(), created.c_str(), 0);
    }
    return error;
}

// A replaced file: the kept inode, or the kept copy, back at its path.
int restore_replaced(undo_record& record, const journal_entry& entry, const place& at) {
    // The path still names the file it named when the change was noted: the replacement never
    // happened (it failed, or the run ended before it), and there is nothing to put back.
    struct stat now {};
    if (fstatat(at.folder.get(), at.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == entry.stamp.device && now.st_ino == entry.stamp.inode) {
        return 0;
    }
    if (renameat(record.directory.get(), kept_name(entry.kept).c_str(), at.folder.get(),
                 at.name.c_str()) == 0) {
        return 0;
    }
    if (errno == ENOENT && holds(record, at, entry.kept_inode)) {
        return 0;
    }
    return errno == EXDEV ? copy_over(record, entry, at) : errno;
}

// A rewritten file: the old content back into the same inode, then its owner, group, mode and
// modification time.
// Whether the file at `at` is as it was when its change was noted: its status unchanged and its
// bytes those of the kept copy (a write within the clock's last tick leaves the times as they
// were). The copy never wrote it then: a read-only file system, a run that ended first.
bool untouched(const journal_entry& entry, const place& at, int kept) {
    struct stat now {};
    if (fstatat(at.folder.get(), at.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        stamp_of(now) != entry.stamp) {
        return false;
    }
    const unique_fd current(retry_on_eintr([&] {
        return openat(at.folder.get(), at.name.c_str(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }));
    const bool same = current.valid() && same_content(kept, current.get());
    return lseek(kept, 0, SEEK_SET) == 0 && same;
}

int restore_rewritten(undo_record& record, const journal_entry& entry, const place& at) {
    unique_fd kept;
    struct stat old {};
    if (const int error = open_kept(record, entry, kept, old); error != 0) {
        return error == ENOENT && holds(record, at, entry.kept_inode) ? 0 : error;
    }
    if (untouched(entry, at, kept.get())) {
        return 0;
    }
    constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    unique_fd file(
        retry_on_eintr([&] { return openat(at.folder.get(), at.name.c_str(), O_WRONLY | flags); }));
    if (!file.valid()) {
        if (errno != ETXTBSY) {
            return errno;
        }
        // A program runs it: the copy could not have written it either, unless the program
        // started after the change.
        file.reset(retry_on_eintr(
            [&] { return openat(at.folder.get(), at.name.c_str(), O_RDONLY | flags); }));
        if (!file.valid()) {
            return errno;
        }
        if (!same_content(kept.get(), file.get())) {
            return ETXTBSY;
        }
        return take_metadata(file.get(), old);
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        return errno;
    }
    // Written over from the start, then cut to the old size: ext4 writes a file cut to nothing
    // out to disk when it is closed, which would cost each restore a wait for the disk.
    int error =
        copy_content(kept.get(), file.get(), status.st_dev == record.device, record.clone_refused);
    if (error == 0 && ftruncate(file.get(), old.st_size) != 0) {
        error = errno;
    }
    if ((error == ENOSPC || error == EDQUOT) && status.st_dev == record.device) {
        // The kept copy has the old owner, group, mode and time already: a new inode with them.
        return renameat(record.directory.get(), kept_name(entry.kept).c_str(), at.folder.get(),
                        at.name.c_str()) == 0
                   ? 0
                   : errno;
    }
    return error != 0 ? error : take_metadata(file.get(), old);
}

int restore(undo_record& record, const journal_entry& entry) {
    place at;
    const std::string folder = parent_of(entry.path);
    at.name = entry.path.substr(entry.path.rfind('/') + 1);
    at.folder.reset(platform::open_file(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!at.folder.valid()) {
        const bool created =
            entry.kind == change_kind::create_file || entry.kind == change_kind::create_directory;
        return created && errno == ENOENT ? 0 : errno;
    }
    // Flushed with the run's other writes, before the record is removed.
    note_written_file(at.folder.get(), folder);
    switch (entry.kind) {
        case change_kind::rewrite:
            return restore_rewritten(record, entry, at);
        case change_kind::replace:
            return restore_replaced(record, entry, at);
        case change_kind::create_file:
            return remove_created(at, false);
        case change_kind::create_directory:
            return remove_created(at, true);
    }
    return EINVAL;
}

}  // namespace

int undo_changes(undo_record& record, const std::function<void()>& reload,
                 const std::function<bool(const std::string& path)>& which) {
    std::vector<std::uint64_t> left;
    int count = 0;
    for (auto at = record.begun.rbegin(); at != record.begun.rend(); ++at) {
        journal_entry entry;
        const bool read = read_entry(record.journal.get(), *at, entry) != 0;
        if (read && which && !which(entry.path)) {
            left.push_back(*at);
            continue;
        }
        const int error = read ? restore(record, entry) : EIO;
        if (error == 0) {
            // A failure only costs a later undo the same restore again.
            journal_entry restored;
            restored.type = entry_type::restored;
            restored.reference = *at;
            (void)append_entry(record, restored);
        } else {
            left.push_back(*at);
            ++count;
            log_err("Cannot restore %s: %s",
                    entry.path.empty() ? (record.folder + "/journal").c_str() : entry.path.c_str(),
                    std::strerror(error));
        }
        if (entry.reload_after && reload) {
            reload();
        }
    }
    // Only these are left to a later undo of this record.
    std::reverse(left.begin(), left.end());
    record.begun = std::move(left);
    return count;
}

}  // namespace kest
