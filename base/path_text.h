// Paths of the host as texts: what they say.
#pragma once

#include <string>

namespace kest {

// The directory that holds `path`, by its text: "/" for "/name", "." for a bare name.
std::string parent_of(const std::string& path);

// What a path names: the folder that holds it (parent_of) and its last name.
struct path_parts {
    std::string folder;
    std::string name;
};
path_parts split_path(const std::string& path);

}  // namespace kest
