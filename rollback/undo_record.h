// The undo record: what each change of an update destroys, planned and kept before the first
// change is made, so that a failed or interrupted update can put the old release back exactly,
// whatever of it reached the disk.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/unique_fd.h"
#include "shared/change_notice.h"

namespace kest {

// Where the latest plan entry of a path is in the journal, found by the path's hash.
struct planned_at {
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
    // Written in the boot that reads it: what was written then is what is on the files now, even
    // what never reached the disk.
    bool same_boot = true;
    // Made by a version that kept no extended attributes: they are left as they are.
    bool without_attributes = false;
    // Small fixed-size data per entry: the paths themselves stay in the journal on disk.
    std::vector<planned_at> planned;
    bool planned_sorted = true;
    // The paths the last undo_changes could not restore, as it logged them.
    std::vector<std::string> not_restored;
};

// Opens the record folder `folder`, creating its parent (0755) and itself (0700) when missing,
// and starts an empty record in it, naming this process and this boot. Refused with EPERM when
// others could change it (not a directory, not owned by the effective user, any group or other
// permission bit set), and with EEXIST when it holds a record that may have changed files
// (find_interrupted_record: not none): a record is only removed once it is resolved. Whatever
// else the folder held is removed. Returns 0, or an errno. Logs nothing.
int open_undo_record(const std::string& folder, undo_record& record);

// Plans, before the change, that the run will rewrite or replace the existing regular file
// `target` (a path without symbolic links): keeps its content, owner, group, mode (set-id bits
// included), modification time and extended attributes as they are now, in the record folder:
// shared extents (FICLONE) where the record shares a file system that allows them, else a copy
// made by the kernel, else through a buffer. `reload_after`: undoing it is followed by a reload
// of systemd. Returns 0, or an errno (EINVAL: not a regular file). Logs nothing.
int plan_kept_file(undo_record& record, const std::string& target, bool reload_after = false);

// Plans that the run will create the file or directory (`kind`) `target`, where nothing is now.
// Returns 0, or an errno. Logs nothing.
int plan_absent(undo_record& record, change_kind kind, const std::string& target,
                bool reload_after = false);

// Ends the plan and flushes the record's file system, so that the plan and every kept copy
// survive a power cut. Called once, before the first change. Returns 0, or an errno. Logs nothing.
int seal_undo_record(undo_record& record);

// Told, before the change is made, that the run is about to change `target` (an absolute path
// without symbolic links, else EINVAL). When the plan says what is there now (the same file in
// the same state, or nothing), nothing more is needed but for a replacement: its old inode is
// kept by a hard link where it shares the record's file system, and the hidden name of the new
// file is noted, on disk before the file is made. Otherwise the plan is amended, on disk before
// the change: an existing regular file is kept now (as plan_kept_file), a missing one planned as
// created; a directory for create_directory, or a directory or special file for a file kind,
// needs nothing, since the copy creates or writes nothing there that undo could take back; a
// symbolic link for a file kind is refused with ELOOP. Seals the record first when that was not
// done. Returns 0, or an errno: the change's undo cannot be recorded and the change must not be
// made. Logs nothing.
int note_change(undo_record& record, change_kind kind, const std::string& target,
                bool reload_after = false);

// The record's states after the plan: the new release started (in this boot); the run undoes
// its changes after all; the new release is kept, on disk before this returns (call once the
// run's own writes are flushed). Each returns 0, or an errno. Log nothing.
int mark_restarted(undo_record& record);
int mark_undoing(undo_record& record);
int mark_committed(undo_record& record);

// Files that the undo is about to restore or remove, by device and inode: what runs them runs
// the release being undone.
using stop_programs = std::function<void(const std::vector<platform::file_identity>& files)>;

// Puts back every path of the plan whose state differs from what the plan kept, newest first,
// whether it is new, empty, half-written or old: a kept file's content, size, owner, group, mode,
// modification time and extended attributes, judged from what is there now (and in a record
// made in this boot, an unchanged status is enough); a planned creation that is there as the run
// makes it is removed. First removes the hidden files of the record's hidden entries, then tells
// `stop` (when set) the files it will restore or remove. A rewritten file gets its old content
// back in the same inode, then its owner, group, mode, extended attributes and modification time
// (when the disk is too full, or a program still runs the file, the kept copy is put in its place
// instead, renamed where it shares the record's file system, else through a hidden new file); a
// replaced file gets its old inode back, or the kept copy; a created file is removed, and so is a
// created directory, unless something else was put in it: it is kept with what it holds, logged
// at warning "Keeping %s: Directory not empty", and counts as restored. An entry of another type
// or a symbolic link is left ("Too many levels of symbolic links", "Is a directory", "Not a
// directory", "Invalid argument"). Calls `reload` (when set) right after undoing each entry
// planned with reload_after. Logs err "Cannot restore %s: %s" (path, the system's error text) for
// each entry not restored, and keeps those paths in `record.not_restored`. Returns their number.
// With `which`, only the entries whose path it accepts are undone now; the others are left to a
// later undo of the same record.
int undo_changes(undo_record& record, const std::function<void()>& reload,
                 const std::function<bool(const std::string& path)>& which = nullptr,
                 const stop_programs& stop = nullptr);

// Removes the hidden files of the record's hidden entries, and notes the folder of every path of
// the plan as written (written_file_systems.h), so that the next flush puts what the run wrote
// there on disk: for a record whose new release is kept.
void keep_new_release(const undo_record& record);

// Removes the record: its journal first, so that nothing is taken for a record any more once
// that is on disk, then the kept copies and the folder. Call after the restored or installed
// files are flushed. Returns 0, or an errno. Logs nothing.
int remove_undo_record(undo_record& record);

// What a record folder holds.
enum class record_state {
    none,       // no record, or one whose plan never reached the disk: nothing was changed
    planned,    // changes may have been made that nothing keeps: undo them
    restarted,  // the new release started, in this boot or an earlier one (record.same_boot)
    committed,  // the new release is kept: only the record is left to remove
};

// What `folder` holds; opens a record found (but none) into `record`, for undo_changes,
// keep_new_release and remove_undo_record, and an unfinished plan too, for removal. A folder
// that others could change (as open_undo_record refuses it) holds none. A torn last entry is
// dropped. Takes no lock. Logs nothing.
record_state find_interrupted_record(const std::string& folder, undo_record& record);

}  // namespace kest
