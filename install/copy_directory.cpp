#include "install/copy_directory.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "install/attempts.h"
#include "install/install_file.h"
#include "updater/constants.h"
#include "updater/log.h"
#include "updater/systemd_present.h"

namespace kest {
namespace {

struct directory_closer {
    void operator()(DIR* directory) const { closedir(directory); }
};
using directory_handle = std::unique_ptr<DIR, directory_closer>;

struct file_identity {
    dev_t device;
    ino_t inode;
};

// Directories from the top of the walk down to the one being visited.
using walk_path = std::vector<file_identity>;

bool on_walk_path(const walk_path& path, const struct stat& status) {
    return std::any_of(path.begin(), path.end(), [&](const file_identity& entry) {
        return entry.device == status.st_dev && entry.inode == status.st_ino;
    });
}

// Makes sure `destination` is a directory, creating one missing level.
int ensure_destination(const std::string& source, const std::string& destination) {
    struct stat status {};
    if (stat(destination.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            return copy_stat_failed;
        }
        log_info("Create directory %s", source.c_str());
        if (mkdir(destination.c_str(), 0770) != 0) {
            return copy_mkdir_failed;
        }
        if (stat(destination.c_str(), &status) != 0) {
            return errno == ENOENT ? copy_mkdir_failed : copy_stat_failed;
        }
    }
    return S_ISDIR(status.st_mode) ? copy_ok : copy_not_a_directory;
}

// Ends the walk at `source` with `code`, logged the way a used-up retry is.
int give_up(const std::string& source, int code) {
    log_err("Failed to copy %s: error %d", source.c_str(), code);
    return code;
}

// Out of descriptors or memory: the directory exists but cannot be read now, so its content
// would be missing from an installation reported as complete.
bool lacks_resources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

int visit(const std::string& source, const std::string& destination, const std::string& unit_folder,
          walk_path& path) {
    log_info("Copy to directory %s", source.c_str());
    if (!systemd_present() && source == unit_folder) {
        log_info("Systemd not installed. Skiping the %s folder", source.c_str());
        return copy_ok;
    }

    const directory_handle directory(opendir(source.c_str()));
    const int open_error = directory ? 0 : errno;
    if (!destination.empty()) {
        const int checked =
            with_retries(source, [&] { return ensure_destination(source, destination); });
        if (checked != copy_ok) {
            return checked;
        }
    }
    if (!directory) {
        return lacks_resources(open_error) ? give_up(source, copy_source_unopenable) : copy_ok;
    }

    struct stat own {};
    if (fstat(dirfd(directory.get()), &own) == 0) {
        path.push_back({own.st_dev, own.st_ino});
    }
    const std::size_t depth = path.size();

    while (const dirent* entry = readdir(directory.get())) {
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
                return give_up(child_source, copy_source_unopenable);
            }
            continue;
        }
        int result = copy_ok;
        if (S_ISDIR(status.st_mode)) {
            if (on_walk_path(path, status)) {
                log_err("Skipping directory loop %s", child_source.c_str());
                continue;
            }
            // A nested visit has used its own attempts; its failure passes up as it is.
            result = visit(child_source, child_destination, unit_folder, path);
            path.resize(depth);
        } else if (S_ISREG(status.st_mode)) {
            result = install_file(child_source, child_destination, status.st_mode);
        }
        if (result != copy_ok) {
            return result;
        }
    }
    return copy_ok;
}

}  // namespace

int copy_directory(const std::string& source, const std::string& destination,
                   const std::string& unit_folder) {
    walk_path path;
    return visit(source, destination, unit_folder, path);
}

int copy_directory(const std::string& source, const std::string& destination) {
    return copy_directory(source, destination, staged_unit_folder);
}

}  // namespace kest
