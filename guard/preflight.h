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

namespace kest {

// A destination directory as the installation will meet it: existing, or made by it (then on
// the file system of the nearest existing directory above). Unknown when it could not be told.
struct directory_place {
    bool known = false;
    dev_t device = 0;
    int cannot_add = 0;  // why no entry can be made in it: 0, EROFS or EPERM
};

// Gathered over one walk of the staged tree.
struct preflight_state {
    space_needs space;
    std::unordered_map<std::string, directory_place> directories;  // by destination path
    std::unordered_map<std::uint64_t, struct statvfs> mounts;      // by mount id
};

// Each of these takes the destination, `looked_up` (0 or the errno of look_at on it) and what
// look_at found, and returns 0, or 1 with `why` saying what cannot be written (reason
// cannot_write; ENOTDIR, EISDIR, EINVAL, EROFS or EPERM). A destination that could not be
// looked at for another reason is left to the installation, which meets it itself.

// A staged directory: its destination must be a directory, or be creatable in its parent.
int preflight_directory(preflight_state& state, const std::string& destination, int looked_up,
                        const file_facts& facts, refusal& why);

// A staged regular file, `staged` its status: its destination must be a
// regular file that can be written (not on a read-only file system, not immutable or
// append-only), or be creatable in its parent. The updater's own executable is replaced rather
// than rewritten, so it needs a new entry in its directory.
int preflight_file(preflight_state& state, const std::string& destination, int looked_up,
                   const file_facts& facts, const struct stat& staged, refusal& why);

// The agent's unit drop-in beside `unit_file`, when the unit lacks the setting it adds and
// systemd is present: its file, or its directory, must be writable or creatable.
int preflight_drop_in(const std::string& unit_file, refusal& why);

}  // namespace kest
