#include "base/systemd_present.h"

#include <dirent.h>

#include "base/platform.h"

namespace kest {
namespace {

bool directory_opens(const char* path) {
    DIR* directory = opendir(path);
    if (directory == nullptr) {
        return false;
    }
    closedir(directory);
    return true;
}

}  // namespace

bool systemd_present() {
    return platform::systemd_check();
}

bool systemd_installed(const char* primary, const char* fallback) {
    return directory_opens(primary) || directory_opens(fallback);
}

}  // namespace kest
