#include "base/extended_attributes.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kest {
namespace {

// A file system that keeps no extended attributes has none to read or remove.
bool none_kept(int error) {
    return error == ENOTSUP || error == EOPNOTSUPP;
}

// The names of the attributes of `fd`, NUL-separated; 0 or an errno.
int list_names(int fd, std::string& names) {
    for (;;) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) {
            return none_kept(errno) ? (names.clear(), 0) : errno;
        }
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return 0;
        }
        if (errno != ERANGE) {  // ERANGE: one was added since the size was asked
            return errno;
        }
    }
}

int read_value(int fd, const char* name, std::string& value) {
    for (;;) {
        const ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0) {
            return errno;
        }
        value.resize(static_cast<std::size_t>(size));
        const ssize_t got = fgetxattr(fd, name, value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return 0;
        }
        if (errno != ERANGE) {
            return errno;
        }
    }
}

void append_number(std::string& text, std::uint32_t number) {
    text.append(reinterpret_cast<const char*>(&number), sizeof number);
}

bool take_number(const std::string& text, std::size_t& at, std::uint32_t& number) {
    if (text.size() - at < sizeof number) {
        return false;
    }
    std::memcpy(&number, text.data() + at, sizeof number);
    at += sizeof number;
    return true;
}

bool take_text(const std::string& text, std::size_t& at, std::string& out) {
    std::uint32_t length = 0;
    if (!take_number(text, at, length) || text.size() - at < length) {
        return false;
    }
    out.assign(text, at, length);
    at += length;
    return true;
}

}  // namespace

int read_extended_attributes(int fd, extended_attributes& attributes) {
    attributes.clear();
    std::string names;
    if (const int error = list_names(fd, names); error != 0) {
        return error;
    }
    for (std::size_t at = 0; at < names.size();) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        std::string value;
        const int error = read_value(fd, name.c_str(), value);
        if (error == ENODATA) {
            continue;  // removed since it was listed
        }
        if (error != 0) {
            return error;
        }
        attributes.emplace_back(name, std::move(value));
    }
    std::sort(attributes.begin(), attributes.end());
    return 0;
}

int write_extended_attributes(int fd, const extended_attributes& attributes) {
    extended_attributes now;
    if (const int error = read_extended_attributes(fd, now); error != 0) {
        return error;
    }
    for (const auto& attribute : now) {
        const bool wanted =
            std::any_of(attributes.begin(), attributes.end(),
                        [&attribute](const auto& kept) { return kept.first == attribute.first; });
        if (!wanted && fremovexattr(fd, attribute.first.c_str()) != 0 && errno != ENODATA) {
            return errno;
        }
    }
    for (const auto& [name, value] : attributes) {
        const auto same = std::find(now.begin(), now.end(), std::pair{name, value});
        if (same == now.end() && fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
            return errno;
        }
    }
    return 0;
}

int copy_extended_attributes(int from, int to, const std::string& except) {
    extended_attributes attributes;
    if (const int error = read_extended_attributes(from, attributes); error != 0) {
        return error;
    }
    for (const auto& [name, value] : attributes) {
        if (name != except && fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
            return errno;
        }
    }
    return 0;
}

std::string encode_attributes(const extended_attributes& attributes) {
    std::string text;
    for (const auto& [name, value] : attributes) {
        append_number(text, static_cast<std::uint32_t>(name.size()));
        text += name;
        append_number(text, static_cast<std::uint32_t>(value.size()));
        text += value;
    }
    return text;
}

bool decode_attributes(const std::string& text, extended_attributes& attributes) {
    attributes.clear();
    for (std::size_t at = 0; at < text.size();) {
        std::string name;
        std::string value;
        if (!take_text(text, at, name) || !take_text(text, at, value)) {
            return false;
        }
        attributes.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

}  // namespace kest
