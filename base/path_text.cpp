#include "base/path_text.h"

#include <cstdlib>
#include <memory>

namespace kest {
namespace {

struct text_freer {
    void operator()(char* text) const { std::free(text); }
};

}  // namespace

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string resolved_path(const std::string& path) {
    const std::unique_ptr<char, text_freer> resolved(realpath(path.c_str(), nullptr));
    return resolved ? std::string(resolved.get()) : std::string();
}

}  // namespace kest
