// Where a write of the update lands on the host: the one answer that the checks before
// detaching, the copy and the undo record share, so that they never disagree on it.
#pragma once

#include <cerrno>
#include <functional>
#include <string>
#include <unordered_map>

#include "shared/file_facts.h"

namespace kest {

enum class write_kind {
    // Opened for writing, created when missing: every symbolic link is followed, the last one
    // too, to a file that may not exist yet (it is then created where the link points).
    file,
    // Made when missing: links are followed; a last link that leads nowhere makes the making
    // fail, since mkdir does not follow it.
    directory,
};

// A rule that each directory a lookup passes through must pass: true when it does.
using directory_rule = std::function<bool(const std::string& directory, const file_facts& facts)>;

// What one run has learned of directories, by their path without symbolic links ("" is /):
// whether each passed the rule. A directory found here is not looked at again.
using known_directories = std::unordered_map<std::string, bool>;

struct landing {
    // 0, or the error the write would meet on its way: ENOENT (a directory on the way is
    // missing), ENOTDIR, ELOOP, ENAMETOOLONG, EEXIST (a directory over a link that leads
    // nowhere), or whatever looking at a directory on the way failed with.
    int error = 0;
    // The path the write reaches, without symbolic links.
    std::string target;
    // 0 when something is at `target` (described by `existing`, a link not followed), ENOENT
    // when nothing is (the write creates it), else the error of looking at it.
    int looked_up = ENOENT;
    file_facts existing;
    // The first directory on the way that fails the rule, "" when none does.
    std::string untrusted;
};

// Follows `path` (a relative one from the working directory) the way the kernel's lookup does for a
// write of `kind`, one name at a time, reading each symbolic link met (at most 40, as the kernel):
// the directories that hold each link are on the way too. Each directory on the way that `known`
// does not hold yet is looked at once and judged by `rule` (none: every directory passes), its
// verdict kept in `known`; the object finally named is looked at, never judged. Logs nothing.
landing find_landing(const std::string& path, write_kind kind, known_directories& known,
                     const directory_rule& rule = nullptr);

}  // namespace kest
