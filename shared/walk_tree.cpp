#include "shared/walk_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/constants.h"
#include "base/directory_handle.h"
#include "base/platform.h"
#include "base/systemd_present.h"

namespace kest {
namespace {

struct walk_state {
    const std::string& unit_folder;
    const walk_hooks& hooks;
    // Directories from the top of the walk down to the one being visited.
    std::vector<platform::file_identity> path;
};

// Out of descriptors or memory: the directory exists but cannot be read now, so its content
// would be missing from a walk reported as complete.
bool lacks_resources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

int end_walk(const walk_state& state, const std::string& source, int error) {
    return state.hooks.ended ? state.hooks.ended(source, copy_source_unopenable, error)
                             : copy_source_unopenable;
}

int visit(const std::string& source, const std::string& destination, const walk_entry* found,
          walk_state& state);

// A directory already on the way down, reached again through a link: said, and skipped.
bool cut_loop(const walk_entry& directory, const walk_state& state) {
    const bool loop = std::any_of(state.path.begin(), state.path.end(), [&](const auto& on_path) {
        return on_path.device == directory.status.st_dev &&
               on_path.inode == directory.status.st_ino;
    });
    if (loop && state.hooks.loop) {
        state.hooks.loop(directory.source);
    }
    return loop;
}

// A nested visit's failure was handled there (retried, logged); it passes up as it is.
int descend(const walk_entry& directory, walk_state& state) {
    const std::size_t depth = state.path.size();
    const int result = visit(directory.source, directory.destination, &directory, state);
    state.path.resize(depth);
    return result;
}

// Follows a listed entry's links to what it is: a directory is descended into, a regular file
// copied (its hook), anything else skipped. A vanished entry, a dangling link or a link loop has
// nothing to install; a path beyond the system's limit does, and cannot be reached by this walk.
int follow_entry(const std::string& source, const std::string& destination, const dirent& entry,
                 walk_state& state) {
    const std::string child_source = source + "/" + entry.d_name;
    const std::string child_destination = destination + "/" + entry.d_name;
    struct stat status {};
    if (stat(child_source.c_str(), &status) != 0) {
        return errno == ENAMETOOLONG ? end_walk(state, child_source, ENAMETOOLONG) : copy_ok;
    }
    const walk_entry child{child_source, child_destination, status,
                           entry.d_type == DT_LNK || entry.d_type == DT_UNKNOWN};
    if (S_ISDIR(status.st_mode)) {
        return cut_loop(child, state) ? copy_ok : descend(child, state);
    }
    return S_ISREG(status.st_mode) && state.hooks.regular_file ? state.hooks.regular_file(child)
                                                               : copy_ok;
}

// Reads the entries of the open `directory` in the order it lists them, and follows each.
int read_entries(DIR* directory, const std::string& source, const std::string& destination,
                 walk_state& state) {
    for (;;) {
        // readdir reports both the end of the listing and a failure with null; only errno
        // tells them apart, and the hooks called below may have left it set.
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) {
            return errno == 0 ? copy_ok : end_walk(state, source, errno);
        }
        const bool dots =
            std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0;
        const int result = dots ? copy_ok : follow_entry(source, destination, *entry, state);
        if (result != copy_ok) {
            return result;
        }
    }
}

// Visits the directory `source`, reached as the listed `found` (null for the top).
int visit(const std::string& source, const std::string& destination, const walk_entry* found,
          walk_state& state) {
    const walk_hooks& hooks = state.hooks;
    if (hooks.entered) {
        hooks.entered(source);
    }
    if (!systemd_present() && source == state.unit_folder) {
        if (hooks.skipped_unit_folder) {
            hooks.skipped_unit_folder(source);
        }
        return copy_ok;
    }
    if (found != nullptr && hooks.directory) {
        const int reached = hooks.directory(*found);
        if (reached != copy_ok) {
            return reached;
        }
    }
    const directory_handle directory(opendir(source.c_str()));
    const int open_error = directory ? 0 : errno;
    if (!destination.empty() && hooks.make_destination) {
        const int made = hooks.make_destination(source, destination);
        if (made != copy_ok) {
            return made;
        }
    }
    if (!directory) {
        return lacks_resources(open_error) ? end_walk(state, source, open_error) : copy_ok;
    }
    struct stat own {};
    if (fstat(dirfd(directory.get()), &own) == 0) {
        state.path.push_back({own.st_dev, own.st_ino});
    }
    return read_entries(directory.get(), source, destination, state);
}

}  // namespace

int walk_tree(const std::string& source, const std::string& destination,
              const std::string& unit_folder, const walk_hooks& hooks) {
    walk_state state{unit_folder, hooks, {}};
    return visit(source, destination, nullptr, state);
}

}  // namespace kest
