#include "install/replace_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/file_identity.h"
#include "base/path_text.h"
#include "base/retry_on_eintr.h"
#include "base/unique_fd.h"
#include "base/written_file_systems.h"
#include "install/file_stream.h"
#include "shared/landing.h"

namespace kest {
namespace {

constexpr unsigned names_to_try = 100;

// A hidden name that says whose new file it is and which program made it, within NAME_MAX.
std::string new_file_name(const std::string& name, unsigned number) {
    const std::string suffix =
        ".kest-update." + std::to_string(getpid()) + "." + std::to_string(number);
    return "." + name.substr(0, NAME_MAX - 1 - suffix.size()) + suffix;
}

// Creates the new file beside `name`, readable and writable by its owner only; O_EXCL never
// opens a file or link that is already there, so a taken name moves on to the next.
int create_new_file(int directory, const std::string& name, std::string& created) {
    for (unsigned number = 0; number < names_to_try; ++number) {
        const std::string candidate = new_file_name(name, number);
        const int fd = retry_on_eintr([&] {
            return openat(directory, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          0600);
        });
        if (fd >= 0) {
            created = candidate;
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

// Fills the new file, gives it the old file's owner and mode, flushes it and renames it over
// `name`; the caller removes the new file when this fails.
copy_result fill_and_rename(const staged_file& in, unique_fd& file, int directory,
                            const std::string& created, const std::string& name,
                            const struct stat& old) {
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        return writing_failed(copy_destination_unopenable);
    }
    const copy_result filled = transfer(in, file.get(), status);
    if (filled.code != copy_ok) {
        return filled;
    }
    // Only now may others read it. A change of owner clears the set-id bits: the mode comes last.
    if (fchown(file.get(), old.st_uid, old.st_gid) != 0 ||
        fchmod(file.get(), old.st_mode & 07777) != 0) {
        return writing_failed(copy_destination_unopenable);
    }
    if (fsync(file.get()) != 0 || close(file.release()) != 0) {
        return writing_failed(copy_transfer_failed);
    }
    if (renameat(directory, created.c_str(), directory, name.c_str()) != 0) {
        return writing_failed(copy_destination_unopenable);
    }
    // The content is on disk and the rename done; a directory that cannot be flushed (not every
    // file system can) does not undo that, so its result changes nothing.
    (void)fsync(directory);
    return {};
}

}  // namespace

copy_result replace_file(const std::string& source, const std::string& destination) {
    staged_file in;
    const copy_result opened = open_staged_file(source, in);
    if (opened.code != copy_ok) {
        return opened;
    }
    // The file a symbolic link leads to is replaced in its own directory: the link stays a link.
    known_directories known;
    const landing lands = find_landing(destination, write_kind::file, known);
    if (lands.error != 0 || lands.looked_up != 0) {
        return {copy_destination_unopenable, lands.error != 0 ? lands.error : lands.looked_up,
                false};
    }
    const std::string& target = lands.target;
    const std::string name = target.substr(target.rfind('/') + 1);
    const std::string parent = parent_of(target);
    const unique_fd directory(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat old {};
    if (!directory.valid() ||
        fstatat(directory.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        return writing_failed(copy_destination_unopenable);
    }
    if (!S_ISREG(old.st_mode)) {
        return {copy_destination_unopenable, S_ISDIR(old.st_mode) ? EISDIR : EINVAL, false};
    }
    if (same_file(identity_of(old), identity_of(in.status))) {
        return {};
    }

    std::string created;
    unique_fd file(create_new_file(directory.get(), name, created));
    if (!file.valid()) {
        return writing_failed(copy_destination_unopenable);
    }
    const copy_result result = fill_and_rename(in, file, directory.get(), created, name, old);
    note_written_file(directory.get(), parent);
    if (result.code != copy_ok) {
        file.reset();
        // Nothing else could remove it either; the failure itself is what the caller reports.
        (void)unlinkat(directory.get(), created.c_str(), 0);
    }
    return result;
}

}  // namespace kest
