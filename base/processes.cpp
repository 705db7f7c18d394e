#include "base/processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/directory_handle.h"
#include "base/file_identity.h"
#include "base/retry_on_eintr.h"
#include "base/unique_fd.h"

namespace kest {
namespace {

// Enough for two words of PATH_MAX bytes, as long as the paths they are compared with can be.
constexpr std::size_t command_line_limit = 2 * 4096 + 2;
// The pid, the command name (16 bytes at most, in parentheses), the state and the parent's pid.
constexpr std::size_t stat_prefix_limit = 128;

struct proc_path {
    char text[48];
};

proc_path path_of(long pid, const char* entry) {
    proc_path path{};
    (void)std::snprintf(path.text, sizeof path.text, "/proc/%ld/%s", pid, entry);
    return path;
}

// Reads the start of a file of /proc, which one read gives up to `size` bytes of; the number of
// bytes, or -1 when it cannot be read (the process has ended).
ssize_t read_start(const proc_path& path, char* buffer, std::size_t size) {
    const unique_fd fd(open(path.text, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return -1;
    }
    return retry_on_eintr([&] { return read(fd.get(), buffer, size); });
}

// The state letter and the parent's pid of `pid`, from /proc/PID/stat; false with errno when it
// cannot be read (ENOENT or ESRCH: the process has ended).
bool read_stat(long pid, char& state, long& parent) {
    char line[stat_prefix_limit];
    const ssize_t length = read_start(path_of(pid, "stat"), line, sizeof line - 1);
    if (length < 0) {
        return false;
    }
    line[length] = '\0';
    // The command name may hold any character: ") S PPID" follows its last ')'.
    const char* after_name = std::strrchr(line, ')');
    char* end = nullptr;
    if (after_name != nullptr && after_name + 4 <= line + length && after_name[1] == ' ' &&
        after_name[3] == ' ') {
        state = after_name[2];
        parent = std::strtol(after_name + 4, &end, 10);
    }
    if (end == nullptr || end == after_name + 4) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// The pid that a /proc entry's name is, or 0 when it is no process's.
long pid_named(const char* name) {
    char* end = nullptr;
    const long pid = std::strtol(name, &end, 10);
    return name[0] >= '1' && name[0] <= '9' && *end == '\0' ? pid : 0;
}

}  // namespace

platform::file_identity executable_of(long pid) {
    struct stat status {};
    if (stat(path_of(pid, "exe").text, &status) != 0) {
        return {0, 0};
    }
    return identity_of(status);
}

bool read_process(long pid, process_facts& facts) {
    facts.pid = pid;
    facts.executable = executable_of(pid);
    // Kernel threads and zombies run no file (and have no command line): most of the listing's
    // cost is spared on them.
    if (same_file(facts.executable, {0, 0})) {
        return false;
    }
    char line[command_line_limit];
    const ssize_t length = read_start(path_of(pid, "cmdline"), line, sizeof line);
    if (length < 0) {
        return false;
    }
    // NUL-separated words.
    const std::string_view text(line, static_cast<std::size_t>(length));
    const std::size_t first_end = std::min(text.find('\0'), text.size());
    facts.first_word = text.substr(0, first_end);
    const std::string_view rest = text.substr(std::min(first_end + 1, text.size()));
    facts.second_word = rest.substr(0, rest.find('\0'));
    return true;
}

std::vector<process_facts> list_processes() {
    std::vector<process_facts> processes;
    const directory_handle proc(opendir("/proc"));
    if (!proc) {
        return processes;
    }
    while (const dirent* entry = readdir(proc.get())) {
        const long pid = pid_named(entry->d_name);
        process_facts facts;
        if (pid > 0 && read_process(pid, facts)) {
            processes.push_back(std::move(facts));
        }
    }
    return processes;
}

long parent_pid_of(long pid) {
    char state = 0;
    long parent = 0;
    return read_stat(pid, state, parent) ? parent : 0;
}

bool process_ended(long pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        return true;
    }
    char state = 0;
    long parent = 0;
    if (!read_stat(pid, state, parent)) {
        return errno == ENOENT || errno == ESRCH;
    }
    return state == 'Z' || state == 'X';
}

}  // namespace kest
