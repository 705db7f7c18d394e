// Test helper: detaches the way the updater does, then waits for DIR/go and reports what the
// detached process looks like in DIR/report, with what a command run through the shell gets.
// The caller of this program plays the agent; descriptor 9 is the one it may leave open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>

#include "base/platform.h"
#include "base/unique_fd.h"
#include "guard/update_lock.h"
#include "updater/detach_from_caller.h"

namespace {

std::string link_target(const std::string& path) {
    char target[PATH_MAX] = {};
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length < 0 ? "(closed)" : std::string(target, static_cast<size_t>(length));
}

// The signals that `field` (SigIgn, SigBlk) of /proc/self/status lists, as hex.
std::string signal_field(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return line.substr(field.size() + 1);
        }
    }
    return "(missing)";
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        return 2;
    }
    const std::string dir = argv[1];
    // Taken before detaching, as the updater does: the detached run must keep it.
    kest::unique_fd lock;
    if (kest::take_update_lock(dir + "/lock", lock) != 0) {
        return 3;
    }
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
    report << "ignored" << signal_field("SigIgn") << "\n";
    report << "blocked" << signal_field("SigBlk") << "\n";
    report << "exit_3_status " << kest::platform::seams.shell("exit 3") << "\n";
    // The shell itself is what the command runner starts: whatever it holds, its commands get.
    // Asked without /proc, which a caller's root may lack.
    report << "shell_sees_fd9 " << kest::platform::seams.shell("(: <&9) 2>/dev/null || exit 1")
           << "\n";
    report << "lock_kept " << (fcntl(lock.get(), F_GETFD) >= 0) << "\n";
    const std::string lock_fd = std::to_string(lock.get());
    report << "shell_sees_lock "
           << kest::platform::seams.shell(("(: <&" + lock_fd + ") 2>/dev/null || exit 1").c_str())
           << "\n";
    // exec: the shell hands its own mask on unchanged only to a command it replaces itself by.
    report << "command_mask_empty "
           << kest::platform::seams.shell(
                  "exec grep -q '^SigBlk:[[:space:]]*0*$' /proc/self/status")
           << "\n";
    report.close();
    return rename((dir + "/report.tmp").c_str(), (dir + "/report").c_str()) == 0 ? 0 : 1;
}
