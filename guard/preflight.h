// Whether the installation could write what it is about to, looked at before the agent stops.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "guard/refusal.h"
#include "guard/space_needs.h"
#include "shared/file_facts.h"
#include "shared/landing.h"

namespace kest {

// A destination folder as the installation will meet it: existing, or made by it (then on the
// file system of the folder above it). Unknown when it could not be told.
struct directory_place {
    bool known = false;
    dev_t device = 0;
    int cannot_add = 0;  // why no entry can be made in it: 0, EROFS or EPERM
};

// What the copy will do, as far as the walk got: the entries it checked and passed.
struct update_counts {
    unsigned long long rewrite = 0;  // existing files rewritten in place, or replaced
    unsigned long long create_files = 0;
    unsigned long long create_folders = 0;
    unsigned long long bytes = 0;  // the sizes of the staged files written
};

// Gathered over one walk of the staged tree.
struct preflight_state {
    space_needs space;
    std::unordered_map<std::string, directory_place> directories;  // by path without links
    std::unordered_map<std::uint64_t, struct statvfs> mounts;      // by mount id
    // What the undo record will hold: a copy of each existing file the copy changes, and an
    // entry for each change.
    unsigned long long kept_files = 0;
    unsigned long long kept_bytes = 0;
    unsigned long long changes = 0;
    update_counts counts;
};

// Each of these takes the destination as staged and where its write lands (find_landing), and
// returns no refusal, or cannot_write (naming the destination) with the error the copy would
// meet: the landing's own (ENOENT, ENOTDIR, ELOOP, EEXIST...), ENOTDIR, EISDIR, EINVAL, EROFS or
// EPERM. What exists there but could not be looked at is left to the copy, which meets it itself.
// An entry that passes is added to `state.counts` as what the copy will do with it: nothing for
// an existing directory or the staged file itself.

// A staged directory: its destination must be a directory, or be creatable in its folder.
refusal preflight_directory(preflight_state& state, const std::string& destination,
                            const landing& lands);

// A staged regular file, `staged` its status: its destination must be a regular file that can
// be written (not on a read-only file system, not immutable or append-only), or be creatable in
// its folder. The updater's own executable is replaced rather than rewritten, so it needs a new
// entry in its folder.
refusal preflight_file(preflight_state& state, const std::string& destination, const landing& lands,
                       const struct stat& staged);

// The undo record's folder `folder` ("" for none), after the walk: when it exists, only the
// updater's user may open it (a directory closed to group and others, else others_can_change
// naming it), and nobody else may change the directories on its way (`rule`); it, or the
// nearest folder above it that exists, where it will be made, must take new entries (else
// cannot_write naming it); and its file system gets the space and inodes of what the record will
// hold added to its needs.
refusal preflight_record(preflight_state& state, const std::string& folder,
                         known_directories& known, const directory_rule& rule);

// The agent's unit drop-in beside `unit_file`, when systemd runs the host and the unit lacks
// the setting the drop-in adds: its file, or its directory, must be writable or creatable.
refusal preflight_drop_in(const std::string& unit_file, bool systemd);

}  // namespace kest
