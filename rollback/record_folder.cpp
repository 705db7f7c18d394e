// The record folder's life: opened empty, found after a crash, removed at the end.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/directory_handle.h"
#include "base/path_text.h"
#include "base/platform.h"
#include "base/retry_on_eintr.h"
#include "rollback/record_journal.h"
#include "rollback/undo_record.h"

namespace kest {
namespace {

// Anyone else who could change the folder could plant what undo writes back as root.
bool closed_to_others(const struct stat& status, mode_t type) {
    return (status.st_mode & S_IFMT) == type && status.st_uid == geteuid() &&
           (status.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// Opens the folder into `record`, as a record with nothing in it yet, refusing one that others
// could change. Returns 0 or an errno.
int open_folder(const std::string& folder, undo_record& record) {
    record.folder = folder;
    record.journal.reset();
    record.journal_end = 0;
    record.kept_count = 0;
    record.sealed = record.clone_refused = record.broken = false;
    record.kept.clear();
    record.kept_sorted = true;
    record.begun.clear();
    record.directory.reset(
        platform::open_file(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
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

}  // namespace

int open_undo_record(const std::string& folder, undo_record& record) {
    // The modes in the calls themselves: the creation mask is 0 once detached.
    if ((platform::make_directory(parent_of(folder).c_str(), 0755) != 0 && errno != EEXIST) ||
        (platform::make_directory(folder.c_str(), 0700) != 0 && errno != EEXIST)) {
        return errno;
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
    return record.journal.valid() ? 0 : errno;
}

bool find_interrupted_record(const std::string& folder, undo_record& record) {
    if (open_folder(folder, record) != 0) {
        return false;
    }
    record.journal.reset(retry_on_eintr([&] {
        return openat(record.directory.get(), journal_name,
                      O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    }));
    struct stat status {};
    if (!record.journal.valid() || fstat(record.journal.get(), &status) != 0 ||
        !closed_to_others(status, S_IFREG)) {
        return false;
    }
    bool noted = false;
    std::vector<std::uint64_t> restored;
    record.journal_end =
        read_journal(record.journal.get(), [&](std::uint64_t offset, const journal_entry& entry) {
            record.kept_count = std::max(record.kept_count, entry.kept);
            if (entry.type == entry_type::begun) {
                noted = true;
                record.begun.push_back(offset);
            } else if (entry.type == entry_type::restored) {
                restored.push_back(entry.reference);
            }
        });
    std::sort(restored.begin(), restored.end());
    std::erase_if(record.begun, [&](std::uint64_t offset) {
        return std::binary_search(restored.begin(), restored.end(), offset);
    });
    // Entries appended after a torn one could not be read back.
    if (static_cast<std::uint64_t>(status.st_size) > record.journal_end &&
        ftruncate(record.journal.get(), static_cast<off_t>(record.journal_end)) != 0) {
        record.broken = true;
    }
    record.sealed = true;
    return noted;
}

int remove_undo_record(undo_record& record) {
    if (const int error = empty_folder(record.directory.get()); error != 0) {
        return error;
    }
    record.journal.reset();
    record.directory.reset();
    record.begun.clear();
    record.kept.clear();
    return rmdir(record.folder.c_str()) == 0 ? 0 : errno;
}

}  // namespace kest
