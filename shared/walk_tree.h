// The walk of a staged tree, shared by the installer and the trust check, so that both reach
// exactly the same entries.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

namespace kest {

// A directory or regular file that the walk reached below its top.
struct walk_entry {
    const std::string& source;       // the parent's path, "/" and the entry's name
    const std::string& destination;  // the same below the destination
    const struct stat& status;       // as stat reports it, symbolic links followed
    bool maybe_link;                 // the listing called it a symbolic link or did not tell
};

// What the walk does at each step; a hook left empty does nothing and lets the walk go on.
// A hook that returns a nonzero code ends the whole walk with that code.
struct walk_hooks {
    // A directory is visited (the top too), before anything else is done with it.
    std::function<void(const std::string& source)> entered;
    // The visited directory is the unit folder and systemd is absent: nothing in it is walked.
    std::function<void(const std::string& source)> skipped_unit_folder;
    // A directory below the top that is not skipped, before it is read.
    std::function<int(const walk_entry& directory)> directory;
    // A directory below the top: its destination must be a directory.
    std::function<int(const std::string& source, const std::string& destination)> make_destination;
    std::function<int(const walk_entry& file)> regular_file;
    // A directory that is already being walked (reached again through a link) is skipped.
    std::function<void(const std::string& source)> loop;
    // The walk cannot go on at `source` (see walk_tree) for the system's `error`; gets and
    // returns the walk's code.
    std::function<int(const std::string& source, int code, int error)> ended;
};

// Walks the tree below `source`, pairing each path with the same relative path below
// `destination` (child paths are "%s/%s" of parent and name). Symbolic links are followed;
// directories already on the way down are skipped as loops; entries that are neither
// directories nor regular files, and entries whose status cannot be read, are skipped; without
// systemd (asked at every directory) the directory `unit_folder` is skipped. A directory that
// cannot be opened counts as empty, unless it is for want of descriptors or memory.
// The walk ends with -1, through `ended`, when a directory cannot be opened for want of
// descriptors or memory, when a path is longer than the system allows, and when reading a
// directory's listing fails. Directories are taken in the order their parents list them.
// Returns 0 once every entry was handled, or the first nonzero code of a hook.
int walk_tree(const std::string& source, const std::string& destination,
              const std::string& unit_folder, const walk_hooks& hooks);

}  // namespace kest
