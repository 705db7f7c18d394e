#include "shared/walk_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "base/directory_handle.h"
#include "base/file_identity.h"

namespace kest {
namespace {

// A real agent's tree reaches a directory through a link or two (lib64 to lib, a "current"
// release); 8 leaves room for that while no directory is walked more than a few times over, so
// that links that branch (two in each directory, each to the next) cannot double the walk at
// every level.
constexpr int entries_through_links = 8;
// Far beyond any agent's tree, and still walked in seconds.
constexpr std::size_t entries_in_a_walk = 1000000;

struct walk_state {
    const std::string& skipped_folder;
    const walk_hooks& hooks;
    // Directories from the top of the walk down to the one being visited.
    std::vector<platform::file_identity> path;
    // How often each directory was entered through a link; only those, so that memory grows with
    // the staged links, not with the tree.
    std::map<std::pair<dev_t, ino_t>, int> linked_entries;
    std::size_t entries = 0;
};

// Out of descriptors or memory: the directory exists but cannot be read now, so its content
// would be missing from a walk reported as complete.
bool lacks_resources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

// Nothing to install: the entry vanished, or is a link that leads nowhere or into a loop.
bool nothing_there(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

bool stop_unreadable(const walk_state& state, const std::string& source, int error) {
    if (state.hooks.unreadable) {
        state.hooks.unreadable(source, error);
    }
    return false;
}

bool stop_too_large(const walk_state& state, const std::string& source) {
    if (state.hooks.too_large) {
        state.hooks.too_large(source);
    }
    return false;
}

// Counts an entry the walk is about to follow; false once the walk has grown too large.
bool within_bounds(walk_state& state, const walk_entry& entry) {
    if (++state.entries > entries_in_a_walk) {
        return false;
    }
    if (!entry.maybe_link || !S_ISDIR(entry.status.st_mode)) {
        return true;
    }
    return ++state.linked_entries[{entry.status.st_dev, entry.status.st_ino}] <=
           entries_through_links;
}

bool go_on(const std::function<walk_step(const walk_entry&)>& hook, const walk_entry& entry) {
    return !hook || hook(entry) == walk_step::go_on;
}

bool visit(const std::string& source, const std::string& destination, const walk_entry* found,
           walk_state& state);

// A directory already on the way down, reached again through a link: said, and skipped.
bool cut_loop(const walk_entry& directory, const walk_state& state) {
    const bool loop = std::any_of(state.path.begin(), state.path.end(), [&](const auto& on_path) {
        return same_file(on_path, identity_of(directory.status));
    });
    if (loop && state.hooks.loop) {
        state.hooks.loop(directory.source);
    }
    return loop;
}

bool descend(const walk_entry& directory, walk_state& state) {
    const std::size_t depth = state.path.size();
    const bool walked = visit(directory.source, directory.destination, &directory, state);
    state.path.resize(depth);
    return walked;
}

// Follows a listed entry's links to what it is: a directory is descended into, a regular file
// handed to its hook, anything else skipped.
bool follow_entry(const std::string& source, const std::string& destination, const dirent& entry,
                  walk_state& state) {
    const std::string child_source = source + "/" + entry.d_name;
    const std::string child_destination = destination + "/" + entry.d_name;
    struct stat status {};
    if (platform::seams.status_of(child_source.c_str(), &status) != 0) {
        return nothing_there(errno) || stop_unreadable(state, child_source, errno);
    }
    const walk_entry child{child_source, child_destination, status,
                           entry.d_type == DT_LNK || entry.d_type == DT_UNKNOWN};
    if (!within_bounds(state, child)) {
        return stop_too_large(state, child_source);
    }
    if (S_ISDIR(status.st_mode)) {
        return cut_loop(child, state) || descend(child, state);
    }
    return !S_ISREG(status.st_mode) || go_on(state.hooks.regular_file, child);
}

// Reads the entries of the open `directory` in the order it lists them, and follows each.
bool read_entries(DIR* directory, const std::string& source, const std::string& destination,
                  walk_state& state) {
    for (;;) {
        // readdir reports both the end of the listing and a failure with null; only errno
        // tells them apart, and the hooks called below may have left it set.
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) {
            return errno == 0 || stop_unreadable(state, source, errno);
        }
        const bool dots =
            std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0;
        if (!dots && !follow_entry(source, destination, *entry, state)) {
            return false;
        }
    }
}

// Visits the directory `source`, reached as the listed `found` (null for the top).
bool visit(const std::string& source, const std::string& destination, const walk_entry* found,
           walk_state& state) {
    const walk_hooks& hooks = state.hooks;
    if (hooks.entered) {
        hooks.entered(source);
    }
    if (!state.skipped_folder.empty() && source == state.skipped_folder) {
        if (hooks.skipped_folder) {
            hooks.skipped_folder(source);
        }
        return true;
    }
    if (found != nullptr && !go_on(hooks.directory, *found)) {
        return false;
    }
    const directory_handle directory(opendir(source.c_str()));
    const int open_error = directory ? 0 : errno;
    if (!destination.empty() && hooks.make_destination &&
        hooks.make_destination(source, destination) != walk_step::go_on) {
        return false;
    }
    if (!directory) {
        return !lacks_resources(open_error) || stop_unreadable(state, source, open_error);
    }
    struct stat own {};
    if (fstat(dirfd(directory.get()), &own) == 0) {
        state.path.push_back(identity_of(own));
    }
    return read_entries(directory.get(), source, destination, state);
}

}  // namespace

bool walk_tree(const std::string& source, const std::string& destination,
               const std::string& skipped_folder, const walk_hooks& hooks) {
    walk_state state{skipped_folder, hooks, {}, {}, 0};
    return visit(source, destination, nullptr, state);
}

}  // namespace kest
