#include "install/install_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "install/attempts.h"
#include "install/copy_file.h"
#include "install/file_stream.h"
#include "install/replace_file.h"
#include "updater/constants.h"
#include "updater/log.h"
#include "updater/platform.h"

namespace kest {
namespace {

bool is_own_executable(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return false;
    }
    const platform::file_identity own = platform::own_executable();
    return status.st_dev == own.device && status.st_ino == own.inode;
}

int replace(const std::string& source, const std::string& destination) {
    log_info("Replacing busy file %s", destination.c_str());
    return replace_file(source, destination);
}

}  // namespace

int install_file(const std::string& source, const std::string& destination, mode_t create_mode) {
    // Truncating the running updater would rewrite its pages under it where the file system lets
    // it (overlayfs does), and no attempt can wait for it to end.
    if (is_own_executable(destination) && !same_file(source, destination)) {
        return report_failure(source, replace(source, destination));
    }
    bool busy = false;
    int result = repeat_attempts([&] {
        const int copied = copy_file(source, destination, create_mode);
        busy = copied == copy_destination_unopenable && errno == ETXTBSY;
        return copied;
    });
    // A dying agent frees its file within the attempts; a program that outlives the agent's stop
    // does not, and keeps running its old file once the path names the new one.
    if (busy) {
        result = replace(source, destination);
    }
    return report_failure(source, result);
}

}  // namespace kest
