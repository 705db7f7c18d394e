// The undo record's journal: entries appended one write each, read back after a crash.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "rollback/undo_record.h"

namespace kest {

inline constexpr const char* journal_name = "journal";

enum class entry_type : std::uint8_t {
    kept = 1,      // a kept copy of `path`, whose state then was `stamp`
    begun = 2,     // a change of `path` was about to be made
    restored = 3,  // the begun entry at `reference` was restored
};

// What identifies a file's state: a change of content or metadata changes one of these.
struct file_stamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtime_seconds = 0;
    std::int64_t mtime_nanoseconds = 0;
    std::int64_t ctime_seconds = 0;
    std::int64_t ctime_nanoseconds = 0;
    bool operator==(const file_stamp&) const = default;
};

struct journal_entry {
    entry_type type = entry_type::kept;
    change_kind kind = change_kind::rewrite;
    bool reload_after = false;
    std::uint32_t kept = 0;        // the kept copy's number, 0 for none
    std::uint64_t kept_inode = 0;  // its inode, on the record's file system
    std::uint64_t reference = 0;   // for restored: the offset of the begun entry
    file_stamp stamp;              // the target's state when kept or noted
    std::string path;
};

file_stamp stamp_of(const struct stat& status);

// The kept copy's name in the record folder.
std::string kept_name(std::uint32_t number);

// Appends `entry` to the record's journal with one write. A write that fails part way is cut
// off again; when even that fails the record is marked broken and refuses every later entry.
// Returns 0, or an errno.
int append_entry(undo_record& record, const journal_entry& entry);

// Reads the entry at `offset` of `journal`; the offset of the next one, or 0 when there is no
// whole, intact entry there.
std::uint64_t read_entry(int journal, std::uint64_t offset, journal_entry& entry);

// Calls `visit` with each intact entry from the start, oldest first, with its offset; stops at
// the first torn or damaged one. Returns where the intact entries end.
std::uint64_t read_journal(int journal,
                           const std::function<void(std::uint64_t, const journal_entry&)>& visit);

}  // namespace kest
