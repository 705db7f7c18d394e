#include "base/path_text.h"

namespace kest {

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

path_parts split_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return {parent_of(path), slash == std::string::npos ? path : path.substr(slash + 1)};
}

}  // namespace kest
