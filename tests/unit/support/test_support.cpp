#include "support/test_support.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>

#include "updater/log.h"
#include "updater/platform.h"

namespace kest::testing {

std::vector<log_line> logged;
std::vector<std::chrono::milliseconds> pauses;
std::vector<std::string> commands;
std::function<int(const std::string&)> shell_status;
bool systemd_installed_answer = true;

namespace {

namespace fs = std::filesystem;

void record_line(int priority, const std::string& text) {
    logged.push_back({priority, text});
}
void record_pause(std::chrono::milliseconds duration) {
    pauses.push_back(duration);
}
bool answer_presence() {
    return systemd_installed_answer;
}
int record_command(const char* command) {
    commands.emplace_back(command);
    return shell_status ? shell_status(command) : 0;
}
void stay_attached(const char*) {}

}  // namespace

std::ostream& operator<<(std::ostream& out, const log_line& line) {
    return out << (line.priority == LOG_INFO  ? "info"
                   : line.priority == LOG_ERR ? "err"
                                              : std::to_string(line.priority))
               << " \"" << line.text << "\"";
}

log_line info(const std::string& text) {
    return {LOG_INFO, text};
}
log_line err(const std::string& text) {
    return {LOG_ERR, text};
}

void seam_test::SetUp() {
    logged.clear();
    pauses.clear();
    commands.clear();
    shell_status = nullptr;
    systemd_installed_answer = true;
    set_log_sink(record_line);
    platform::pause_for = record_pause;
    platform::systemd_check = answer_presence;
    platform::shell = record_command;
    platform::detach = stay_attached;
}

void seam_test::TearDown() {
    set_log_sink(nullptr);
    platform::pause_for = platform::real::pause_for;
    platform::systemd_check = platform::real::systemd_check;
    platform::shell = platform::real::shell;
    platform::detach = platform::real::detach;
    platform::make_directory = platform::real::make_directory;
    platform::open_file = platform::real::open_file;
    platform::open_pidfd = platform::real::open_pidfd;
    platform::send_signal = platform::real::send_signal;
    platform::own_executable = platform::real::own_executable;
}

namespace {

std::string temporary_base() {
    const char* base = std::getenv("TMPDIR");
    return base != nullptr ? base : "/tmp";
}

}  // namespace

scratch_dir::scratch_dir() : scratch_dir(temporary_base()) {}

scratch_dir::scratch_dir(const std::string& base) {
    std::string pattern = base + "/kest-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

scratch_dir::~scratch_dir() {
    // Tests take permissions away; give them back so that everything can be removed.
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(path_, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
        }
    }
    fs::remove_all(path_, error);
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out || chmod(path.c_str(), mode) != 0) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

mode_t mode_of(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

ino_t inode_of(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

bool exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

}  // namespace kest::testing
