// Sample agent used by the end-to-end suite and the sample update demo.
//
// It behaves the way a real agent does towards the updater: it runs from its
// own executable (which is therefore busy), stages a new release of itself
// under /var/kest/update and launches kest-update with its start command and
// its own pid. Everything it does is written to files under /var/lib/kestd so
// that a test can see which release runs, which process was signalled and
// which exit status the updater's caller saw.
//
// Modes:
//   kestd            the agent in the foreground (kest.service)
//   kestd --daemon   the start command: detaches, then runs the agent
//   kestd --check    only the start gate (ExecStartPre of kest.service)
//   kestd --helper   a helper of the agent, run from /usr/lib/kestd/kestd-helper
//
// The agent starts its helper when that file is installed. The helper outlives the agent's
// stop under KillMode=process and keeps its own executable busy, as a real agent's helpers do;
// it ends on SIGTERM.
//
// Faults of one release, for the scenarios of a release that fails after its start: each line of
// /var/lib/kestd/faults-RELEASE is one of
//   exit-after-ms N   the agent ends by itself N ms after its start
//   start-then-fail   the start command launches the agent, then fails (exit 1)
//   write PATH        the agent writes PATH when it starts (a file of the new release's own)
//
// Signals to the agent:
//   SIGUSR1  stage and launch the update, keep running
//   SIGUSR2  stage and launch the update, then end by itself shortly after
//   SIGTERM  end (recorded with the signal number)

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>

#ifndef KESTD_RELEASE
#error "KESTD_RELEASE must be defined at build time"
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kStateDir = "/var/lib/kestd";
constexpr const char* kDownloadDir = "/var/lib/kestd/download";
constexpr const char* kStagingRoot = "/var/kest/update";
constexpr const char* kUpdater = "/usr/sbin/kest-update";
constexpr const char* kHelper = "/usr/lib/kestd/kestd-helper";
constexpr const char* kStartCommand = "/usr/sbin/kestd --daemon";
// Exit status of a start that the gate refuses; distinct from the service
// manager's own codes so that the updater's log shows which way failed.
constexpr int kRefusedStartStatus = 7;

std::string state_path(const char* name) {
    return std::string(kStateDir) + "/" + name;
}

long long now_usec() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// Appends one line to the event log; O_APPEND keeps lines of several
// processes (agents, gates) whole.
void record_event(const std::string& text) {
    mkdir(kStateDir, 0755);
    std::string line = std::to_string(now_usec()) + " " + text + "\n";
    int fd = open(state_path("events").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
}

// Replaces a state file atomically, so a reader never sees half a line.
void write_state(const char* name, const std::string& text) {
    mkdir(kStateDir, 0755);
    std::string tmp = state_path(name) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text << "\n";
    }
    rename(tmp.c_str(), state_path(name).c_str());
}

std::string who(const char* role) {
    return std::string(role) + " " + KESTD_RELEASE + " " + std::to_string(getpid());
}

// The start gate: while /var/lib/kestd/refuse-starts holds a count above
// zero, each start is refused and the count goes down by one. Tests use it
// to make the updater's restart ways fail a chosen number of times.
bool start_allowed() {
    std::string path = state_path("refuse-starts");
    std::ifstream in(path);
    long remaining = 0;
    if (!(in >> remaining) || remaining <= 0)
        return true;
    in.close();
    std::ofstream(path, std::ios::trunc) << (remaining - 1) << "\n";
    record_event("refused-start " + std::string(KESTD_RELEASE));
    return false;
}

