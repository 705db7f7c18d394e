// The undo record: what each change of an update destroys, kept before the change is made, so
// that a failed or interrupted update can put the old release back exactly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "shared/change_notice.h"

namespace kest {

// Where the latest kept copy of a path is described in the journal, found by the path's hash.
struct kept_at {
    std::uint64_t path_hash;
    std::uint64_t offset;
};

struct undo_record {
    std::string folder;
    unique_fd directory;  // the record folder, for the calls relative to it
    unique_fd journal;    // appended to, one write per entry
    dev_t device = 0;     // the file system the record is on
    std::uint64_t journal_end = 0;
    std::uint32_t kept_count = 0;  // kept copies are named 1, 2, ...
    bool sealed = false;
    bool clone_refused = false;  // the record's file system cannot share extents
    bool broken = false;         // a torn journal entry could not be taken back
    // Small fixed-size data per entry: the paths themselves stay in the journal on disk.
    std::vector<kept_at> kept;
    bool kept_sorted = true;
    std::vector<std::uint64_t> begun;  // journal offsets of the noted changes, oldest first
};

// Opens the record folder `folder`, creating its parent (0755) and itself (0700) when missing.
// Refused with EPERM when others could change it: not a directory, not owned by the effective
// user, or any group or other permission bit set. Starts an empty record in it: whatever the
// folder held (a record left by an earlier run included) is removed.
// Returns 0, or an errno. Logs nothing.
int open_undo_record(const std::string& folder, undo_record& record);

// Keeps the content, owner, group, mode (set-id bits included) and modification time of the
// regular file `target` (a path without symbolic links) as they are now, in the record folder:
// shared extents (FICLONE) where the record shares a file system that allows them, else a copy
// made by the kernel, else through a buffer. Returns 0, or an errno (EINVAL: not a regular
// file). Logs nothing.
int keep_old_file(undo_record& record, const std::string& target);

// Flushes the record's file system, so that what it holds survives a power cut. Called once,
// before the first change is noted. Returns 0, or an errno. Logs nothing.
int seal_undo_record(undo_record& record);

// Notes, before the change is made, that the copy is about to change `target` (an absolute path
// without symbolic links, else EINVAL), by what is there now:
// - an existing regular file (rewrite, replace, or create_file over one, which is a rewrite):
//   its state kept by keep_old_file is used unless it changed since (inode, size, modification
//   or change time), else it is kept now. For replace on the record's file system the old inode
//   itself is kept, by a hard link;
// - nothing (create_file, or a file kind over a missing path): noted as created;
// - a directory for create_directory, or a directory or special file for a file kind: nothing
//   is noted, since the copy creates or writes nothing there that undo could take back;
// - a symbolic link for a file kind: refused with ELOOP.
// The entry is appended with one write, so that it survives the process being killed at any
// instant. Seals the record first when that was not done. `reload_after`: undo_changes calls its
// reload right after restoring this entry. A repeated note of one change is harmless.
// Returns 0, or an errno: the change's undo cannot be recorded and the change must not be made.
// Logs nothing.
int note_change(undo_record& record, change_kind kind, const std::string& target,
                bool reload_after = false);

// Undoes every noted change not yet restored, newest first: a rewritten file gets its old
// content back in the same inode, then its owner, group, mode and modification time (when the
// disk is too full for that, the kept copy is renamed over it where they share a file system); a
// replaced file gets the kept inode or a copy of the kept file renamed back; a created file or
// directory is removed, unless it is now of another type or a symbolic link (left: "Too many
// levels of symbolic links", "Is a directory", "Not a directory", "Invalid argument"), or a
// directory that holds something ("Directory not empty"). Each restored entry is marked in the
// journal and forgotten by `record`, so that a later undo of the same record does not repeat it.
// Calls `reload` (when set) right after each entry noted with reload_after, restored or not.
// Logs err "Cannot restore %s: %s" (path, the system's error text) for each entry not
// restored, nothing else. Returns the number of entries not restored.
// With `which`, only the entries whose path it accepts are undone now; the others are left, in
// their order, to a later undo of the same record.
int undo_changes(undo_record& record, const std::function<void()>& reload,
                 const std::function<bool(const std::string& path)>& which = nullptr);

// Removes the record: its journal first, so that nothing is taken for a record any more once
// that is on disk, then the kept copies and the folder. Call after the restored or installed
// files are flushed. Returns 0, or an errno. Logs nothing.
int remove_undo_record(undo_record& record);

// Whether `folder` holds a record of a run that noted a change and ended before removing it (a
// run killed, a power cut, an incomplete rollback); if so opens it into `record`, for
// undo_changes and remove_undo_record. A folder that others could change (as open_undo_record
// refuses it) holds no record. A torn last entry is dropped. Takes no lock. Logs nothing.
bool find_interrupted_record(const std::string& folder, undo_record& record);

}  // namespace kest
