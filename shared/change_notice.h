// What the stop and the copy tell before they change a destination, so that the change can be
// undone: the one way the phases reach the undo record, without learning how undo works.
#pragma once

#include <functional>
#include <string>

namespace kest {

enum class change_kind {
    rewrite,           // an existing regular file rewritten in place (same inode)
    replace,           // an existing regular file replaced by a rename over it
    create_file,       // a regular file the copy creates
    create_directory,  // a directory the copy creates
};

// Told before the change of `target` (where the write lands: a path without symbolic links) is
// made. `reload_after`: undoing this change must be followed by a reload of systemd. Returns 0,
// or an errno: the change's undo cannot be kept, and the change must not be made.
using change_notice =
    std::function<int(change_kind kind, const std::string& target, bool reload_after)>;

}  // namespace kest
