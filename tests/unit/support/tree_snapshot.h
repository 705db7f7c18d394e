// A record of everything below a directory, for comparing a tree before and after a run.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace kest::testing {

struct snapshot_entry {
    mode_t mode;  // type and permission bits, as lstat reports them
    ino_t inode;
    std::string content;  // a regular file's bytes or a link's target; empty otherwise
    bool operator==(const snapshot_entry&) const = default;
};

// Paths relative to the snapshot's root, each beginning with "/"; the root itself is "".
using tree_snapshot = std::map<std::string, snapshot_entry>;

// Records every entry below `root` without following symbolic links.
tree_snapshot snapshot(const std::string& root);

// The names in directory `path` other than "." and "..", in the order the directory gives them.
std::vector<std::string> entry_names(const std::string& path);

}  // namespace kest::testing
