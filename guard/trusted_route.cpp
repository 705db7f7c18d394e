#include "guard/trusted_route.h"

#include "shared/ownership.h"

namespace kest {
namespace {

// True when `directory` lies strictly above `top`, both without a trailing "/" but for "/".
bool above(const std::string& directory, const std::string& top) {
    if (directory == "/") {
        return top != "/";
    }
    return top.size() > directory.size() && top[directory.size()] == '/' &&
           top.compare(0, directory.size(), directory) == 0;
}

}  // namespace

directory_rule trust_rule(const std::string& checked_from, uid_t self) {
    std::string top = checked_from;
    while (top.size() > 1 && top.back() == '/') {
        top.pop_back();
    }
    return [top, self](const std::string& directory, const file_facts& facts) {
        return above(directory, top) ||
               !others_can_change(facts.owner, facts.group, facts.mode, self);
    };
}

refusal check_route(const std::string& path, const directory_rule& rule, known_directories& known) {
    return check_landing_route(find_landing(path, write_kind::file, known, rule));
}

refusal check_landing_route(const landing& lands) {
    if (lands.untrusted.empty()) {
        return {};
    }
    return {refusal_reason::others_can_change, lands.untrusted, 0, 0, 0};
}

}  // namespace kest
