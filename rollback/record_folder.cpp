// The record folder's life: opened empty, its states marked, found after a crash, removed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/directory_handle.h"
#include "base/path_text.h"
#include "base/platform.h"
#include "base/retry_on_eintr.h"
#include "rollback/record_journal.h"
#include "rollback/undo_record.h"
#include "shared/ownership.h"

namespace kest {
namespace {

// Anyone else who could change the folder could plant what undo writes back as root.
bool closed_to_others(const struct stat& status, mode_t type) {
    return (status.st_mode & S_IFMT) == type &&
           private_to(status.st_uid, status.st_mode, geteuid());
}

// Opens the folder into `record`, as a record with nothing in it yet, refusing one that others
// could change. Returns 0 or an errno.
int open_folder(const std::string& folder, undo_record& record) {
    record = {};
    record.folder = folder;
    record.directory.reset(platform::seams.open_file(
        folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
    struct stat status {};
    if (!record.directory.valid() || fstat(record.directory.get(), &status) != 0) {
        return errno;
    }
    record.device = status.st_dev;
    return closed_to_others(status, S_IFDIR) ? 0 : EPERM;
}

// Removes every file in the folder, the journal first: without it what is left is no record.
int empty_folder(int folder) {
    if (unlinkat(folder, journal_name, 0) != 0 && errno != ENOENT) {
        return errno;
    }
    // What comes after is no record any more, even after a power cut.
    if (fsync(folder) != 0) {
        return errno;
    }
    const int listed = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const directory_handle listing(listed >= 0 ? fdopendir(listed) : nullptr);
    if (!listing) {
        const int error = errno;
        if (listed >= 0) {
            (void)close(listed);
        }
        return error;
    }
    errno = 0;
    while (const dirent* entry = readdir(listing.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
            unlinkat(folder, entry->d_name, 0) != 0) {
            return errno;
        }
        errno = 0;
    }
    return errno;
}

int append_state(undo_record& record, entry_type type, const std::string& path = "") {
    journal_entry entry;
    entry.type = type;
    entry.path = path;
    return append_entry(record, entry);
}

// What the journal's entries say of the record.
struct journal_reading {
    bool made_by_run = false;    // it begins with a run entry: this version's record
    bool sealed = false;         // the plan is whole
    bool changes_noted = false;  // an earlier version's record that noted a change
    std::string boot;            // where it was made
    record_state last = record_state::planned;
};

void read_state(const journal_entry& entry, journal_reading& reading, undo_record& record) {
    record.kept_count = std::max(record.kept_count, entry.kept);
    switch (entry.type) {
        case entry_type::run:
            reading.made_by_run = true;
            reading.boot = entry.path;
            break;
        case entry_type::sealed:
            reading.sealed = true;
            break;
        case entry_type::begun:
            reading.changes_noted = true;
            break;
        case entry_type::restarted:
            reading.last = record_state::restarted;
            reading.boot = entry.path;
            break;
        case entry_type::undoing:
            reading.last = record_state::planned;
            break;
        case entry_type::committed:
            reading.last = record_state::committed;
            break;
        default:
            break;
    }
}

}  // namespace

int open_undo_record(const std::string& folder, undo_record& record) {
    // The modes in the calls themselves: the creation mask is 0 once detached.
    if ((platform::seams.make_directory(parent_of(folder).c_str(), 0755) != 0 && errno != EEXIST) ||
        (platform::seams.make_directory(folder.c_str(), 0700) != 0 && errno != EEXIST)) {
        return errno;
    }
    {
        undo_record found;
        if (find_interrupted_record(folder, found) != record_state::none) {
            return EEXIST;
        }
    }
    if (const int error = open_folder(folder, record); error != 0) {
        return error;
    }
    if (const int error = empty_folder(record.directory.get()); error != 0) {
        return error;
    }
    record.journal.reset(retry_on_eintr([&] {
        return openat(record.directory.get(), journal_name,
                      O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!record.journal.valid()) {
        return errno;
    }
    journal_entry run;
    run.type = entry_type::run;
    run.reference = static_cast<std::uint64_t>(getpid());
    run.path = platform::seams.boot_id();
    return append_entry(record, run);
}

int mark_restarted(undo_record& record) {
    return append_state(record, entry_type::restarted, platform::seams.boot_id());
}

int mark_undoing(undo_record& record) {
    return append_state(record, entry_type::undoing);
}

int mark_committed(undo_record& record) {
    const int error = append_state(record, entry_type::committed);
    return error != 0 ? error : flush_journal(record);
}

record_state find_interrupted_record(const std::string& folder, undo_record& record) {
    if (open_folder(folder, record) != 0) {
        return record_state::none;
    }
    record.journal.reset(retry_on_eintr([&] {
        return openat(record.directory.get(), journal_name,
                      O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    }));
    struct stat status {};
    if (!record.journal.valid() || fstat(record.journal.get(), &status) != 0 ||
        !closed_to_others(status, S_IFREG)) {
        record.journal.reset();
        return record_state::none;
    }
    journal_reading reading;
    record.journal_end = read_journal(
        record.journal.get(),
        [&](std::uint64_t, const journal_entry& entry) { read_state(entry, reading, record); });
    // Entries appended after a torn one could not be read back.
    if (static_cast<std::uint64_t>(status.st_size) > record.journal_end &&
        ftruncate(record.journal.get(), static_cast<off_t>(record.journal_end)) != 0) {
        record.broken = true;
    }
    record.sealed = true;
    record.without_attributes = !reading.made_by_run;
    const std::string boot = platform::seams.boot_id();
    record.same_boot = !boot.empty() && reading.boot == boot;
    // Nothing is changed before the plan is on disk; an earlier version's record was changed
    // once it noted a change.
    if (reading.made_by_run ? !reading.sealed : !reading.changes_noted) {
        return record_state::none;
    }
    return reading.last;
}

int remove_undo_record(undo_record& record) {
    if (const int error = empty_folder(record.directory.get()); error != 0) {
        return error;
    }
    record.journal.reset();
    record.directory.reset();
    record.planned.clear();
    return rmdir(record.folder.c_str()) == 0 ? 0 : errno;
}

}  // namespace kest
