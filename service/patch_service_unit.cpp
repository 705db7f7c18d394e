#include "service/patch_service_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "base/log.h"
#include "base/platform.h"
#include "base/write_all.h"
#include "base/written_file_systems.h"
#include "service/run_command.h"
#include "shared/landing.h"
#include "shared/unit_drop_in.h"

namespace kest {
namespace {

namespace fs = std::filesystem;

// Created with 0755 in the mkdir itself: with the creation mask cleared, a directory created
// wider and narrowed afterwards would let anyone plant a drop-in in between.
void ensure_directory(const std::string& path) {
    if (platform::seams.make_directory(path.c_str(), 0755) != 0) {
        struct stat status {};
        if (errno != EEXIST || stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            return;
        }
    }
    // Exactly 0755, also for a directory that was already there with other bits.
    (void)chmod(path.c_str(), 0755);
}

// Created with 0644 from the start: with the creation mask cleared, a file created 0666 and
// narrowed afterwards could be opened for writing by anyone in between.
void write_text_file(const std::string& path, const std::string& text) {
    const int fd =
        platform::seams.open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    note_written_file(fd, path);
    (void)write_all(fd, text);
    // Failures here are dropped by design: the reload and the stop still follow.
    (void)fchmod(fd, 0644);
    (void)close(fd);
}

// Removes override.conf when it is the one this program writes, then the drop-in directory if
// nothing else is left in it, and says so when it removed either. Any other override.conf is an
// administrator's (`systemctl edit` writes that name too) and stays, with its directory.
void remove_if_present(const std::string& directory, const std::string& override_file) {
    std::error_code error;
    const fs::file_status status = fs::status(directory, error);
    if (error || !fs::exists(status)) {
        return;
    }
    const fs::file_status override_status = fs::symlink_status(override_file, error);
    if (error && error != std::errc::no_such_file_or_directory) {
        return;
    }
    bool removed = false;
    if (fs::exists(override_status)) {
        if (read_text_file(override_file) != override_content) {
            return;
        }
        removed = fs::remove(override_file, error);
        if (error) {
            return;
        }
    }
    if (fs::remove(directory, error) || removed) {
        log_info("Cleaning Agent service file patch from previous version");
    }
}

// Tells `notice` what writing the drop-in changes: its directory when it is made, then the file.
// The first of them is undone last, and systemd must then read the units again. The drop-in is
// written whatever the notice answers: without it, stopping the unit would kill this program.
void tell_drop_in(const std::string& directory, const std::string& file,
                  const change_notice& notice) {
    if (!notice) {
        return;
    }
    known_directories known;
    const landing folder = find_landing(directory, write_kind::directory, known);
    if (folder.error != 0) {
        return;
    }
    if (folder.looked_up == ENOENT) {
        (void)notice(change_kind::create_directory, folder.target, true);
        (void)notice(change_kind::create_file, folder.target + "/" + override_name, false);
        return;
    }
    const landing written = find_landing(file, write_kind::file, known);
    if (written.error == 0) {
        (void)notice(written.looked_up == 0 ? change_kind::rewrite : change_kind::create_file,
                     written.target, true);
    }
}

}  // namespace

void patch_service_unit(const std::string& unit_file, const change_notice& notice) {
    const std::string directory = drop_in_directory(unit_file);
    const std::string override_file = drop_in_file(unit_file);

    if (!drop_in_needed(unit_file)) {
        log_info("Agent service file patching is not required");
        remove_if_present(directory, override_file);
        return;
    }
    log_info("Patch agent service file");
    tell_drop_in(directory, override_file, notice);
    ensure_directory(directory);
    write_text_file(override_file, override_content);
    run_command("systemctl daemon-reload");
}

}  // namespace kest
