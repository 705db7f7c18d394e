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

// Judges the directory `path` once per run; the first that fails is kept.
void pass_directory(lookup& state, const std::string& path, const file_facts& facts) {
    const bool passes = !state.rule || state.rule(path.empty() ? "/" : path, facts);
    state.known.emplace(path, passes);
    if (!passes && state.found.untrusted.empty()) {
        state.found.untrusted = path.empty() ? "/" : path;
    }
}

void note_known(lookup& state, bool passes, const std::string& path) {
    if (!passes && state.found.untrusted.empty()) {
        state.found.untrusted = path.empty() ? "/" : path;
    }
}

// The written name leads nowhere: a file is created there; mkdir meets the link instead.
landing& ends_missing(lookup& state, const std::string& path, bool name_is_last) {
    if (state.kind == write_kind::directory && state.last_was_link) {
        state.found.error = EEXIST;
    } else if (!name_is_last) {
        state.found.error = ENOENT;
    } else {
        state.found.target = path;
        state.found.looked_up = ENOENT;
    }
    return state.found;
}

// Resolves the next pending name; false once the lookup has its answer.
bool resolve_next(lookup& state) {
    const std::string name = state.pending.back();
    state.pending.pop_back();
    const bool last = state.pending.empty();
    if (name == "." || name == "..") {
        if (name == "..") {
            state.current.resize(state.current.empty() ? 0 : state.current.rfind('/'));
        }
        return !last;
    }
    std::string next = state.current;
    next.append("/").append(name);
    if (!last) {
        const auto known = state.known.find(next);
        if (known != state.known.end()) {
            note_known(state, known->second, next);
            state.current = std::move(next);
            return true;
        }
    }
    file_facts facts;
    const int looked = look_at(next, facts, last_link::keep);
    if (looked == ENOENT) {
        ends_missing(state, next, last);
        return false;
    }
    if (looked != 0) {
        state.found.error = looked;
        return false;
    }
    if (S_ISLNK(facts.mode)) {
        std::string target;
        const int read = ++state.links > links_per_lookup ? ELOOP : read_link(next, target);
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
    if (last) {
        state.found.target = std::move(next);
        state.found.looked_up = 0;
        state.found.existing = facts;
        return false;
    }
    if (!S_ISDIR(facts.mode)) {
        state.found.error = ENOTDIR;
        return false;
    }
    pass_directory(state, next, facts);
    state.current = std::move(next);
    return true;
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
        note_known(state, root->second, "");
    } else if (look_at("/", facts) == 0) {
        pass_directory(state, "", facts);
    }
    push_names(path, state.pending);
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
