#include "install/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "install/file_stream.h"
#include "updater/constants.h"
#include "updater/unique_fd.h"
#include "updater/written_file_systems.h"

namespace kest {

int copy_file(const std::string& source, const std::string& destination, mode_t create_mode) {
    staged_file in;
    const int opened = open_staged_file(source, in);
    if (opened != copy_ok) {
        return opened;
    }
    struct stat existing {};
    if (stat(destination.c_str(), &existing) == 0) {
        // Reached through a staged link, say: truncating it would destroy the bytes about to be
        // read.
        if (same_file(existing, in.status)) {
            return copy_ok;  // it already holds these bytes
        }
        // Truncating the running updater would rewrite its pages under it where the file system
        // lets it (overlayfs does): busy, as a running executable is elsewhere.
        if (is_own_executable(existing)) {
            errno = ETXTBSY;
            return copy_destination_unopenable;
        }
    }

    // O_NONBLOCK: a FIFO at the destination must fail rather than wait for a reader forever.
    unique_fd out(open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK,
                       create_mode & 0777));
    if (!out.valid()) {
        return copy_destination_unopenable;
    }
    note_written_file(out.get(), destination);
    const int result = transfer(in, out.get());
    if (result != copy_ok) {
        return result;
    }
    return close(out.release()) == 0 ? copy_ok : copy_transfer_failed;
}

int copy_file(const std::string& source, const std::string& destination) {
    struct stat status {};
    if (stat(source.c_str(), &status) != 0) {
        return copy_source_unopenable;
    }
    return copy_file(source, destination, status.st_mode);
}

}  // namespace kest
