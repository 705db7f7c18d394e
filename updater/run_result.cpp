#include "updater/run_result.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/hidden_file.h"
#include "base/json_text.h"
#include "base/log.h"
#include "base/path_text.h"
#include "base/system_calls.h"
#include "base/unique_fd.h"
#include "base/write_all.h"

namespace kest {
namespace {

std::string json_list(const std::vector<std::string>& texts) {
    std::string out = "[";
    for (const std::string& text : texts) {
        out += (out.size() > 1 ? "," : "") + json_text(text);
    }
    return out + "]";
}

std::string json_of(const run_result& result) {
    return "{\"outcome\":" + json_text(outcome_text(result.what)) +
           ",\"message\":" + json_text(result.message) + ",\"cause\":" + json_text(result.cause) +
           ",\"agent_running\":" + (result.agent_running ? "true" : "false") +
           ",\"started\":" + json_text(result.started) + ",\"ended\":" + json_text(result.ended) +
           ",\"version\":" + json_text(result.version) + ",\"id\":" + json_text(result.id) +
           ",\"not_restored\":" + json_list(result.not_restored) + "}\n";
}

// Writes `text` into a new hidden file in `folder` and renames it over `name`. 0 or an errno.
int replace_with(int folder, const std::string& name, const std::string& text) {
    std::string created;
    unique_fd file(create_hidden_sibling(folder, name, "kest-update", 0644, created));
    if (!file.valid()) {
        return errno;
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

const char* outcome_text(outcome what) {
    switch (what) {
        case outcome::installed:
            return "installed";
        case outcome::watching:
            return "watching";
        case outcome::refused:
            return "refused";
        case outcome::rolled_back:
            return "rolled-back";
        case outcome::rollback_incomplete:
            return "rollback-incomplete";
        case outcome::recovered:
            return "recovered";
    }
    return "";
}

std::string random_run_id() {
    unsigned char bytes[16];
    // Without waiting: early at boot the kernel's generator may not be ready, and /dev/urandom
    // never waits (nor is missing on kernels before getrandom).
    if (syscall(system_call::getrandom, bytes, sizeof bytes, system_call::getrandom_nonblock) !=
        static_cast<long>(sizeof bytes)) {
        const unique_fd random(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
        if (!random.valid() ||
            read(random.get(), bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) {
            return "";
        }
    }
    std::string id;
    for (const unsigned char byte : bytes) {
        char digits[3];
        (void)std::snprintf(digits, sizeof digits, "%02x", byte);
        id += digits;
    }
    return id;
}

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
    const path_parts place = split_path(path);
    const unique_fd folder(open(place.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int error =
        folder.valid() ? replace_with(folder.get(), place.name, json_of(result)) : errno;
    if (error != 0) {
        log_err("Failed to write the result %s: %s", path.c_str(), std::strerror(error));
        return false;
    }
    return true;
}

}  // namespace kest
