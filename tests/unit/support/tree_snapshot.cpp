#include "support/tree_snapshot.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "support/test_support.h"

namespace kest::testing {
namespace {

struct directory_closer {
    void operator()(DIR* directory) const { closedir(directory); }
};

std::string link_target(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    return length < 0 ? std::string{} : target.substr(0, static_cast<std::size_t>(length));
}

void record(const std::string& root, const std::string& relative, tree_snapshot& out) {
    const std::string path = root + relative;
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return;
    }
    snapshot_entry entry{status.st_mode, status.st_ino, {}};
    if (S_ISREG(status.st_mode)) {
        entry.content = read_file(path);
    } else if (S_ISLNK(status.st_mode)) {
        entry.content = link_target(path);
    }
    out[relative] = entry;
    if (S_ISDIR(status.st_mode)) {
        for (const std::string& name : entry_names(path)) {
            std::string child = relative;
            child += '/';
            child += name;
            record(root, child, out);
        }
    }
}

}  // namespace

std::vector<std::string> entry_names(const std::string& path) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, directory_closer> directory(opendir(path.c_str()));
    if (!directory) {
        return names;
    }
    while (const dirent* entry = readdir(directory.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

tree_snapshot snapshot(const std::string& root) {
    tree_snapshot out;
    record(root, "", out);
    return out;
}

}  // namespace kest::testing
