#include "install/copy_directory.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/log.h"
#include "base/written_file_systems.h"
#include "install/attempts.h"
#include "install/install_file.h"
#include "shared/landing.h"
#include "shared/walk_tree.h"

namespace kest {
namespace {

// Tells the notice, when there is one, that the directory `destination` is about to be made.
int tell_made(install_state& state, const std::string& destination) {
    if (!state.notice) {
        return 0;
    }
    const landing lands = find_landing(destination, write_kind::directory, state.known);
    return lands.error == 0 ? state.notice(change_kind::create_directory, lands.target, false) : 0;
}

// Makes sure `destination` is a directory, creating one missing level.
copy_result ensure_destination(const std::string& source, const std::string& destination,
                               install_state& state) {
    struct stat status {};
    if (stat(destination.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            return writing_failed(copy_stat_failed);
        }
        log_info("Create directory %s", source.c_str());
        const int refused = tell_made(state, destination);
        if (refused != 0) {
            return {copy_mkdir_failed, refused, false};
        }
        if (mkdir(destination.c_str(), 0770) != 0) {
            return writing_failed(copy_mkdir_failed);
        }
        if (stat(destination.c_str(), &status) != 0) {
            return writing_failed(errno == ENOENT ? copy_mkdir_failed : copy_stat_failed);
        }
        note_written(status.st_dev, destination);
    }
    return S_ISDIR(status.st_mode) ? copy_result{}
                                   : copy_result{copy_not_a_directory, ENOTDIR, false};
}

}  // namespace

int copy_directory(const std::string& source, const std::string& destination,
                   const std::string& skipped_folder) {
    install_state files;
    return copy_directory(source, destination, skipped_folder, files);
}

int copy_directory(const std::string& source, const std::string& destination,
                   const std::string& skipped_folder, install_state& state) {
    int failed = copy_ok;
    const auto stop_on_failure = [&failed](int code) {
        failed = code;
        return code == copy_ok ? walk_step::go_on : walk_step::stop;
    };
    const walk_hooks hooks{
        .entered =
            [](const std::string& directory) {
                log_info("Copy to directory %s", directory.c_str());
            },
        .skipped_folder =
            [](const std::string& folder) {
                log_info("Systemd not installed. Skiping the %s folder", folder.c_str());
            },
        .make_destination =
            [&](const std::string& staged, const std::string& target) {
                return stop_on_failure(with_retries(
                    staged, target, [&] { return ensure_destination(staged, target, state); },
                    &state.cause));
            },
        .regular_file =
            [&](const walk_entry& file) {
                return stop_on_failure(
                    install_file(file.source, file.destination, file.status.st_mode, state));
            },
        .loop =
            [](const std::string& directory) {
                log_err("Skipping directory loop %s", directory.c_str());
            },
        // Logged the way a staged file that cannot be read is.
        .unreadable =
            [&](const std::string& staged, int error) {
                failed =
                    report_failure(staged, "", {copy_source_unopenable, error, true}, &state.cause);
            },
        // Only a tree that grew after the checks gets here; no system error says why.
        .too_large =
            [&](const std::string& staged) {
                failed = report_failure(staged, "", {copy_source_unopenable, 0, true});
            },
    };
    walk_tree(source, destination, skipped_folder, hooks);
    return failed;
}

}  // namespace kest
