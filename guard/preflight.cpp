#include "guard/preflight.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <utility>

#include "base/path_text.h"
#include "base/platform.h"
#include "base/systemd_present.h"
#include "guard/trusted_route.h"
#include "shared/unit_drop_in.h"

namespace kest {
namespace {

int refuse(refusal& why, const std::string& path, int error) {
    why = {refusal_reason::cannot_write, path, error, 0, 0};
    return trust_refused;
}

// Why the existing `path` takes no writes, or no new entries when it is a directory (where
// append-only still lets entries be added): 0, EROFS or EPERM.
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

// Looks up, once, the directory `path` that an entry will be made in.
const directory_place& place_of(preflight_state& state, const std::string& path) {
    const auto known = state.directories.find(path);
    if (known != state.directories.end()) {
        return known->second;
    }
    directory_place place;
    file_facts facts;
    const int looked_up = look_at(path, facts);
    struct statvfs status {};
    if (looked_up == 0 && S_ISDIR(facts.mode) && file_system_status(state, path, facts, status)) {
        need_on(state.space, facts.device, status, path);
        place = {true, facts.device, why_unwritable(facts, status)};
    } else if (looked_up == ENOENT && path != "/" && path != ".") {
        // Made by the installation, on the way down.
        const directory_place& above = place_of(state, parent_of(path));
        place = {above.known, above.device, above.cannot_add};
    }
    return state.directories.emplace(path, place).first->second;
}

// A new entry, `bytes` and one inode, in the directory that will hold `destination`.
int preflight_new_entry(preflight_state& state, const std::string& destination,
                        unsigned long long bytes, refusal& why) {
    const directory_place& parent = place_of(state, parent_of(destination));
    if (!parent.known) {
        return trust_ok;
    }
    if (parent.cannot_add != 0) {
        return refuse(why, destination, parent.cannot_add);
    }
    file_system_need& need = state.space.at(parent.device);
    need.bytes += in_blocks(need, bytes);
    need.inodes += 1;
    return trust_ok;
}

}  // namespace

int preflight_directory(preflight_state& state, const std::string& destination, int looked_up,
                        const file_facts& facts, refusal& why) {
    if (looked_up == 0) {
        return S_ISDIR(facts.mode) ? trust_ok : refuse(why, destination, ENOTDIR);
    }
    if (looked_up != ENOENT) {
        return trust_ok;
    }
    // One block for its first entries; what goes below it lands on its parent's file system.
    const int made = preflight_new_entry(state, destination, 1, why);
    const directory_place& parent = place_of(state, parent_of(destination));
    state.directories[destination] = {parent.known, parent.device, 0};
    return made;
}

int preflight_file(preflight_state& state, const std::string& destination, int looked_up,
                   const file_facts& facts, const struct stat& staged, refusal& why) {
    const auto size = static_cast<unsigned long long>(staged.st_size);
    if (looked_up == ENOENT) {
        return preflight_new_entry(state, destination, size, why);
    }
    if (looked_up != 0) {
        return trust_ok;
    }
    if (S_ISDIR(facts.mode)) {
        return refuse(why, destination, EISDIR);
    }
    if (!S_ISREG(facts.mode)) {
        return refuse(why, destination, EINVAL);
    }
    struct statvfs status {};
    if ((facts.device == staged.st_dev && facts.inode == staged.st_ino) ||
        !file_system_status(state, destination, facts, status)) {
        return trust_ok;  // the staged file itself, left as it is; or nothing to tell
    }
    const int unwritable = why_unwritable(facts, status);
    if (unwritable != 0) {
        return refuse(why, destination, unwritable);
    }
    file_system_need& need = need_on(state.space, facts.device, status, destination);
    if (platform::is_own_executable(facts.device, facts.inode)) {
        // The replacement puts its new file beside the file a link leads to.
        const std::string resolved = resolved_path(destination);
        const directory_place& beside =
            place_of(state, parent_of(resolved.empty() ? destination : resolved));
        if (beside.known && beside.cannot_add != 0) {
            return refuse(why, destination, beside.cannot_add);
        }
        need.bytes += in_blocks(need, size);
        need.inodes += 1;
        return trust_ok;
    }
    const unsigned long long rewritten = in_blocks(need, size);
    need.bytes += rewritten > facts.allocated ? rewritten - facts.allocated : 0;
    return trust_ok;
}

int preflight_drop_in(const std::string& unit_file, refusal& why) {
    if (!systemd_present() || !drop_in_needed(unit_file)) {
        return trust_ok;
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
            return trust_ok;
        }
        if (existing != file && !S_ISDIR(facts.mode)) {
            return refuse(why, written, ENOTDIR);
        }
        const int unwritable = why_unwritable(facts, status);
        return unwritable == 0 ? trust_ok : refuse(why, written, unwritable);
    }
    return trust_ok;
}

}  // namespace kest
