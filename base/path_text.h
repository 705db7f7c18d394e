// Paths of the host as texts: what they say, and where their links lead.
#pragma once

#include <string>

namespace kest {

// The directory that holds `path`, by its text: "/" for "/name", "." for a bare name.
std::string parent_of(const std::string& path);

// `path` with every symbolic link, "." and ".." resolved (realpath(3)); empty, with errno set,
// when it cannot be.
std::string resolved_path(const std::string& path);

}  // namespace kest
