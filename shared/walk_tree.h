// The walk of a staged tree, shared by the checks before detaching and the copy, so that both
// reach exactly the same entries.
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

// What a hook tells the walk.
enum class walk_step { go_on, stop };

// What the walk does at each step; a hook left out does nothing and lets the walk go on. A hook
// that returns stop ends the whole walk; the hook keeps its own account of why.
struct walk_hooks {
    // A directory is visited (the top too), before anything else is done with it.
    std::function<void(const std::string& source)> entered = nullptr;
    // The visited directory is the skipped folder: nothing in it is walked.
    std::function<void(const std::string& source)> skipped_folder = nullptr;
    // A directory below the top that is not skipped, before it is opened.
    std::function<walk_step(const walk_entry& directory)> directory = nullptr;
    // A directory that is not skipped, the top too unless its destination is "": its destination
    // must be a directory. Runs after the directory is opened and before it is read.
    std::function<walk_step(const std::string& source, const std::string& destination)>
        make_destination = nullptr;
    std::function<walk_step(const walk_entry& file)> regular_file = nullptr;
    // A directory that is already being walked (reached again through a link) is skipped.
    std::function<void(const std::string& source)> loop = nullptr;
    // The walk cannot go on at `source` for the system's `error` (see walk_tree), and stops.
    std::function<void(const std::string& source, int error)> unreadable = nullptr;
    // The walk has grown beyond its bounds at `source` (see walk_tree), and stops.
    std::function<void(const std::string& source)> too_large = nullptr;
};

// Walks the tree below `source`, pairing each path with the same relative path below
// `destination` (child paths are "%s/%s" of parent and name). Symbolic links are followed;
// directories already on the way down are skipped as loops; entries that are neither
// directories nor regular files are skipped, and so are entries that vanished while listed,
// dangling links and link loops; the directory `skipped_folder` is skipped ("" skips none).
// A directory that cannot be opened counts as empty, unless it is for want of descriptors or
// memory. Directories are taken in the order their parents list them.
// The walk stops, calling `unreadable`, when an entry's status cannot be read for another reason
// (an I/O error, no permission, a path longer than the system allows, no memory), when a
// directory cannot be opened for want of descriptors or memory, and when reading a directory's
// listing fails; and, calling `too_large`, at the entry that would enter one directory through
// links for the ninth time, or go beyond the walk's millionth entry: whatever links the tree holds,
// the walk ends within a bound that grows with the tree, never exponentially.
// Returns true once every entry was handled; false when a hook stopped the walk or it could not
// go on.
bool walk_tree(const std::string& source, const std::string& destination,
               const std::string& skipped_folder, const walk_hooks& hooks);

}  // namespace kest
