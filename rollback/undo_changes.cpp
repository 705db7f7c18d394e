// Putting back what the planned changes destroyed, as what is there now says, newest first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/extended_attributes.h"
#include "base/hidden_file.h"
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

// One path of the plan, as its latest kept or absent entry says what was there.
struct planned_change {
    journal_entry entry;
    std::uint32_t linked = 0;  // a hard link to a replaced file's old inode, 0 for none
    std::uint64_t linked_inode = 0;
};

struct plan {
    std::vector<planned_change> changes;  // in the order they were first planned
    std::vector<journal_entry> hidden;
};

// Earlier versions noted each change as it was made, and kept a copy of every existing file.
void read_earlier_note(const journal_entry& entry, plan& read,
                       std::unordered_map<std::string, std::size_t>& index) {
    if (entry.kind == change_kind::create_file || entry.kind == change_kind::create_directory) {
        if (index.emplace(entry.path, read.changes.size()).second) {
            journal_entry absent = entry;
            absent.type = entry_type::absent;
            read.changes.push_back({absent});
        }
    }
}

plan read_plan(const undo_record& record) {
    plan read;
    std::unordered_map<std::string, std::size_t> index;
    (void)read_journal(record.journal.get(), [&](std::uint64_t, const journal_entry& entry) {
        const auto known = index.find(entry.path);
        if (entry.type == entry_type::kept || entry.type == entry_type::absent) {
            if (known != index.end()) {
                read.changes[known->second].entry = entry;
            } else {
                index.emplace(entry.path, read.changes.size());
                read.changes.push_back({entry});
            }
        } else if (entry.type == entry_type::begun && entry.kind == change_kind::replace) {
            if (known != index.end()) {
                read.changes[known->second].linked = entry.kept;
                read.changes[known->second].linked_inode = entry.kept_inode;
            }
        } else if (entry.type == entry_type::begun) {
            read_earlier_note(entry, read, index);
        } else if (entry.type == entry_type::hidden) {
            read.hidden.push_back(entry);
        }
    });
    return read;
}

// Where an entry's path is: its folder, open, and its name in it.
struct place {
    unique_fd folder;
    std::string name;
};

