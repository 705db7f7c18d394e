// kest-watch-cpu [--systemd]: runs the updater's watch of the agent after its restart
// (kest::watch_agent, the real one with its real pauses and waits) against a real sleeping
// process for its full 10 s, and writes what the watch cost this process. Not installed.
//
// The "agent" is a copy of /bin/sleep in a fresh folder below $TMPDIR (or /tmp), started before
// the watch by a process in between, so that it is no child of this one (as the agent is none of
// the updater's). Without --systemd the watch looks for it as the agent's executable in /proc;
// with --systemd it reads a cgroup.procs file of its own that lists the process's pid, as the
// agent's control group would.
//
// Writes to standard output, one per line: "kept: yes" or "kept: no", "processes: N" (the
// entries of /proc when the watch began, kernel threads included), "listed: N" (those of them
// that run a file, whose command lines each look of the first second reads),
// "cpu-ms: X" (user and system time of this process during the watch, getrusage) and
// "wall-ms: X". Exit status 0 when the watch kept the release, 1 when not, 2 when the process
// could not be started, 64 for a wrong command line.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/processes.h"
#include "service/watch_agent.h"

namespace {

constexpr int exit_not_kept = 1;
constexpr int exit_no_process = 2;
constexpr int exit_usage = 64;

double cpu_ms() {
    rusage usage{};
    (void)getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) * 1000.0 +
               static_cast<double>(time.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

int count_processes() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        count += name.find_first_not_of("0123456789") == std::string::npos ? 1 : 0;
    }
    return count;
}

// Starts `program` ("kestd 600") in a grandchild and returns its pid, and the pid of the process
// in between in `between`; -1 when it could not start.
pid_t start_sleeper(const std::string& program, pid_t& between) {
    int ends[2] = {-1, -1};
    if (pipe(ends) != 0) {
        return -1;
    }
    between = fork();
    if (between == 0) {
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        const pid_t sleeper = fork();
        if (sleeper == 0) {
            (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
            execl(program.c_str(), "kestd", "600", static_cast<char*>(nullptr));
            _exit(127);
        }
        (void)!write(ends[1], &sleeper, sizeof sleeper);
        _exit(waitpid(sleeper, nullptr, 0) == sleeper ? 0 : 1);
    }
    close(ends[1]);
    pid_t sleeper = -1;
    if (between < 0 || read(ends[0], &sleeper, sizeof sleeper) != sizeof sleeper) {
        sleeper = -1;
    }
    close(ends[0]);
    // Running once its executable is the copy.
    struct stat copy {};
    (void)stat(program.c_str(), &copy);
    const std::string exe = "/proc/" + std::to_string(sleeper) + "/exe";
    for (int i = 0; sleeper > 0 && i < 500; ++i) {
        struct stat running {};
        if (stat(exe.c_str(), &running) == 0 && running.st_ino == copy.st_ino &&
            running.st_dev == copy.st_dev) {
            return sleeper;
        }
        usleep(10000);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool systemd = argc == 2 && std::strcmp(argv[1], "--systemd") == 0;
    if (argc > 2 || (argc == 2 && !systemd)) {
        (void)std::fprintf(stderr, "usage: kest-watch-cpu [--systemd]\n");
        return exit_usage;
    }
    const char* base = std::getenv("TMPDIR");
    std::string folder = std::string(base != nullptr ? base : "/tmp") + "/kest-watch.XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return exit_no_process;
    }
    const std::string program = folder + "/kestd";
    std::filesystem::copy_file("/bin/sleep", program);
    std::filesystem::permissions(program, std::filesystem::perms(0755));
    pid_t between = -1;
    const pid_t sleeper = start_sleeper(program, between);
    std::ofstream(folder + "/cgroup.procs") << sleeper << "\n";

    kest::agent_places places;
    places.cgroup_process_lists = {folder + "/cgroup.procs"};
    places.executable = program;
    bool kept = false;
    if (sleeper > 0) {
        const int processes = count_processes();
        const std::size_t listed = kest::list_processes().size();
        const double cpu_before = cpu_ms();
        const auto start = std::chrono::steady_clock::now();
        kept = kest::watch_agent(systemd, places);
        const std::chrono::duration<double, std::milli> wall =
            std::chrono::steady_clock::now() - start;
        const double cpu = cpu_ms() - cpu_before;
        std::printf("kept: %s\nprocesses: %d\nlisted: %zu\ncpu-ms: %.3f\nwall-ms: %.1f\n",
                    kept ? "yes" : "no", processes, listed, cpu, wall.count());
        (void)kill(sleeper, SIGKILL);
    }
    if (between > 0) {
        (void)waitpid(between, nullptr, 0);
    }
    std::filesystem::remove_all(folder);
    return sleeper <= 0 ? exit_no_process : kept ? 0 : exit_not_kept;
}
