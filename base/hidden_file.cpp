#include "base/hidden_file.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>

#include "base/retry_on_eintr.h"

namespace kest {

std::string hidden_sibling_name(const std::string& name, const std::string& tag, long pid,
                                unsigned number) {
    const std::string suffix = "." + tag + "." + std::to_string(pid) + "." + std::to_string(number);
    return "." + name.substr(0, NAME_MAX - 1 - suffix.size()) + suffix;
}

int create_hidden_sibling(int folder, const std::string& name, const std::string& tag, mode_t mode,
                          std::string& created) {
    for (unsigned number = 0; number < hidden_names_to_try; ++number) {
        const std::string candidate = hidden_sibling_name(name, tag, getpid(), number);
        const int fd = retry_on_eintr([&] {
            return openat(folder, candidate.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        });
        if (fd >= 0) {
            created = candidate;
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

}  // namespace kest
