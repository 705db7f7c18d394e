// Test helper: detaches the way the updater does, then waits for DIR/go and reports what the
// detached process looks like in DIR/report. The caller of this program plays the agent.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>

#include "updater/detach_from_caller.h"

namespace {

std::string link_target(const std::string& path) {
    char target[PATH_MAX] = {};
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length < 0 ? "(closed)" : std::string(target, static_cast<size_t>(length));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        return 2;
    }
    const std::string dir = argv[1];
    kest::detach_from_caller(dir.c_str());

    struct stat status {};
    for (int i = 0; i < 1000 && stat((dir + "/go").c_str(), &status) != 0; ++i) {
        usleep(10000);
    }
    const int made = mkdir("made", 0770);  // relative: the working directory is DIR
    std::ofstream report(dir + "/report.tmp");
    report << "mkdir " << made << "\n";
    report << "session_leader " << (getsid(0) == getpid()) << "\n";
    report << "cwd " << link_target("/proc/self/cwd") << "\n";
    for (int fd = 0; fd <= 2; ++fd) {
        report << "fd" << fd << " " << link_target("/proc/self/fd/" + std::to_string(fd)) << "\n";
    }
    report.close();
    return rename((dir + "/report.tmp").c_str(), (dir + "/report").c_str()) == 0 ? 0 : 1;
}
