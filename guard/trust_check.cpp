#include "guard/trust_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include "install/walk_tree.h"

namespace kest {

int check_update_tree(const std::string& staging_root, const std::string& unit_folder,
                      const std::string& checked_from, std::string& named) {
    const uid_t self = geteuid();
    const int route = check_route(staging_root, checked_from, self, named);
    if (route != trust_ok) {
        return route;
    }
    const auto check_entry = [&](const walk_entry& entry) {
        if (others_can_change(entry.status, self)) {
            named = entry.source;
            return trust_refused;
        }
        // A link's target is reached through directories outside the tree, which their
        // owners could swap between this check and the copy.
        struct stat own {};
        if (entry.maybe_link && lstat(entry.source.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
            return check_route(entry.source, checked_from, self, named);
        }
        return trust_ok;
    };
    const walk_hooks hooks{
        .entered = nullptr,
        .skipped_unit_folder = nullptr,
        .directory = check_entry,
        .make_destination = nullptr,
        .regular_file = check_entry,
        .loop = nullptr,
        .ended =
            [&](const std::string& source, int code) {
                named = source;
                return code;
            },
    };
    return walk_tree(staging_root, "", unit_folder, hooks);
}

}  // namespace kest
