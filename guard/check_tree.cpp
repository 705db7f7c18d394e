#include "guard/check_tree.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "guard/preflight.h"
#include "guard/trust_check.h"
#include "guard/trusted_route.h"
#include "shared/landing.h"
#include "shared/walk_tree.h"

namespace kest {
namespace {

refusal check_directory(trust_state& trust, preflight_state& preflight,
                        const walk_entry& directory) {
    refusal why = check_staged_entry(trust, directory);
    if (refused(why)) {
        return why;
    }
    const landing lands =
        find_landing(directory.destination, write_kind::directory, trust.known, trust.rule);
    // Only a directory that will be made is written to here; one that exists is merely entered,
    // and what is written below it is checked on its own way.
    if (lands.looked_up != 0) {
        why = check_landing_route(lands);
        if (refused(why)) {
            return why;
        }
    }
    why = preflight_directory(preflight, directory.destination, lands);
    if (!refused(why) && lands.error == 0 && lands.looked_up == ENOENT) {
        // Made by the copy, for root, before anything is written below it.
        trust.known.emplace(lands.target, true);
    }
    return why;
}

refusal check_file(trust_state& trust, preflight_state& preflight, const walk_entry& file) {
    refusal why = check_staged_entry(trust, file);
    if (refused(why)) {
        return why;
    }
    const landing lands = find_landing(file.destination, write_kind::file, trust.known, trust.rule);
    why = check_landing_route(lands);
    return refused(why) ? why : preflight_file(preflight, file.destination, lands, file.status);
}

refusal check_tree(const update_paths& paths, bool systemd, preflight_state& preflight) {
    const uid_t self = geteuid();
    trust_state trust{self, trust_rule(paths.checked_from, self), {}};
    refusal why = check_route(paths.staging_root, trust.rule, trust.known);
    if (refused(why)) {
        return why;
    }
    const auto step = [&why](refusal found) {
        why = std::move(found);
        return refused(why) ? walk_step::stop : walk_step::go_on;
    };
    const walk_hooks hooks{
        .directory =
            [&](const walk_entry& directory) {
                return step(check_directory(trust, preflight, directory));
            },
        .regular_file =
            [&](const walk_entry& file) { return step(check_file(trust, preflight, file)); },
        // Part of the tree cannot be read, so cannot be checked; the copy would stop there.
        .unreadable =
            [&](const std::string& source, int error) {
                why = {refusal_reason::cannot_read, source, error, 0, 0};
            },
        .too_large =
            [&](const std::string& source) {
                why = {refusal_reason::too_large, source, 0, 0, 0};
            },
    };
    if (!walk_tree(paths.staging_root, paths.destination, systemd ? "" : paths.unit_folder,
                   hooks)) {
        return why;
    }
    why = preflight_record(preflight, paths.record_folder, trust.known, trust.rule);
    return refused(why) ? why : find_shortage(preflight.space);
}

}  // namespace

refusal check_update_tree(const update_paths& paths, bool systemd, update_counts& counts) {
    preflight_state preflight;
    refusal why = check_tree(paths, systemd, preflight);
    counts = preflight.counts;
    return why;
}

}  // namespace kest
