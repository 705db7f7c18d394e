#include "shared/landing.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace kest {
namespace {

// The kernel's own limit on the links followed in one lookup.
constexpr int links_per_lookup = 40;

// Adds the names of `path` to `pending`, the next one to resolve last.
void push_names(const std::string& path, std::vector<std::string>& pending) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            names.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    pending.insert(pending.end(), names.rbegin(), names.rend());
}

// 0 with `target` read from the link `path`, or an errno.
int read_link(const std::string& path, std::string& target) {
    std::vector<char> buffer(PATH_MAX);
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) {
        return errno;
    }
    if (length == 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        return length == 0 ? ENOENT : ENAMETOOLONG;
    }
    target.assign(buffer.data(), static_cast<std::size_t>(length));
    return 0;
}

struct lookup {
    write_kind kind;
    known_directories& known;
    const directory_rule& rule;
    landing found;
    std::vector<std::string> pending;
    std::string current;  // resolved so far, without links; "" is /
    int links = 0;
    bool last_was_link = false;  // the name the write was asked for is a link
};

// Keeps the first directory on the way that fails the rule.
void note_verdict(lookup& state, bool passes, const std::string& path) {
    if (!passes && state.found.untrusted.empty()) {
        state.found.untrusted = path.empty() ? "/" : path;
    }
}

// Judges the directory `path` once per run.
void pass_directory(lookup& state, const std::string& path, const file_facts& facts) {
    const bool passes = !state.rule || state.rule(path.empty() ? "/" : path, facts);
    state.known.emplace(path, passes);
    note_verdict(state, passes, path);
}

// The name `path` leads nowhere: a file is created there; mkdir meets a link instead, and a
// missing directory on the way stops both.
bool ends_missing(lookup& state, const std::string& path, bool last) {
    if (state.kind == write_kind::directory && state.last_was_link) {
        state.found.error = EEXIST;
    } else if (!last) {
        state.found.error = ENOENT;
    } else {
        state.found.target = path;
        state.found.looked_up = ENOENT;
    }
    return false;
}

// "." stays, ".." climbs one directory of the path resolved so far.
bool step_over_dots(lookup& state, const std::string& name, bool last) {
    if (name == "..") {
        state.current.resize(state.current.empty() ? 0 : state.current.rfind('/'));
    }
    return !last;
}

// Replaces the link `path` by the names of its target; false when it cannot be read or one link
// too many was met.
bool follow_link(lookup& state, const std::string& path, bool last) {
    std::string target;
    const int read = ++state.links > links_per_lookup ? ELOOP : read_link(path, target);
    if (read != 0) {
        state.found.error = read;
        return false;
    }
    state.last_was_link = state.last_was_link || last;
    if (target.front() == '/') {
        state.current.clear();
    }
    push_names(target, state.pending);
    return !state.pending.empty();
}

// The object finally named, or a directory to go on in.
bool land_or_enter(lookup& state, std::string path, const file_facts& facts, bool last) {
    if (last) {
        state.found.target = std::move(path);
        state.found.looked_up = 0;
        state.found.existing = facts;
        return false;
    }
    if (!S_ISDIR(facts.mode)) {
        state.found.error = ENOTDIR;
        return false;
    }
    pass_directory(state, path, facts);
    state.current = std::move(path);
    return true;
}

// Resolves the next pending name; false once the lookup has its answer.
bool resolve_next(lookup& state) {
    const std::string name = state.pending.back();
    state.pending.pop_back();
    const bool last = state.pending.empty();
    if (name == "." || name == "..") {
        return step_over_dots(state, name, last);
    }
    std::string next = state.current;
    next.append("/").append(name);
    const auto known = last ? state.known.end() : state.known.find(next);
    if (known != state.known.end()) {
        note_verdict(state, known->second, next);
        state.current = std::move(next);
        return true;
    }
    file_facts facts;
    const int looked = look_at(next, facts, last_link::keep);
    if (looked != 0) {
        if (looked == ENOENT) {
            return ends_missing(state, next, last);
        }
        state.found.error = looked;
        return false;
    }
    return S_ISLNK(facts.mode) ? follow_link(state, next, last)
                               : land_or_enter(state, std::move(next), facts, last);
}

}  // namespace

landing find_landing(const std::string& path, write_kind kind, known_directories& known,
                     const directory_rule& rule) {
    lookup state{kind, known, rule, {}, {}, {}, 0, false};
    if (path.size() >= PATH_MAX) {
        state.found.error = ENAMETOOLONG;
        return state.found;
    }
    const auto root = known.find("");
    file_facts facts;
    if (root != known.end()) {
        note_verdict(state, root->second, "");
    } else if (look_at("/", facts) == 0) {
        pass_directory(state, "", facts);
    }
    // A relative path is looked up from the working directory, as the kernel does.
    if (!path.empty() && path.front() != '/') {
        std::vector<char> cwd(PATH_MAX);
        if (getcwd(cwd.data(), cwd.size()) == nullptr) {
            state.found.error = errno;
            return state.found;
        }
        push_names(path, state.pending);
        push_names(cwd.data(), state.pending);
    } else {
        push_names(path, state.pending);
    }
    while (!state.pending.empty() && resolve_next(state)) {
    }
    if (state.found.error == 0 && state.found.target.empty()) {
        // The path ends in a directory reached by "." or "..", or is /.
        state.found.target = state.current.empty() ? "/" : state.current;
        state.found.looked_up = look_at(state.found.target, state.found.existing, last_link::keep);
    }
    return state.found;
}

}  // namespace kest
