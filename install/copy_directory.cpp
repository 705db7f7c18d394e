#include "install/copy_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <functional>

#include "install/copy_file.h"
#include "install/walk_tree.h"
#include "updater/constants.h"
#include "updater/log.h"
#include "updater/platform.h"

namespace kest {
namespace {

constexpr int attempts_per_entry = 10;
constexpr std::chrono::milliseconds pause_between_attempts{500};

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

// Runs `step` until it succeeds or has been attempted `attempts_per_entry` times, pausing
// before each repeat; logs the failure once when the attempts are used up.
int with_retries(const std::string& source, const std::function<int()>& step) {
    int result = step();
    for (int attempt = 1; result != copy_ok && attempt < attempts_per_entry; ++attempt) {
        platform::pause_for(pause_between_attempts);
        result = step();
    }
    if (result != copy_ok) {
        log_err("Failed to copy %s: error %d", source.c_str(), result);
    }
    return result;
}

// Ends the walk at `source` with `code`, logged the way a used-up retry is.
int give_up(const std::string& source, int code) {
    log_err("Failed to copy %s: error %d", source.c_str(), code);
    return code;
}

}  // namespace

int copy_directory(const std::string& source, const std::string& destination,
                   const std::string& unit_folder) {
    const walk_hooks hooks{
        .entered =
            [](const std::string& directory) {
                log_info("Copy to directory %s", directory.c_str());
            },
        .skipped_unit_folder =
            [](const std::string& folder) {
                log_info("Systemd not installed. Skiping the %s folder", folder.c_str());
            },
        .directory = nullptr,
        .make_destination =
            [](const std::string& staged, const std::string& target) {
                return with_retries(staged, [&] { return ensure_destination(staged, target); });
            },
        .regular_file =
            [](const walk_entry& file) {
                return with_retries(file.source, [&] {
                    return copy_file(file.source, file.destination, file.status.st_mode);
                });
            },
        .loop =
            [](const std::string& directory) {
                log_err("Skipping directory loop %s", directory.c_str());
            },
        .ended = give_up,
    };
    return walk_tree(source, destination, unit_folder, hooks);
}

int copy_directory(const std::string& source, const std::string& destination) {
    return copy_directory(source, destination, staged_unit_folder);
}

}  // namespace kest
