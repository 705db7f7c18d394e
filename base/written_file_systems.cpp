#include "base/written_file_systems.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "base/log.h"
#include "base/mount_point.h"
#include "base/platform.h"
#include "base/unique_fd.h"

namespace kest {
namespace {

struct written {
    std::string path;
    unique_fd file;
    int open_error = 0;  // why `file` could not be opened: that file system cannot be flushed
};

// For the run; kept here rather than handed through every step that writes.
std::map<dev_t, written>& noted() {
    static std::map<dev_t, written> file_systems;
    return file_systems;
}

// 0 once the file system is flushed, else why it is not.
int flush_error(const written& file_system) {
    if (!file_system.file.valid()) {
        return file_system.open_error;
    }
    return platform::seams.flush_file_system(file_system.file.get()) == 0 ? 0 : errno;
}

}  // namespace

void note_written(dev_t device, const std::string& path) {
    const auto known = noted().find(device);
    if (known != noted().end() && known->second.file.valid()) {
        return;
    }
    // Read-only: a descriptor open for writing would keep a written executable from running.
    // Another path of the same file system may open where an earlier one did not.
    const int fd =
        platform::real::open_file(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    written& entry = noted()[device];
    entry.path = path;
    entry.open_error = fd < 0 ? errno : 0;
    entry.file.reset(fd);
}

void note_written_file(int fd, const std::string& path) {
    struct stat status {};
    if (fstat(fd, &status) == 0) {
        note_written(status.st_dev, path);
    }
}

void flush_written() {
    for (const auto& [device, file_system] : noted()) {
        const int error = flush_error(file_system);
        if (error != 0) {
            log_err("Failed to flush %s: %s", mount_point_of(device, file_system.path).c_str(),
                    std::strerror(error));
        }
    }
    noted().clear();
}

}  // namespace kest
