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
    // The run will rewrite or replace the existing regular file `path`: the kept copy number
    // `kept` (inode `kept_inode` on the record's file system) holds it as it was in state `stamp`,
    // with its owner, group, mode and modification time; `attributes` its extended attributes.
    kept = 1,
    // A replacement of `path` is about to be made; its old inode is kept by a hard link, number
    // `kept`, inode `kept_inode`. Records of earlier versions noted every change so.
    begun = 2,
    // Records of earlier versions: the begun entry at `reference` was restored.
    restored = 3,
    // The record's first entry: the process that made it (`reference`), its boot (`path`).
    run = 4,
    // Nothing is at `path`: the run will create a file or directory there, as `kind` says.
    absent = 5,
    // The plan above is whole, and went to disk with the kept copies before any change.
    sealed = 6,
    // Process `reference` may make new files beside `path`, named as hidden_sibling_name does
    // with the tag `maker` says.
    hidden = 7,
    // The new release has started, in the boot `path`.
    restarted = 8,
    // The run undoes its changes: the release that started is not kept.
    undoing = 9,
    // The new release is on disk and kept: nothing is to be undone any more.
    committed = 10,
};

// Who makes the hidden files of a hidden entry.
enum class hidden_maker : std::uint8_t { copy = 0, undo = 1 };

// The tag of the hidden files that `maker` makes.
const char* hidden_tag(hidden_maker maker);

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
    bool reload_after = false;  // undoing this entry is followed by a reload of systemd
    hidden_maker maker = hidden_maker::copy;
    std::uint32_t kept = 0;        // the kept copy's number, 0 for none
    std::uint64_t kept_inode = 0;  // its inode, on the record's file system
    std::uint64_t reference = 0;
    file_stamp stamp;  // the target's state when kept
    std::string path;
    std::string attributes;  // encode_attributes of a kept file's extended attributes
};

file_stamp stamp_of(const struct stat& status);

// The kept copy's name in the record folder.
std::string kept_name(std::uint32_t number);

// Appends `entry` to the record's journal with one write. A write that fails part way is cut
// off again; when even that fails the record is marked broken and refuses every later entry.
// Returns 0, or an errno.
int append_entry(undo_record& record, const journal_entry& entry);

// Writes what the journal holds to disk. Returns 0, or an errno.
int flush_journal(undo_record& record);

// Reads the entry at `offset` of `journal`; the offset of the next one, or 0 when there is no
// whole, intact entry there.
std::uint64_t read_entry(int journal, std::uint64_t offset, journal_entry& entry);

// Calls `visit` with each intact entry from the start, oldest first, with its offset; stops at
// the first torn or damaged one. Returns where the intact entries end.
std::uint64_t read_journal(int journal,
                           const std::function<void(std::uint64_t, const journal_entry&)>& visit);

}  // namespace kest
