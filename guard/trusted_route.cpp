#include "guard/trusted_route.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace kest {
namespace {

// The kernel's own limit on the links followed in one lookup.
constexpr int links_per_lookup = 40;

// Adds the components of `path` to `pending`, the next one to resolve last.
void push_components(const std::string& path, std::vector<std::string>& pending) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            components.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    pending.insert(pending.end(), components.rbegin(), components.rend());
}

// True when `directory` ("" for /) lies strictly above `top` (the same form).
bool above(const std::string& directory, const std::string& top) {
    return top.size() > directory.size() && top[directory.size()] == '/' &&
           top.compare(0, directory.size(), directory) == 0;
}

bool read_link(const std::string& path, std::string& target) {
    std::vector<char> buffer(PATH_MAX);
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        return false;
    }
    target.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
}

}  // namespace

bool others_can_change(const struct stat& status, uid_t self) {
    return (status.st_uid != 0 && status.st_uid != self) || (status.st_mode & S_IWOTH) != 0;
}

int check_route(const std::string& path, const std::string& checked_from, uid_t self,
                sound_directories& sound, std::string& refused) {
    std::string top = checked_from;
    while (!top.empty() && top.back() == '/') {
        top.pop_back();
    }
    struct stat status {};
    if (!above("", top) && !sound.contains("")) {
        if (lstat("/", &status) != 0 || others_can_change(status, self)) {
            refused = "/";
            return trust_refused;
        }
        sound.insert("");
    }
    std::vector<std::string> pending;
    push_components(path, pending);
    std::string current;  // resolved so far, without links; "" is /
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            current.resize(current.empty() ? 0 : current.rfind('/'));
            continue;
        }
        std::string next = current;
        next.append("/").append(name);
        if (sound.contains(next)) {
            if (pending.empty()) {
                return trust_ok;
            }
            current = std::move(next);
            continue;
        }
        // Each lookup happens in a directory already found safe: only trusted users can make
        // it fail or change its answer. Where it cannot tell (a missing name, a link that cannot
        // be read or more links than the kernel follows), trusted is safe: the copy's own lookup
        // stops there as well, so it skips a staged link, fails to write, or creates the missing
        // name in this safe directory; nothing is reached through a directory others can change.
        if (lstat(next.c_str(), &status) != 0) {
            return trust_ok;
        }
        if (S_ISLNK(status.st_mode)) {
            std::string target;
            if (++links > links_per_lookup || !read_link(next, target)) {
                return trust_ok;
            }
            if (target.front() == '/') {
                current.clear();
            }
            push_components(target, pending);
            continue;
        }
        if (pending.empty() || !S_ISDIR(status.st_mode)) {
            return trust_ok;
        }
        if (!above(next, top) && others_can_change(status, self)) {
            refused = next;
            return trust_refused;
        }
        sound.insert(next);
        current = std::move(next);
    }
    return trust_ok;
}

}  // namespace kest
