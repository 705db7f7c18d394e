// Names a file system the way an administrator knows it: by where it is mounted.
#pragma once

#include <sys/types.h>

#include <string>

namespace kest {

// The mount point of the file system on `device`, as /proc/self/mountinfo gives it (the last
// line with that device; octal escapes such as \040 decoded), or `fallback` when no line has it
// or the table cannot be read.
std::string mount_point_of(dev_t device, const std::string& fallback);

}  // namespace kest
