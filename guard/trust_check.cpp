#include "guard/trust_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "install/walk_tree.h"

namespace kest {

int check_update_tree(const update_paths& paths, std::string& named) {
    const uid_t self = geteuid();
    sound_directories sound;
    const auto route = [&](const std::string& path) {
        return check_route(path, paths.checked_from, self, sound, named);
    };
    const int staged_route = route(paths.staging_root);
    if (staged_route != trust_ok) {
        return staged_route;
    }
    const auto check_staged = [&](const walk_entry& entry) {
        if (others_can_change(entry.status, self)) {
            named = entry.source;
            return trust_refused;
        }
        // A link's target is reached through directories outside the tree, which their
        // owners could swap between this check and the copy.
        struct stat own {};
        if (entry.maybe_link && lstat(entry.source.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
            return route(entry.source);
        }
        return trust_ok;
    };
    const walk_hooks hooks{
        .entered = nullptr,
        .skipped_unit_folder = nullptr,
        .directory =
            [&](const walk_entry& directory) {
                const int staged = check_staged(directory);
                if (staged != trust_ok) {
                    return staged;
                }
                // Only a directory that will be created is written to here; one that exists is
                // merely entered, and what is written below it checks its own way.
                struct stat status {};
                if (stat(directory.destination.c_str(), &status) == 0 || errno != ENOENT) {
                    return trust_ok;
                }
                return route(directory.destination);
            },
        .make_destination = nullptr,
        .regular_file =
            [&](const walk_entry& file) {
                const int staged = check_staged(file);
                return staged != trust_ok ? staged : route(file.destination);
            },
        .loop = nullptr,
        .ended =
            [&](const std::string& source, int code) {
                named = source;
                return code;
            },
    };
    return walk_tree(paths.staging_root, paths.destination, paths.unit_folder, hooks);
}

}  // namespace kest
