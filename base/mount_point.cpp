#include "base/mount_point.h"

#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

namespace kest {
namespace {

bool is_octal(char digit) {
    return digit >= '0' && digit <= '7';
}

// The kernel writes space, tab, newline and backslash in mount points as \ooo.
std::string decoded(const std::string& text) {
    std::string plain;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\' && at + 3 < text.size() && is_octal(text[at + 1]) &&
            is_octal(text[at + 2]) && is_octal(text[at + 3])) {
            plain += static_cast<char>((text[at + 1] - '0') * 64 + (text[at + 2] - '0') * 8 +
                                       (text[at + 3] - '0'));
            at += 3;
        } else {
            plain += text[at];
        }
    }
    return plain;
}

}  // namespace

std::string mount_point_of(dev_t device, const std::string& fallback) {
    const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::ifstream table("/proc/self/mountinfo");
    std::string found = fallback;
    std::string line;
    while (std::getline(table, line)) {
        // mount id, parent id, major:minor, root, mount point, ...
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point;
        if (fields >> id >> parent >> numbers >> root >> point && numbers == wanted) {
            found = decoded(point);
        }
    }
    return found;
}

}  // namespace kest
