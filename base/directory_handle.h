// Owns an open directory stream and closes it when it goes out of scope.
#pragma once

#include <dirent.h>

#include <memory>

namespace kest {

struct directory_closer {
    void operator()(DIR* directory) const { closedir(directory); }
};
using directory_handle = std::unique_ptr<DIR, directory_closer>;

}  // namespace kest
