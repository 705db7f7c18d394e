#include "install/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/extended_attributes.h"
#include "base/file_identity.h"
#include "base/file_metadata.h"
#include "base/hidden_file.h"
#include "base/path_text.h"
#include "base/unique_fd.h"
#include "base/written_file_systems.h"
#include "install/file_stream.h"
#include "shared/landing.h"

namespace kest {
namespace {

// Fills the new file, gives it the old file's owner, mode and extended attributes, flushes it
// and renames it over `name`; the caller removes the new file when this fails.
copy_result fill_and_rename(const staged_file& in, unique_fd& file, int old_file, int directory,
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
    if (const int error = give_owner_and_mode(file.get(), old.st_uid, old.st_gid, old.st_mode);
        error != 0) {
        return {copy_destination_unopenable, error, false};
    }
    // As a rewrite in place keeps them, but the file capability, which the kernel drops when the
    // content is rewritten: the new content was not granted it.
    if (copy_extended_attributes(old_file, file.get(), file_capability_attribute) != 0) {
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
    const auto [parent, name] = split_path(lands.target);
    const unique_fd directory(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Read-only, which a running program allows: for its status and its extended attributes.
    const unique_fd old_file(directory.valid()
                                 ? openat(directory.get(), name.c_str(),
                                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                                 : -1);
    struct stat old {};
    if (!old_file.valid() || fstat(old_file.get(), &old) != 0) {
        return writing_failed(copy_destination_unopenable);
    }
    if (!S_ISREG(old.st_mode)) {
        return {copy_destination_unopenable, S_ISDIR(old.st_mode) ? EISDIR : EINVAL, false};
    }
    if (same_file(identity_of(old), identity_of(in.status))) {
        return {};
    }

    std::string created;
    // Open to its owner only until it has the old file's owner and mode.
    unique_fd file(create_hidden_sibling(directory.get(), name, "kest-update", 0600, created));
    if (!file.valid()) {
        return writing_failed(copy_destination_unopenable);
    }
    const copy_result result =
        fill_and_rename(in, file, old_file.get(), directory.get(), created, name, old);
    note_written_file(directory.get(), parent);
    if (result.code != copy_ok) {
        file.reset();
        // Nothing else could remove it either; the failure itself is what the caller reports.
        (void)unlinkat(directory.get(), created.c_str(), 0);
    }
    return result;
}

}  // namespace kest
