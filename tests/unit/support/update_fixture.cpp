#include "support/update_fixture.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/unique_fd.h"

namespace kest::testing {

using namespace std::chrono_literals;

const std::vector<std::chrono::milliseconds> nine_pauses(9, 500ms);

bool contains(const log_line& line) {
    return std::find(logged.begin(), logged.end(), line) != logged.end();
}

std::vector<std::chrono::milliseconds> attempt_pauses() {
    std::vector<std::chrono::milliseconds> found;
    std::copy_if(pauses.begin(), pauses.end(), std::back_inserter(found),
                 [](std::chrono::milliseconds pause) { return pause == 500ms; });
    return found;
}

void point_the_watch_at(const running_executable& agent, update_paths& paths,
                        const std::string& process_list) {
    // The agent is this process's child, which the watch under systemd leaves out (the updater's
    // own): the process that started the tests stands for it there.
    write_file(process_list, std::to_string(getppid()) + "\n");
    paths.agent_executable = agent.path();
    paths.agent_process_lists = {process_list};
}

void put(const std::string& path, const std::string& content) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        (void)mkdir(path.substr(0, slash).c_str(), 0755);
    }
    write_file(path, content);
}

void fail_status_of(const std::string& path, int error) {
    platform::seams.status_of = [path, error](const char* looked_at, struct stat* status) {
        if (looked_at == path) {
            errno = error;
            return -1;
        }
        return platform::real::status_of(looked_at, status);
    };
}

void link(const std::string& path, const std::string& target) {
    put(path, "");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
}

void set_attribute(const std::string& path, int attribute) {
    const unique_fd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int flags = 0;
    ASSERT_TRUE(file.valid() && ioctl(file.get(), FS_IOC_GETFLAGS, &flags) == 0) << path;
    flags |= attribute;
    ASSERT_EQ(ioctl(file.get(), FS_IOC_SETFLAGS, &flags), 0) << path;
}

void build_deep_tree(const std::string& top, const std::string& name, int levels) {
    unique_fd dir(open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.valid());
    for (int i = 0; i < levels; ++i) {
        ASSERT_EQ(mkdirat(dir.get(), name.c_str(), 0755), 0) << "level " << i;
        dir.reset(openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(dir.valid());
    }
    const unique_fd file(openat(dir.get(), "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(file.valid());
    ASSERT_EQ(write(file.get(), "deep", 4), 4);
}

void expect_unreadable_refused(int result, const std::string& beginning, const char* error) {
    EXPECT_EQ(result, 1);
    ASSERT_EQ(logged.size(), 2u);
    const std::string& refusal = logged.back().text;
    EXPECT_EQ(refusal.rfind("Refusing the update: cannot read " + beginning, 0), 0u) << refusal;
    EXPECT_EQ(refusal.substr(refusal.rfind(": ") + 2), error);
}

std::pair<int, std::string> check(const update_paths& paths) {
    const char* argv[] = {"kest-update", "--check"};
    (void)std::fflush(stdout);  // none of the test's own output goes into the answer
    const unique_fd printed(memfd_create("check", MFD_CLOEXEC));
    const unique_fd saved(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    EXPECT_GE(dup2(printed.get(), STDOUT_FILENO), 0) << std::strerror(errno);
    const int status = run_update(2, argv, paths);
    EXPECT_GE(dup2(saved.get(), STDOUT_FILENO), 0) << std::strerror(errno);
    return {status, read_file("/proc/self/fd/" + std::to_string(printed.get()))};
}

}  // namespace kest::testing
