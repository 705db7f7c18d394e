#include "guard/preflight.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/file_identity.h"
#include "base/path_text.h"
#include "shared/ownership.h"
#include "shared/unit_drop_in.h"

namespace kest {
namespace {

refusal cannot_write(const std::string& path, int error) {
    return {refusal_reason::cannot_write, path, error, 0, 0};
}

// Why the existing file or directory `facts` takes no writes, or no new entries when it is a
// directory (where append-only still lets entries be added): 0, EROFS or EPERM.
int why_unwritable(const file_facts& facts, const struct statvfs& status) {
    if ((status.f_flag & ST_RDONLY) != 0) {
        return EROFS;
    }
    const bool locked = facts.immutable || (facts.append_only && !S_ISDIR(facts.mode));
    return locked ? EPERM : 0;
}

// statvfs of `path`: once per mount where the kernel names mounts (a read-only bind mount is a
// mount of its own), else for each path.
bool file_system_status(preflight_state& state, const std::string& path, const file_facts& facts,
                        struct statvfs& status) {
    const auto known = facts.mount != 0 ? state.mounts.find(facts.mount) : state.mounts.end();
    if (known != state.mounts.end()) {
        status = known->second;
        return true;
    }
    if (statvfs(path.c_str(), &status) != 0) {
        return false;
    }
    if (facts.mount != 0) {
        state.mounts.emplace(facts.mount, status);
    }
    return true;
}

// Looks up, once, the directory `path` (without symbolic links) that an entry will be made in.
const directory_place& place_of(preflight_state& state, const std::string& path) {
    const auto known = state.directories.find(path);
    if (known != state.directories.end()) {
        return known->second;
    }
    directory_place place;
    file_facts facts;
    struct statvfs status {};
    if (look_at(path, facts) == 0 && S_ISDIR(facts.mode) &&
        file_system_status(state, path, facts, status)) {
        need_on(state.space, facts.device, status, path);
        place = {true, facts.device, why_unwritable(facts, status)};
    }
    return state.directories.emplace(path, place).first->second;
}

// A new entry, `bytes` and one inode, in the folder that will hold `target`; refused as
// `destination` when that folder takes no new entries.
refusal add_entry(preflight_state& state, const std::string& destination, const std::string& target,
                  unsigned long long bytes) {
    const directory_place& folder = place_of(state, parent_of(target));
    if (!folder.known) {
        return {};
    }
    if (folder.cannot_add != 0) {
        return cannot_write(destination, folder.cannot_add);
    }
    file_system_need& need = state.space.at(folder.device);
    need.bytes += in_blocks(need, bytes);
    need.inodes += 1;
    return {};
}

// An existing regular file the copy rewrites in place, or replaces when it is this program.
refusal rewrite_file(preflight_state& state, const std::string& destination, const landing& lands,
                     unsigned long long size) {
    const file_facts& facts = lands.existing;
    struct statvfs status {};
    if (!file_system_status(state, lands.target, facts, status)) {
        return {};  // nothing to tell: the copy meets it itself
    }
    const int unwritable = why_unwritable(facts, status);
    if (unwritable != 0) {
        return cannot_write(destination, unwritable);
    }
    file_system_need& need = need_on(state.space, facts.device, status, lands.target);
    state.kept_files += 1;
    state.kept_bytes += facts.size;
    if (is_own_executable(identity_of(facts))) {
        // Replaced by a new file beside it.
        return add_entry(state, destination, lands.target, size);
    }
    const unsigned long long rewritten = in_blocks(need, size);
    need.bytes += rewritten > facts.allocated ? rewritten - facts.allocated : 0;
    return {};
}

}  // namespace

refusal preflight_directory(preflight_state& state, const std::string& destination,
                            const landing& lands) {
    state.changes += 1;
    if (lands.error != 0) {
        return cannot_write(destination, lands.error);
    }
    if (lands.looked_up == 0) {
        return S_ISDIR(lands.existing.mode) ? refusal{} : cannot_write(destination, ENOTDIR);
    }
    if (lands.looked_up != ENOENT) {
        return {};
    }
    // One block for its first entries; what goes below it lands on its parent's file system.
    refusal made = add_entry(state, destination, lands.target, 1);
    const directory_place& parent = place_of(state, parent_of(lands.target));
    state.directories[lands.target] = {parent.known, parent.device, 0};
    state.counts.create_folders += refused(made) ? 0 : 1;
    return made;
}

refusal preflight_file(preflight_state& state, const std::string& destination, const landing& lands,
                       const struct stat& staged) {
    const auto size = static_cast<unsigned long long>(staged.st_size);
    state.changes += 1;
    if (lands.error != 0) {
        return cannot_write(destination, lands.error);
    }
    update_counts& counts = state.counts;
    if (lands.looked_up == ENOENT) {
        refusal made = add_entry(state, destination, lands.target, size);
        if (!refused(made)) {
            counts.create_files += 1;
            counts.bytes += size;
        }
        return made;
    }
    if (lands.looked_up != 0) {
        return {};
    }
    const mode_t type = lands.existing.mode & S_IFMT;
    if (type == S_IFDIR) {
        return cannot_write(destination, EISDIR);
    }
    if (type != S_IFREG) {
        return cannot_write(destination, EINVAL);
    }
    if (same_file(identity_of(lands.existing), identity_of(staged))) {
        return {};  // the staged file itself, left as it is
    }
    refusal rewritten = rewrite_file(state, destination, lands, size);
    if (!refused(rewritten)) {
        counts.rewrite += 1;
        counts.bytes += size;
    }
    return rewritten;
}

refusal preflight_record(preflight_state& state, const std::string& folder,
                         known_directories& known, const directory_rule& rule) {
    if (folder.empty()) {
        return {};
    }
    // The record is made in the folder, or in the nearest one above it that exists.
    std::string at = folder;
    unsigned long long made = 0;
    landing lands = find_landing(at, write_kind::directory, known, rule);
    while (lands.error == ENOENT || (lands.error == 0 && lands.looked_up == ENOENT)) {
        at = parent_of(at);
        made += 1;
        lands = find_landing(at, write_kind::directory, known, rule);
    }
    if (!lands.untrusted.empty()) {
        return {refusal_reason::others_can_change, lands.untrusted, 0, 0, 0};
    }
    if (lands.error != 0 || lands.looked_up != 0) {
        return cannot_write(folder, lands.error != 0 ? lands.error : lands.looked_up);
    }
    const file_facts& facts = lands.existing;
    if (made == 0 && (!S_ISDIR(facts.mode) || !private_to(facts.owner, facts.mode, geteuid()))) {
        return {refusal_reason::others_can_change, folder, 0, 0, 0};
    }
    if (!S_ISDIR(facts.mode)) {
        return cannot_write(folder, ENOTDIR);
    }
    const directory_place& place = place_of(state, lands.target);
    if (!place.known) {
        return {};
    }
    if (place.cannot_add != 0) {
        return cannot_write(folder, place.cannot_add);
    }
    // Each kept copy in whole blocks, and a journal entry of a few hundred bytes per change.
    constexpr unsigned long long journal_bytes_per_change = 512;
    file_system_need& need = state.space.at(place.device);
    need.bytes += state.kept_bytes + state.kept_files * need.block_size +
                  in_blocks(need, state.changes * journal_bytes_per_change);
    need.inodes += state.kept_files + 1 + made;
    return {};
}

refusal preflight_drop_in(const std::string& unit_file, bool systemd) {
    if (!systemd || !drop_in_needed(unit_file)) {
        return {};
    }
    // The file is rewritten in place when it exists, else made in its directory, which is made
    // in the unit directory when missing: the first of them that exists decides.
    const std::string file = drop_in_file(unit_file);
    const std::string directory = drop_in_directory(unit_file);
    const std::pair<std::string, std::string> existing_and_written[] = {
        {file, file}, {directory, file}, {parent_of(directory), directory}};
    for (const auto& [existing, written] : existing_and_written) {
        file_facts facts;
        const int looked_up = look_at(existing, facts);
        if (looked_up == ENOENT) {
            continue;
        }
        struct statvfs status {};
        if (looked_up != 0 || statvfs(existing.c_str(), &status) != 0) {
            return {};
        }
        if (existing != file && !S_ISDIR(facts.mode)) {
            return cannot_write(written, ENOTDIR);
        }
        const int unwritable = why_unwritable(facts, status);
        return unwritable == 0 ? refusal{} : cannot_write(written, unwritable);
    }
    return {};
}

}  // namespace kest
