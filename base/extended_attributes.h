// A file's extended attributes (capabilities, ACLs, security labels, trusted.* and user.*), read,
// compared and given to another file.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kest {

// Name and value of each attribute, sorted by name.
using extended_attributes = std::vector<std::pair<std::string, std::string>>;

// The attribute that the kernel removes when a file's content is rewritten.
inline constexpr const char* file_capability_attribute = "security.capability";

// Reads every extended attribute of the file open as `fd` into `attributes`; a file system
// without extended attributes has none. Returns 0, or an errno.
int read_extended_attributes(int fd, extended_attributes& attributes);

// Gives the file open as `fd` exactly `attributes`: each one set, every other one it has
// removed. Returns 0, or the errno of the first that could not be set or removed.
int write_extended_attributes(int fd, const extended_attributes& attributes);

// Gives the file open as `to` every extended attribute of the file open as `from` but the one
// named `except` ("" for none); `to`'s other attributes stay. Returns 0, or an errno.
int copy_extended_attributes(int from, int to, const std::string& except);

// The attributes as one text, and back; false when `text` holds no such list.
std::string encode_attributes(const extended_attributes& attributes);
bool decode_attributes(const std::string& text, extended_attributes& attributes);

}  // namespace kest
