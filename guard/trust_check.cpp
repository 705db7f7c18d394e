#include "guard/trust_check.h"

#include <sys/stat.h>

#include "guard/trusted_route.h"
#include "shared/ownership.h"

namespace kest {

refusal check_staged_entry(trust_state& trust, const walk_entry& entry) {
    const struct stat& status = entry.status;
    if (others_can_change(status.st_uid, status.st_gid, status.st_mode, trust.self)) {
        return {refusal_reason::others_can_change, entry.source, 0, 0, 0};
    }
    // A link's target is reached through directories outside the tree, which their owners could
    // swap between this check and the copy.
    struct stat own {};
    if (entry.maybe_link && lstat(entry.source.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
        return check_route(entry.source, trust.rule, trust.known);
    }
    return {};
}

}  // namespace kest