int open_place(const std::string& path, place& at) {
    const path_parts parts = split_path(path);
    at.name = parts.name;
    at.folder.reset(
        platform::seams.open_file(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    return at.folder.valid() ? 0 : errno;
}

void remove_hidden_files(const plan& read) {
    for (const journal_entry& hidden : read.hidden) {
        place at;
        if (open_place(hidden.path, at) != 0) {
            continue;
        }
        for (unsigned number = 0; number < hidden_names_to_try; ++number) {
            const std::string name = hidden_sibling_name(
                at.name, hidden_tag(hidden.maker), static_cast<long>(hidden.reference), number);
            struct stat status {};
            if (fstatat(at.folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(status.st_mode)) {
                (void)unlinkat(at.folder.get(), name.c_str(), 0);
            }
        }
    }
}

bool is_created(const journal_entry& entry) {
    return entry.type == entry_type::absent;
}

// What is at a planned path now, against the plan.
struct judgement {
    std::size_t change;
    bool found = false;  // something is there, with the status `now`
    struct stat now {};
    bool undo = false;  // it differs from what the plan kept
    int error = 0;      // why it cannot be put back
};

int open_kept(const undo_record& record, std::uint32_t number, unique_fd& kept, struct stat& old) {
    kept.reset(retry_on_eintr([&] {
        return openat(record.directory.get(), kept_name(number).c_str(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }));
    return kept.valid() && fstat(kept.get(), &old) == 0 ? 0 : errno;
}

// The extended attributes that a kept file gets back; null for a record that kept none.
const extended_attributes* attributes_of(const undo_record& record, const journal_entry& entry,
                                         extended_attributes& attributes) {
    return !record.without_attributes && decode_attributes(entry.attributes, attributes)
               ? &attributes
               : nullptr;
}

bool type_error(const struct stat& now, bool directory, int& error) {
    const bool expected = directory ? S_ISDIR(now.st_mode) : S_ISREG(now.st_mode);
    if (!expected) {
        // Not what the run makes: left as it is.
        error = S_ISLNK(now.st_mode)   ? ELOOP
                : S_ISDIR(now.st_mode) ? EISDIR
                : directory            ? ENOTDIR
                                       : EINVAL;
    }
    return !expected;
}

// Whether the regular file `now` at `at` is the kept file as it was.
bool as_kept(const undo_record& record, const planned_change& change, const place& at,
             const struct stat& now, int& error) {
    const journal_entry& entry = change.entry;
    if (record.same_boot && stamp_of(now) == entry.stamp) {
        return true;  // unchanged since it was kept, in this boot's page cache
    }
    if (now.st_dev == record.device && now.st_ino == entry.kept_inode) {
        return true;  // the kept copy itself, put back by an earlier undo
    }
    unique_fd kept;
    struct stat old {};
    if (const int failed = open_kept(record, entry.kept, kept, old); failed != 0) {
        error = change.linked != 0 ? 0 : failed;
        return false;
    }
    const unique_fd current(retry_on_eintr([&] {
        return openat(at.folder.get(), at.name.c_str(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }));
    extended_attributes attributes;
    return current.valid() &&
           same_metadata(current.get(), now, old, attributes_of(record, entry, attributes)) &&
           same_content(kept.get(), current.get());
}

judgement judge(const undo_record& record, const plan& read, std::size_t index) {
    const journal_entry& entry = read.changes[index].entry;
    judgement verdict{index};
    place at;
    if (const int opened = open_place(entry.path, at); opened != 0) {
        verdict.error = is_created(entry) && opened == ENOENT ? 0 : opened;
        return verdict;
    }
    if (fstatat(at.folder.get(), at.name.c_str(), &verdict.now, AT_SYMLINK_NOFOLLOW) != 0) {
        const int looked = errno;
        // A kept file that is gone is put back.
        verdict.error = looked == ENOENT ? 0 : looked;
        verdict.undo = looked == ENOENT && !is_created(entry);
        return verdict;
    }
    verdict.found = true;
    const bool directory = is_created(entry) && entry.kind == change_kind::create_directory;
    if (type_error(verdict.now, directory, verdict.error)) {
        return verdict;
    }
    verdict.undo =
        is_created(entry) || !as_kept(record, read.changes[index], at, verdict.now, verdict.error);
    return verdict;
}

// Writes the kept copy into a new hidden file beside the destination, with the old owner, group,
// mode, attributes and time, and renames it over the destination; the hidden name is on disk in
// the record before the file is made.
int copy_over(undo_record& record, const journal_entry& entry, const place& at, int kept,
              const struct stat& old, const extended_attributes* attributes) {
    journal_entry hidden;
    hidden.type = entry_type::hidden;
    hidden.maker = hidden_maker::undo;
    hidden.reference = static_cast<std::uint64_t>(getpid());
    hidden.path = entry.path;
    if (const int error = append_entry(record, hidden); error != 0) {
        return error;
    }
    if (const int error = flush_journal(record); error != 0) {
        return error;
    }
    std::string created;
    unique_fd file(
        create_hidden_sibling(at.folder.get(), at.name, hidden_tag(hidden.maker), 0600, created));
    if (!file.valid()) {
        return errno;
    }
    bool no_clone = true;
    int error = copy_content(kept, file.get(), false, no_clone);
    if (error == 0) {
        error = take_metadata(file.get(), old, attributes);
    }
    if (error == 0 &&
        (fsync(file.get()) != 0 || close(file.release()) != 0 ||
         renameat(at.folder.get(), created.c_str(), at.folder.get(), at.name.c_str()) != 0)) {
        error = errno;
    }
    if (error != 0) {
        (void)unlinkat(at.folder.get(), created.c_str(), 0);
    }
    return error;
}

// The kept copy in the file's place: renamed where it shares the record's file system (with its
// attributes first, so that it is whole once it is there), else copied over.
int put_kept_copy(undo_record& record, const journal_entry& entry, const place& at, int kept,
                  const struct stat& old, const extended_attributes* attributes) {
    struct stat folder {};
    if (fstat(at.folder.get(), &folder) == 0 && folder.st_dev == record.device) {
        if (attributes != nullptr) {
            if (const int error = write_extended_attributes(kept, *attributes); error != 0) {
                return error;
            }
        }
        if (renameat(record.directory.get(), kept_name(entry.kept).c_str(), at.folder.get(),
                     at.name.c_str()) == 0) {
            return 0;
        }
        if (errno != EXDEV) {
            return errno;
        }
    }
    return copy_over(record, entry, at, kept, old, attributes);
}

// The old content back into the same inode, then its owner, group, mode, attributes and time.
int rewrite_in_place(undo_record& record, const journal_entry& entry, const place& at, int kept,
                     const struct stat& old, const extended_attributes* attributes) {
    constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    unique_fd file(
        retry_on_eintr([&] { return openat(at.folder.get(), at.name.c_str(), O_WRONLY | flags); }));
    if (!file.valid()) {
        if (errno != ETXTBSY) {
            return errno;
        }
        // A program still runs it: when it holds the old bytes, only its metadata is put back.
        const unique_fd running(retry_on_eintr(
            [&] { return openat(at.folder.get(), at.name.c_str(), O_RDONLY | flags); }));
        const bool same = running.valid() && same_content(kept, running.get());
        if (same) {
            return take_metadata(running.get(), old, attributes);
        }
        return lseek(kept, 0, SEEK_SET) == 0
                   ? put_kept_copy(record, entry, at, kept, old, attributes)
                   : errno;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        return errno;
    }
    // Written over from the start, then cut to the old size: ext4 writes a file cut to nothing
    // out to disk when it is closed, which would cost each restore a wait for the disk.
    int error =
        copy_content(kept, file.get(), status.st_dev == record.device, record.clone_refused);
    if (error == 0 && ftruncate(file.get(), old.st_size) != 0) {
        error = errno;
    }
    if ((error == ENOSPC || error == EDQUOT) && status.st_dev == record.device) {
        return lseek(kept, 0, SEEK_SET) == 0
                   ? put_kept_copy(record, entry, at, kept, old, attributes)
                   : errno;
    }
    return error != 0 ? error : take_metadata(file.get(), old, attributes);
}

// A kept file back: a replaced file's old inode, else its content in place when the path still
// names its inode, else the kept copy in its place.
int restore_kept(undo_record& record, const planned_change& change, const place& at,
                 const judgement& verdict) {
    const journal_entry& entry = change.entry;
    if (change.linked != 0) {
        struct stat linked {};
        const std::string name = kept_name(change.linked);
        if (fstatat(record.directory.get(), name.c_str(), &linked, AT_SYMLINK_NOFOLLOW) == 0 &&
            linked.st_ino == change.linked_inode &&
            renameat(record.directory.get(), name.c_str(), at.folder.get(), at.name.c_str()) == 0) {
            return 0;
        }
    }
    unique_fd kept;
    struct stat old {};
    if (const int error = open_kept(record, entry.kept, kept, old); error != 0) {
        return error;
    }
    extended_attributes read;
    const extended_attributes* attributes = attributes_of(record, entry, read);
    const bool same_inode = verdict.found && verdict.now.st_dev == entry.stamp.device &&
                            verdict.now.st_ino == entry.stamp.inode;
    if (same_inode) {
        return rewrite_in_place(record, entry, at, kept.get(), old, attributes);
    }
    const int put = put_kept_copy(record, entry, at, kept.get(), old, attributes);
    // A file mounted over its path (a container's bind mount) cannot be renamed over: its
    // content is put back in place instead.
    return put == EBUSY && verdict.found && lseek(kept.get(), 0, SEEK_SET) == 0
               ? rewrite_in_place(record, entry, at, kept.get(), old, attributes)
               : put;
}

// Puts back the judged entry; ENOTEMPTY: a directory that holds something the run did not make.
int restore(undo_record& record, const planned_change& change, const judgement& verdict) {
    place at;
    if (const int error = open_place(change.entry.path, at); error != 0) {
        return error;
    }
    // Flushed with the run's other writes, before the record is removed.
    note_written_file(at.folder.get(), parent_of(change.entry.path));
    if (!is_created(change.entry)) {
        return restore_kept(record, change, at, verdict);
    }
    const bool directory = change.entry.kind == change_kind::create_directory;
    if (unlinkat(at.folder.get(), at.name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) {
        return errno == ENOENT ? 0 : errno == EEXIST ? ENOTEMPTY : errno;
    }
    return 0;
}

void not_restored(undo_record& record, const std::string& path, int error) {
    log_err("Cannot restore %s: %s", path.c_str(), std::strerror(error));
    record.not_restored.push_back(path);
}

// Created directories that still hold something once everything newer is undone: tried again,
// the deepest first, once what the undo removed below them is gone.
void remove_held_directories(undo_record& record, std::vector<std::string> held) {
    std::sort(held.begin(), held.end(), [](const std::string& one, const std::string& other) {
        return one.size() > other.size();
    });
    for (const std::string& directory : held) {
        if (rmdir(directory.c_str()) == 0 || errno == ENOENT) {
            continue;
        }
        if (errno == ENOTEMPTY || errno == EEXIST) {
            log_warning("Keeping %s: Directory not empty", directory.c_str());
        } else {
            not_restored(record, directory, errno);
        }
    }
}

}  // namespace

int undo_changes(undo_record& record, const std::function<void()>& reload,
                 const std::function<bool(const std::string& path)>& which,
                 const stop_programs& stop) {
    record.not_restored.clear();
    const plan read = read_plan(record);
    remove_hidden_files(read);
    std::vector<judgement> verdicts;
    std::vector<platform::file_identity> running;
    for (std::size_t index = 0; index < read.changes.size(); ++index) {
        if (which && !which(read.changes[index].entry.path)) {
            continue;
        }
        verdicts.push_back(judge(record, read, index));
        const judgement& verdict = verdicts.back();
        if (verdict.undo && verdict.found && S_ISREG(verdict.now.st_mode)) {
            running.push_back({verdict.now.st_dev, verdict.now.st_ino});
        }
    }
    if (stop) {
        stop(running);
    }
    std::vector<std::string> held;
    for (auto verdict = verdicts.rbegin(); verdict != verdicts.rend(); ++verdict) {
        const planned_change& change = read.changes[verdict->change];
        const int error = verdict->undo ? restore(record, change, *verdict) : verdict->error;
        if (error == ENOTEMPTY && is_created(change.entry)) {
            held.push_back(change.entry.path);
        } else if (error != 0) {
            not_restored(record, change.entry.path, error);
        }
        if ((verdict->undo || error != 0) && change.entry.reload_after && reload) {
            reload();
        }
    }
    remove_held_directories(record, std::move(held));
    return static_cast<int>(record.not_restored.size());
}

void keep_new_release(const undo_record& record) {
    const plan read = read_plan(record);
    remove_hidden_files(read);
    std::set<std::string> folders;
    for (const planned_change& change : read.changes) {
        folders.insert(parent_of(change.entry.path));
    }
    for (const std::string& folder : folders) {
        const unique_fd open_folder(
            platform::seams.open_file(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        if (open_folder.valid()) {
            note_written_file(open_folder.get(), folder);
        }
    }
}

}  // namespace kest
