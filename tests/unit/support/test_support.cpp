#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <stdexcept>
#include <utility>

#include "base/constants.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/unique_fd.h"
#include "base/written_file_systems.h"
#include "install/copy_file.h"

namespace kest::testing {

std::vector<std::string> journal;
std::vector<log_line> logged;
std::vector<std::chrono::milliseconds> pauses;
std::vector<std::string> commands;
std::function<int(const std::string&)> shell_status;
bool systemd_answer = true;
std::vector<std::chrono::milliseconds> waits;
std::chrono::milliseconds longest_real_wait{0};
std::function<void()> after_pause;
std::function<void()> after_wait;
std::function<void(const log_line&)> after_log;
bool signals_allowed = false;

namespace {

namespace fs = std::filesystem;

constexpr std::size_t journal_limit = 1000000;

void note(std::string entry) {
    if (journal.size() == journal_limit) {
        throw std::runtime_error("a million steps recorded: the run does not end");
    }
    journal.push_back(std::move(entry));
}

void record_line(int priority, const std::string& text) {
    note((priority == LOG_ERR ? "err " : priority == LOG_WARNING ? "warning " : "info ") + text);
    logged.push_back({priority, text});
    if (after_log) {
        after_log(logged.back());
    }
}

void record_pause(std::chrono::milliseconds duration) {
    note("pause " + std::to_string(duration.count()) + "ms");
    pauses.push_back(duration);
    if (after_pause) {
        after_pause();
    }
}

int record_wait(pollfd* fds, std::size_t count, std::chrono::milliseconds timeout) {
    note("wait " + std::to_string(timeout.count()) + "ms");
    waits.push_back(timeout);
    if (after_wait) {
        after_wait();
    }
    return platform::real::wait_until_readable(fds, count, std::min(timeout, longest_real_wait));
}

int record_command(const char* command) {
    note(std::string("run ") + command);
    commands.emplace_back(command);
    return shell_status ? shell_status(command) : 0;
}

int record_pidfd(long pid) {
    note("pidfd " + std::to_string(pid));
    return platform::real::open_pidfd(pid);
}

int record_signal(int pidfd, long pid, int signal) {
    note("signal " + std::to_string(signal) + " " + std::to_string(pid) +
         (pidfd >= 0 ? " pidfd" : ""));
    // By pid, only to a child of the test: a faulty pid could reach any process (or all, as -1).
    siginfo_t child{};
    const bool own = pidfd >= 0 || (pid > 0 && waitid(P_PID, static_cast<id_t>(pid), &child,
                                                      WEXITED | WNOHANG | WNOWAIT) == 0);
    if (!signals_allowed || !own) {
        ADD_FAILURE() << "signal " << signal << " to " << pid << " must not be sent here";
        errno = EPERM;
        return -1;
    }
    return platform::real::send_signal(pidfd, pid, signal);
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const log_line& line) {
    return out << (line.priority == LOG_INFO      ? "info"
                   : line.priority == LOG_WARNING ? "warning"
                   : line.priority == LOG_ERR     ? "err"
                                                  : std::to_string(line.priority))
               << " \"" << line.text << "\"";
}

log_line info(const std::string& text) {
    return {LOG_INFO, text};
}
log_line warning(const std::string& text) {
    return {LOG_WARNING, text};
}
log_line err(const std::string& text) {
    return {LOG_ERR, text};
}

void seam_test::SetUp() {
    platform::reset_services();
    forget_copy_guesses();
    journal.clear();
    logged.clear();
    pauses.clear();
    commands.clear();
    shell_status = nullptr;
    systemd_answer = true;
    waits.clear();
    longest_real_wait = std::chrono::milliseconds{0};
    after_pause = nullptr;
    after_wait = nullptr;
    after_log = nullptr;
    signals_allowed = false;
    set_log_sink(record_line);
    platform::seams.pause_for = record_pause;
    platform::seams.wait_until_readable = record_wait;
    platform::seams.systemd_present = [] { return systemd_answer; };
    platform::seams.shell = record_command;
    platform::seams.detach = [](const char* directory) {
        note(std::string("detach ") + directory);
    };
    platform::seams.open_pidfd = record_pidfd;
    platform::seams.send_signal = record_signal;
    // What earlier tests wrote without a run that flushed it is forgotten.
    platform::seams.flush_file_system = [](int) { return 0; };
    flush_written();
    platform::seams.flush_file_system = [](int) {
        note("flush");
        return 0;
    };
    platform::seams.flush_file = [](int) {
        note("flush file");
        return 0;
    };
}

void seam_test::TearDown() {
    // Closures a test set may capture its locals.
    shell_status = nullptr;
    after_pause = nullptr;
    after_wait = nullptr;
    after_log = nullptr;
    set_log_sink(nullptr);
    platform::reset_services();
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

namespace {

bool write_proc_file(const std::string& path, const std::string& text) {
    const unique_fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    return fd.valid() &&
           write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

::testing::AssertionResult failed(const std::string& step) {
    return ::testing::AssertionFailure() << step << ": " << std::strerror(errno);
}

}  // namespace

::testing::AssertionResult enter_private_mount_namespace() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNS) != 0) {
            return failed("unshare(CLONE_NEWNS)");
        }
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return failed("unshare(CLONE_NEWUSER | CLONE_NEWNS)");
        }
        // Without "deny", an unprivileged process may not write its group map.
        if (!write_proc_file("/proc/self/setgroups", "deny") ||
            !write_proc_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_proc_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return failed("mapping the user to root");
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed("making the mounts private");
    }
    return ::testing::AssertionSuccess();
}

bool real_root() {
    // The initial user namespace maps every id onto itself.
    std::ifstream map("/proc/self/uid_map");
    unsigned long inside = 1;
    unsigned long outside = 1;
    unsigned long count = 0;
    return geteuid() == 0 && map >> inside >> outside >> count && inside == 0 && outside == 0 &&
           count == 4294967295UL;
}

pid_t fork_tied_child() {
    const pid_t parent = getpid();
    const pid_t child = fork();
    // The parent may have ended before the signal was asked for.
    if (child == 0 && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)) {
        _exit(127);
    }
    return child;
}

int run_in_child(const std::function<int()>& body) {
    const pid_t child = fork_tied_child();
    if (child == 0) {
        _exit(body());
    }
    int status = -1;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

int run_sealed(const std::string& program, std::vector<std::string> args,
               const std::function<bool()>& prepare) {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const std::string kest_dir = fs::path(staging_root).parent_path();
    return run_in_child([&] {
        struct stat status {};
        const bool sealed = enter_private_mount_namespace() &&
                            (stat(kest_dir.c_str(), &status) != 0
                                 ? errno == ENOENT
                                 : mount("none", kest_dir.c_str(), "tmpfs", 0, "mode=0755") == 0);
        if (!sealed || (prepare && !prepare())) {
            return 126;
        }
        execv(program.c_str(), argv.data());
        return 127;
    });
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
