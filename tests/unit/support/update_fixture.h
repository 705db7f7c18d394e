// A whole update run on trees of a test's own: each test works in a private mount namespace on a
// tmpfs of its own, so mounts and the trees built here never reach the host.
#pragma once

#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/platform.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"
#include "updater/run_update.h"

namespace kest::testing {

// The pauses of an entry that used up its 10 attempts.
extern const std::vector<std::chrono::milliseconds> nine_pauses;

// Whether `line` was logged.
bool contains(const log_line& line);

// The pauses of the copy's attempts at its entries (500 ms each), without those of the watch
// after the restart.
std::vector<std::chrono::milliseconds> attempt_pauses();

// An executable (a copy of sleep) at `path`, running until killed.
class running_executable {
  public:
    explicit running_executable(const std::string& path) : path_(path) {
        write_file(path, read_file("/bin/sleep"), 0755);
        pid_ = fork_tied_child();
        if (pid_ == 0) {
            execl(path.c_str(), "kestd", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~running_executable() { stop(); }
    running_executable(const running_executable&) = delete;
    running_executable& operator=(const running_executable&) = delete;

    // True once the process runs the file (and so holds it busy); waits a few seconds at most.
    bool started() const {
        const std::string exe = "/proc/" + std::to_string(pid_) + "/exe";
        for (int i = 0; i < 500; ++i) {
            char target[PATH_MAX] = {};
            const ssize_t length = readlink(exe.c_str(), target, sizeof target - 1);
            if (length > 0 && std::string(target, static_cast<size_t>(length)) == path_) {
                return true;
            }
            usleep(10000);
        }
        return false;
    }
    void stop() {
        stop_process(pid_);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }
    const std::string& path() const { return path_; }

    // Kills and reaps `pid`; a process already reaped is left alone.
    static void stop_process(pid_t pid) {
        if (pid > 0 && kill(pid, SIGKILL) == 0) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }

  private:
    std::string path_;
    pid_t pid_ = -1;
};

// The files that tell the watch after the restart that the agent runs: without systemd the
// executable of `agent`, under it a control group's process list in `process_list`.
void point_the_watch_at(const running_executable& agent, update_paths& paths,
                        const std::string& process_list);

class tmpfs_update_test : public seam_test {
  protected:
    void SetUp() override {
        seam_test::SetUp();
        ASSERT_TRUE(enter_private_mount_namespace());
        // A tmpfs: fast, cleaned up by one unmount, and a running executable on it is busy
        // (overlayfs would let it be opened for writing).
        ASSERT_EQ(mount("none", root_.path().c_str(), "tmpfs", 0, "mode=0755"), 0);
        mounted_ = true;
        ASSERT_NE(getcwd(saved_cwd_, sizeof saved_cwd_), nullptr);
        stage_ = root_ / "stage";
        target_ = root_ / "target";
        ASSERT_EQ(mkdir(stage_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(target_.c_str(), 0755), 0);
        systemd_answer = false;
        // What the watch after the restart finds running.
        agent_ = std::make_unique<running_executable>(root_ / "kestd");
        ASSERT_TRUE(agent_->started());
        point_the_watch_at(*agent_, watched_, root_ / "cgroup.procs");
    }
    void TearDown() override {
        agent_.reset();
        if (mounted_) {
            EXPECT_EQ(chdir(saved_cwd_), 0);
            EXPECT_EQ(umount2(root_.path().c_str(), MNT_DETACH), 0);
        }
        seam_test::TearDown();
    }

    // The staged tree onto the target, the lock, record and result below the test's root.
    update_paths paths() const {
        const std::string unit = target_ + "/etc/systemd/system/kest.service";
        update_paths paths{
            stage_,         target_, stage_ + "/etc/systemd/system", root_.path(),
            root_ / "lock", unit,    root_ / "state/undo",           root_ / "result.json"};
        paths.agent_executable = watched_.agent_executable;
        paths.agent_process_lists = watched_.agent_process_lists;
        return paths;
    }

    // A whole update run over the staged tree onto the target; pid 0 stops nothing.
    int update() {
        const char* argv[] = {"kest-update", "/usr/sbin/kestd --daemon", "0"};
        return run_update(3, argv, paths());
    }

    // What the user sees of a failed installation: why, the entry that failed and the run's
    // code, exit status 1; then the rollback, after which the old release starts again, and the
    // target as it was when the copy began (after the fault of after_the_checks).
    void expect_failed_run(int result, const std::string& cause, const std::string& failed,
                           int code) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(commands, std::vector<std::string>{"service kest start"});
        const log_line failure = err("Error while copying update " + std::to_string(code));
        const auto at = std::find(logged.begin(), logged.end(), failure);
        ASSERT_GE(at - logged.begin(), 2) << "no line " << failure;
        EXPECT_EQ(
            std::vector(at - 2, logged.end()),
            (std::vector{
                err(cause), err("Failed to copy " + failed + ": error " + std::to_string(code)),
                failure, warning("Rolling back the update"),
                info("Start the daemon via 'service' command"), info("Rolled back the update")}));
        if (copy_began_) {
            EXPECT_TRUE(snapshot(target_) == at_the_copy_) << "the target as it was";
        }
    }

    void mount_small_tmpfs(const std::string& path, const char* options) {
        ASSERT_EQ(mount("none", path.c_str(), "tmpfs", 0, options), 0);
    }
    static void make_read_only(const std::string& path) {
        ASSERT_EQ(mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
                  0);
    }

    // Makes `fault` happen once the checks before detaching have passed, as when the host
    // changes between them and the installation.
    void after_the_checks(const std::function<void()>& fault) {
        copy_began_ = false;
        platform::seams.detach = [this, fault](const char*) {
            fault();
            at_the_copy_ = snapshot(target_);
            copy_began_ = true;
        };
    }

    scratch_dir root_;
    std::string stage_;
    std::string target_;
    std::unique_ptr<running_executable> agent_;
    update_paths watched_;  // where the watch finds agent_

  private:
    tree_snapshot at_the_copy_;
    bool copy_began_ = false;
    bool mounted_ = false;
    char saved_cwd_[PATH_MAX] = {};
    cleared_creation_mask mask_;  // as in the detached updater
};

// Writes `content` to `path`, making the directories that lead to it.
void put(const std::string& path, const std::string& content);
// Makes the walk's status of `path` fail with `error`.
void fail_status_of(const std::string& path, int error);
// Makes `path` a symbolic link to `target`, making the directories that lead to it.
void link(const std::string& path, const std::string& target);
// Sets the file attribute `attribute` (FS_IMMUTABLE_FL, FS_APPEND_FL) of `path`.
void set_attribute(const std::string& path, int attribute);
// Builds `levels` nested directories named `name` below `top` and a file "bottom" in the last;
// works with descriptors, so that the paths may be longer than the system allows.
void build_deep_tree(const std::string& top, const std::string& name, int levels);
// The start-up line and "Refusing the update: cannot read PATH: error", PATH beginning with
// `beginning`: a tree that cannot be read whole is not installed, and nothing is stopped.
void expect_unreadable_refused(int result, const std::string& beginning, const char* error);

// `kest-update --check` on `paths`: its exit status and what it printed on standard output.
std::pair<int, std::string> check(const update_paths& paths);

}  // namespace kest::testing
