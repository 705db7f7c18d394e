#include "guard/trust_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/path_text.h"
#include "guard/preflight.h"
#include "shared/file_facts.h"
#include "shared/walk_tree.h"

namespace kest {

int check_update_tree(const update_paths& paths, refusal& why) {
    const uid_t self = geteuid();
    sound_directories sound;
    preflight_state preflight;
    const auto route = [&](const std::string& path) {
        const int checked = check_route(path, paths.checked_from, self, sound, why.path);
        if (checked == trust_refused) {
            why.reason = refusal_reason::others_can_change;
        }
        return checked;
    };
    const int staged_route = route(paths.staging_root);
    if (staged_route != trust_ok) {
        return staged_route;
    }
    const auto check_staged = [&](const walk_entry& entry) {
        if (others_can_change(entry.status, self)) {
            why = {refusal_reason::others_can_change, entry.source, 0, 0, 0};
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
                file_facts facts;
                const int looked_up = look_at(directory.destination, facts);
                // Only a directory that will be created is written to here; one that exists is
                // merely entered, and what is written below it checks its own way.
                if (looked_up == ENOENT && route(directory.destination) != trust_ok) {
                    return trust_refused;
                }
                return preflight_directory(preflight, directory.destination, looked_up, facts, why);
            },
        .make_destination = nullptr,
        .regular_file =
            [&](const walk_entry& file) {
                if (check_staged(file) != trust_ok) {
                    return trust_refused;
                }
                // Most destinations are no links: then the way to their directory is all there
                // is to check, and it is known already but for the first file in it.
                file_facts facts;
                int looked_up = look_at(file.destination, facts, last_link::keep);
                const bool link = looked_up == 0 && S_ISLNK(facts.mode);
                const std::string& way =
                    link ? file.destination : parent_of(file.destination) + "/.";
                if (route(way) != trust_ok) {
                    return trust_refused;
                }
                if (link) {
                    looked_up = look_at(file.destination, facts);
                }
                return preflight_file(preflight, file.destination, looked_up, facts, file.status,
                                      why);
            },
        .loop = nullptr,
        // Part of the tree cannot be read, so cannot be checked; the installation would stop there.
        .ended =
            [&](const std::string& source, int, int error) {
                why = {refusal_reason::cannot_read, source, error, 0, 0};
                return trust_refused;
            },
    };
    const int walked = walk_tree(paths.staging_root, paths.destination, paths.unit_folder, hooks);
    if (walked != trust_ok) {
        return walked;
    }
    why = find_shortage(preflight.space);
    return why.reason == refusal_reason::none ? trust_ok : trust_refused;
}

}  // namespace kest
