// The trust check of each entry of the staged tree: only root and the updater's own user may
// change what the update reads, and the way to each staged link's target.
#pragma once

#include <sys/types.h>

#include "guard/refusal.h"
#include "shared/landing.h"
#include "shared/walk_tree.h"

namespace kest {

// What the trust check keeps over one walk.
struct trust_state {
    uid_t self;
    directory_rule rule;      // trust_rule of the run
    known_directories known;  // shared by every lookup of the run
};

// A staged directory or regular file: refused (others_can_change, naming it) when a user other
// than root and the updater's own could change it; a staged symbolic link is refused when the
// way to its target is not safe (check_route). Returns no refusal otherwise.
refusal check_staged_entry(trust_state& trust, const walk_entry& entry);

}  // namespace kest