// The value of `key` in this release's faults file, "" when it has none.
std::string fault(const std::string& key) {
    std::ifstream in(state_path(("faults-" + std::string(KESTD_RELEASE)).c_str()));
    std::string line;
    while (std::getline(in, line)) {
        if (line == key)
            return "yes";
        if (line.rfind(key + " ", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return "";
}

void stage_update() {
    std::error_code ec;
    fs::create_directories("/var/kest", ec);
    if (!fs::exists(kStagingRoot))
        mkdir(kStagingRoot, 0755);
    // Keep the staging root itself (its owner and mode are the updater's
    // business), replace what is inside it.
    for (const auto& entry : fs::directory_iterator(kStagingRoot, ec))
        fs::remove_all(entry, ec);
    fs::copy(kDownloadDir, kStagingRoot,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    record_event("staged " + who("agent") + (ec ? " error " + ec.message() : ""));
}

std::string describe_status(int status) {
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// Starts the updater as a real agent does and records what its caller sees.
void launch_updater() {
    std::string pid_text = std::to_string(getpid());
    pid_t child = fork();
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execl(kUpdater, "kest-update", kStartCommand, pid_text.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    std::string seen = "fork failed";
    if (child > 0 && waitpid(child, &status, 0) == child)
        seen = describe_status(status);
    write_state("update-status", seen);
    record_event("update-returned " + who("agent") + " " + seen);
}

void start_helper() {
    if (access(kHelper, X_OK) != 0)
        return;
    if (fork() == 0) {
        execl(kHelper, "kestd-helper", "--helper", nullptr);
        _exit(127);
    }
}

// Blocks the signals that end or drive the process; sigwaitinfo takes them one at a time.
sigset_t wait_for_signals(std::initializer_list<int> signals) {
    sigset_t wanted;
    sigemptyset(&wanted);
    for (int sig : signals)
        sigaddset(&wanted, sig);
    sigprocmask(SIG_BLOCK, &wanted, nullptr);
    return wanted;
}

int run_helper() {
    sigset_t wanted = wait_for_signals({SIGTERM, SIGINT});
    record_event("start " + who("helper"));
    int sig = -1;
    while (sig < 0)
        sig = sigwaitinfo(&wanted, nullptr);
    record_event("end " + who("helper") + " signal " + std::to_string(sig));
    return 0;
}

int run_agent() {
    umask(022);
    sigset_t wanted = wait_for_signals({SIGTERM, SIGINT, SIGUSR1, SIGUSR2});

    write_state("agent", std::string(KESTD_RELEASE) + " " + std::to_string(getpid()) + " " +
                             std::to_string(now_usec()));
    record_event("start " + who("agent"));
    // What the updater's result said when this agent started: its own run's, while it watches.
    {
        std::ifstream result("/var/lib/kest-update/result.json");
        std::string seen((std::istreambuf_iterator<char>(result)),
                         std::istreambuf_iterator<char>());
        write_state("result-at-start", seen.empty() ? "none" : seen.substr(0, seen.find('\n')));
    }
    std::printf("kestd release %s running as pid %d\n", KESTD_RELEASE, getpid());
    std::fflush(stdout);
    start_helper();
    if (std::string path = fault("write"); !path.empty()) {
        std::ofstream(path) << "written by release " << KESTD_RELEASE << "\n";
    }
    long exit_after_ms = 0;
    if (std::string after = fault("exit-after-ms"); !after.empty())
        exit_after_ms = std::stol(after);
    if (exit_after_ms > 0) {
        // The signals stay blocked; the agent waits for the time, then ends as a crash would.
        timespec wait{exit_after_ms / 1000, (exit_after_ms % 1000) * 1000000};
        while (sigtimedwait(&wanted, nullptr, &wait) < 0 && errno == EINTR) {
        }
        record_event("end " + who("agent") + " by fault");
        return 3;
    }

    for (;;) {
        int sig = sigwaitinfo(&wanted, nullptr);
        if (sig < 0)
            continue;
        if (sig == SIGUSR1 || sig == SIGUSR2) {
            stage_update();
            launch_updater();
            if (sig == SIGUSR2) {
                // Winds down on its own, a moment after handing over.
                usleep(1500 * 1000);
                record_event("end " + who("agent") + " by itself");
                return 0;
            }
            continue;
        }
        record_event("end " + who("agent") + " signal " + std::to_string(sig));
        return 0;
    }
}

int run_daemon() {
    if (!start_allowed())
        return kRefusedStartStatus;
    pid_t child = fork();
    if (child < 0)
        return 1;
    if (child > 0)
        return fault("start-then-fail").empty() ? 0 : 1;
    setsid();
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        if (null_fd > 2)
            close(null_fd);
    }
    return run_agent();
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode.empty())
        return run_agent();
    if (mode == "--daemon")
        return run_daemon();
    if (mode == "--check")
        return start_allowed() ? 0 : kRefusedStartStatus;
    if (mode == "--helper")
        return run_helper();
    std::fprintf(stderr, "usage: kestd [--daemon|--check|--helper]\n");
    return 2;
}
