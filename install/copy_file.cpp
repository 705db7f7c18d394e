#include "install/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "install/file_stream.h"
#include "updater/constants.h"
#include "updater/written_file_systems.h"

namespace kest {

int copy_file(const std::string& source, const std::string& destination, mode_t create_mode) {
    std::ifstream in;
    const int opened = open_staged_file(source, in);
    if (opened != copy_ok) {
        return opened;
    }
    // Reached through a staged link, say: truncating it would destroy the bytes about to be read.
    if (same_file(source, destination)) {
        return copy_ok;  // it already holds these bytes
    }

    // O_NONBLOCK: a FIFO at the destination must fail rather than wait for a reader forever.
    const int fd = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK,
                        create_mode & 0777);
    if (fd < 0) {
        return copy_destination_unopenable;
    }
    note_written_file(fd, destination);
    return stream_into(in, fd);
}

int copy_file(const std::string& source, const std::string& destination) {
    struct stat status {};
    if (stat(source.c_str(), &status) != 0) {
        return copy_source_unopenable;
    }
    return copy_file(source, destination, status.st_mode);
}

}  // namespace kest
