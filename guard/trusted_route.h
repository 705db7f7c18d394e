// The rule that only root and the updater's own user may change what an update reads or writes,
// and the directories that lead to it.
#pragma once

#include <sys/types.h>

#include <string>

#include "guard/refusal.h"
#include "shared/landing.h"

namespace kest {

// The rule for each directory on the way: only root and `self` can change it (see
// others_can_change). Directories strictly above `checked_from` are taken as safe ("/" checks
// them all).
directory_rule trust_rule(const std::string& checked_from, uid_t self);

// Checks every directory that the absolute `path` leads through, from / down to the directory
// that holds the object it finally names, resolving symbolic links as a write would
// (find_landing): the directories that hold each link on the way are checked too, so nobody
// else can swap a link or a directory for one of their own. The object itself is not checked.
// Returns no refusal, or others_can_change naming the first directory that fails `rule`.
refusal check_route(const std::string& path, const directory_rule& rule, known_directories& known);

// The refusal for a write that lands at `lands`: others_can_change when a directory on its way
// fails the rule, else none.
refusal check_landing_route(const landing& lands);

}  // namespace kest
