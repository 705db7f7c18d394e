#include "updater/run_result.h"

#include <fcntl.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/path_text.h"
#include "base/retry_on_eintr.h"
#include "base/unique_fd.h"

namespace kest {
namespace {

constexpr unsigned names_to_try = 100;

// The length of the valid UTF-8 sequence that starts at `at`, 0 when there is none: overlong
// forms, surrogates and code points beyond U+10FFFF are not valid.
std::size_t utf8_length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    std::size_t length = 0;
    unsigned code = 0;
    unsigned lowest = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, code = lead & 0x1fU, lowest = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, code = lead & 0x0fU, lowest = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, code = lead & 0x07U, lowest = 0x10000;
    } else {
        return lead < 0x80 ? 1 : 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0U) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3fU);
    }
    const bool valid = code >= lowest && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
    return valid ? length : 0;
}

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = utf8_length(text, at);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (length == 0 || byte < 0x20 || byte == 0x7f) {
            // A stray byte becomes the code point of the same number, as Latin-1 reads it.
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out.append(text, at, length);
            at += length;
            continue;
        }
        ++at;
    }
    return out + "\"";
}

std::string json_of(const run_result& result) {
    return "{\"outcome\":" + json_text(result.outcome) +
           ",\"message\":" + json_text(result.message) + ",\"cause\":" + json_text(result.cause) +
           ",\"agent_running\":" + (result.agent_running ? "true" : "false") +
           ",\"started\":" + json_text(result.started) + ",\"ended\":" + json_text(result.ended) +
           ",\"version\":" + json_text(result.version) + "}\n";
}

bool write_all(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t written =
            retry_on_eintr([&] { return write(fd, bytes.data() + done, bytes.size() - done); });
        if (written <= 0) {
            errno = written < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Writes `text` into a new hidden file in `folder` and renames it over `name`. 0 or an errno.
int replace_with(int folder, const std::string& name, const std::string& text) {
    std::string created;
    unique_fd file;
    for (unsigned number = 0; !file.valid() && number < names_to_try; ++number) {
        created = "." + name + "." + std::to_string(getpid()) + "." + std::to_string(number);
        file.reset(retry_on_eintr([&] {
            return openat(folder, created.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        }));
        if (!file.valid() && errno != EEXIST) {
            return errno;
        }
    }
    if (!file.valid()) {
        return EEXIST;
    }
    if (!write_all(file.get(), text) || fsync(file.get()) != 0 || close(file.release()) != 0 ||
        renameat(folder, created.c_str(), folder, name.c_str()) != 0) {
        const int error = errno;
        (void)unlinkat(folder, created.c_str(), 0);
        return error;
    }
    // The new result is in place; a folder that cannot be flushed (not every file system can)
    // does not undo that.
    (void)fsync(folder);
    return 0;
}

}  // namespace

std::string utc_now() {
    const time_t now = time(nullptr);
    tm parts{};
    char text[32] = "";
    if (gmtime_r(&now, &parts) != nullptr) {
        (void)strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    }
    return text;
}

bool write_run_result(const std::string& path, const run_result& result) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const unique_fd folder(open(parent_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int error = folder.valid() ? replace_with(folder.get(), name, json_of(result)) : errno;
    if (error != 0) {
        log_err("Failed to write the result %s: %s", path.c_str(), std::strerror(error));
        return false;
    }
    return true;
}

}  // namespace kest
