#include "install/walk_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "updater/constants.h"
#include "updater/directory_handle.h"
#include "updater/platform.h"
#include "updater/systemd_present.h"

namespace kest {
namespace {

struct walk_state {
    const std::string& unit_folder;
    const walk_hooks& hooks;
    // Directories from the top of the walk down to the one being visited.
    std::vector<platform::file_identity> path;
};

bool on_walk_path(const walk_state& state, const struct stat& status) {
    return std::any_of(state.path.begin(), state.path.end(),
                       [&](const platform::file_identity& entry) {
                           return entry.device == status.st_dev && entry.inode == status.st_ino;
                       });
}

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
    const std::size_t depth = state.path.size();

    for (;;) {
        // readdir reports both the end of the listing and a failure with null; only errno
        // tells them apart, and the hooks called below may have left it set.
        errno = 0;
        const dirent* entry = readdir(directory.get());
        if (entry == nullptr) {
            return errno == 0 ? copy_ok : end_walk(state, source, errno);
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        const std::string child_source = source + "/" + name;
        const std::string child_destination = destination + "/" + name;
        struct stat status {};
        if (stat(child_source.c_str(), &status) != 0) {
            // A vanished entry, a dangling link or a link loop has nothing to install; a path
            // beyond the system's limit does, and cannot be reached by this walk.
            if (errno == ENAMETOOLONG) {
                return end_walk(state, child_source, ENAMETOOLONG);
            }
            continue;
        }
        const walk_entry child{child_source, child_destination, status,
                               entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN};
        int result = copy_ok;
        if (S_ISDIR(status.st_mode)) {
            if (on_walk_path(state, status)) {
                if (hooks.loop) {
                    hooks.loop(child_source);
                }
                continue;
            }
            // A nested visit's failure was handled there (retried, logged); it passes up as it is.
            result = visit(child_source, child_destination, &child, state);
            state.path.resize(depth);
        } else if (S_ISREG(status.st_mode) && hooks.regular_file) {
            result = hooks.regular_file(child);
        }
        if (result != copy_ok) {
            return result;
        }
    }
}

}  // namespace

int walk_tree(const std::string& source, const std::string& destination,
              const std::string& unit_folder, const walk_hooks& hooks) {
    walk_state state{unit_folder, hooks, {}};
    return visit(source, destination, nullptr, state);
}

}  // namespace kest
