// Faults of the file system under a whole update run: what the walk does, what it logs and what
// the run reports. Each test works in a private mount namespace on a tmpfs of its own, so mounts
// and the trees built here never reach the host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/constants.h"
#include "base/platform.h"
#include "base/unique_fd.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"
#include "updater/detach_from_caller.h"
#include "updater/run_update.h"

namespace kest {
namespace {

using testing::commands;
using testing::err;
using testing::info;
using testing::logged;
using testing::pauses;
using testing::read_file;
using testing::write_file;
using namespace std::chrono_literals;

const std::vector<std::chrono::milliseconds> nine_pauses(9, 500ms);

bool contains(const testing::log_line& line) {
    return std::find(logged.begin(), logged.end(), line) != logged.end();
}

class installer_fault_test : public testing::seam_test {
  protected:
    void SetUp() override {
        seam_test::SetUp();
        ASSERT_TRUE(testing::enter_private_mount_namespace());
        // A tmpfs: fast, cleaned up by one unmount, and a running executable on it is busy
        // (overlayfs would let it be opened for writing).
        ASSERT_EQ(mount("none", root_.path().c_str(), "tmpfs", 0, "mode=0755"), 0);
        mounted_ = true;
        ASSERT_NE(getcwd(saved_cwd_, sizeof saved_cwd_), nullptr);
        saved_mask_ = umask(0);  // as in the detached updater
        stage_ = root_ / "stage";
        target_ = root_ / "target";
        ASSERT_EQ(mkdir(stage_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(target_.c_str(), 0755), 0);
        testing::systemd_answer = false;
    }
    void TearDown() override {
        if (mounted_) {
            umask(saved_mask_);
            EXPECT_EQ(chdir(saved_cwd_), 0);
            EXPECT_EQ(umount2(root_.path().c_str(), MNT_DETACH), 0);
        }
        seam_test::TearDown();
    }

    // A whole update run over the staged tree onto the target; pid 0 stops nothing.
    int update() {
        const char* argv[] = {"kest-update", "/usr/sbin/kestd --daemon", "0"};
        return run_update(3, argv,
                          {stage_, target_, stage_ + "/etc/systemd/system", root_.path(),
                           root_ / "lock", target_ + "/etc/systemd/system/kest.service"});
    }

    // What the user sees of a failed installation: why, the entry that failed and the run's
    // code, exit status 1, and no restart.
    void expect_failed_run(int result, const std::string& cause, const std::string& failed,
                           int code) {
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(commands.empty()) << "the agent must stay down";
        ASSERT_GE(logged.size(), 3u);
        EXPECT_EQ(std::vector(logged.end() - 3, logged.end()),
                  (std::vector{err(cause),
                               err("Failed to copy " + failed + ": error " + std::to_string(code)),
                               err("Error while copying update " + std::to_string(code))}));
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
    static void after_the_checks(const std::function<void()>& fault) {
        platform::detach = [fault](const char*) { fault(); };
    }

    testing::scratch_dir root_;
    std::string stage_;
    std::string target_;

  private:
    bool mounted_ = false;
    char saved_cwd_[PATH_MAX] = {};
    mode_t saved_mask_ = 0;
};

// Writes `content` to `path`, making the directories that lead to it.
void put(const std::string& path, const std::string& content) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        (void)mkdir(path.substr(0, slash).c_str(), 0755);
    }
    write_file(path, content);
}

// Makes the walk's status of `path` fail with `error`.
void fail_status_of(const std::string& path, int error) {
    platform::status_of = [path, error](const char* looked_at, struct stat* status) {
        if (looked_at == path) {
            errno = error;
            return -1;
        }
        return platform::real::status_of(looked_at, status);
    };
}

// Makes `path` a symbolic link to `target`, making the directories that lead to it.
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

TEST_F(installer_fault_test, what_cannot_be_installed_is_refused_before_anything_stops) {
    const std::string& t = target_;
    const std::string kib_60(std::size_t{60} * 1024, 'n');
    struct refusal_case {
        const char* target_options;
        std::function<void()> prepare;  // the staged tree and the target
        std::string refusal;            // empty for an update that must go through
        bool needs_root = false;        // only root of the machine may set file attributes
        int statx_refused = 0;          // ENOSYS as on kernels before statx, EPERM by a filter
    };
    const std::vector<refusal_case> cases{
        {"mode=0755",
         [&] {
             put(stage_ + "/usr/kestd", "new");
             put(t + "/usr", "a file where a directory is staged");
         },
         "cannot write " + t + "/usr: Not a directory"},
        {"mode=0755",
         [&] {
             put(stage_ + "/kestd", "new");
             ASSERT_EQ(mkdir((t + "/kestd").c_str(), 0755), 0);
         },
         "cannot write " + t + "/kestd: Is a directory"},
        {"mode=0755",
         [&] {
             put(stage_ + "/kestd", "new");
             ASSERT_EQ(mkfifo((t + "/kestd").c_str(), 0644), 0);
         },
         "cannot write " + t + "/kestd: Invalid argument"},
        {"mode=0755",
         [&] {
             put(stage_ + "/kestd", "new");
             put(t + "/kestd", "old");
             make_read_only(t);
         },
         "cannot write " + t + "/kestd: Read-only file system"},
        {"mode=0755",
         [&] {
             put(stage_ + "/etc/kest.conf", "new");
             make_read_only(t);
         },
         "cannot write " + t + "/etc: Read-only file system"},
        {"mode=0755",
         [&] {
             put(t + "/kestd", "old");
             set_attribute(t + "/kestd", FS_IMMUTABLE_FL);
             put(stage_ + "/kestd", "new");
         },
         "cannot write " + t + "/kestd: Operation not permitted", true},
        {"mode=0755",
         [&] {
             put(t + "/kestd", "old");
             set_attribute(t + "/kestd", FS_IMMUTABLE_FL);
             put(stage_ + "/kestd", "new");
         },
         "cannot write " + t + "/kestd: Operation not permitted", true, ENOSYS},
        {"mode=0755",
         [&] {
             put(t + "/kestd", "old");
             put(stage_ + "/kestd", "new");
             make_read_only(t);
         },
         "cannot write " + t + "/kestd: Read-only file system", false, EPERM},
        {"mode=0755",
         [&] {
             put(t + "/kestd.log", "old");
             set_attribute(t + "/kestd.log", FS_APPEND_FL);
             put(stage_ + "/kestd.log", "new");
         },
         "cannot write " + t + "/kestd.log: Operation not permitted", true},
        {"mode=0755",
         [&] {
             ASSERT_EQ(mkdir((t + "/usr").c_str(), 0755), 0);
             set_attribute(t + "/usr", FS_IMMUTABLE_FL);
             put(stage_ + "/usr/kestd", "new");
         },
         "cannot write " + t + "/usr/kestd: Operation not permitted", true},
        // A staged entry whose status cannot be read, for another reason than its absence.
        {"mode=0755",
         [&] {
             put(stage_ + "/kestd", "new");
             fail_status_of(stage_ + "/kestd", EIO);
         },
         "cannot read " + stage_ + "/kestd: Input/output error"},
        // Where a link leads: into a read-only mount, a missing folder, nowhere for a directory.
        {"mode=0755",
         [&] {
             put(t + "/ro/keep", "");
             make_read_only(t + "/ro");
             link(t + "/opt/conf", t + "/ro/conf");
             put(stage_ + "/opt/conf", "new");
         },
         "cannot write " + t + "/opt/conf: Read-only file system"},
        {"mode=0755",
         [&] {
             link(t + "/opt/conf", t + "/missing/conf");
             put(stage_ + "/opt/conf", "new");
         },
         "cannot write " + t + "/opt/conf: No such file or directory"},
        {"mode=0755",
         [&] {
             link(t + "/opt/lib", t + "/nowhere");
             put(stage_ + "/opt/lib/kest.so", "new");
         },
         "cannot write " + t + "/opt/lib: File exists"},
        // The updater's own executable, reached through a link, is replaced by a new file beside
        // the one the link leads to: on a file system without a free inode.
        {"mode=0755",
         [&] {
             ASSERT_EQ(mkdir((t + "/real").c_str(), 0755), 0);
             mount_small_tmpfs(t + "/real", "nr_inodes=2,mode=0755");
             put(t + "/real/kestd", "running");
             struct stat running {};
             ASSERT_EQ(stat((t + "/real/kestd").c_str(), &running), 0);
             platform::own_executable = [running] {
                 return platform::file_identity{running.st_dev, running.st_ino};
             };
             link(t + "/kestd", t + "/real/kestd");
             put(stage_ + "/kestd", "new");
         },
         "not enough inodes on " + t + "/real: 1 needed, 0 available"},
        // 256 KiB in 4 KiB blocks and a twentieth: 269 KiB, rounded up.
        {"size=64k,mode=0755",
         [&] { put(stage_ + "/kestd", std::string(std::size_t{256} * 1024, 'x')); },
         "not enough space on " + t + ": 269 KiB needed, 64 KiB available"},
        {"nr_inodes=4,mode=0755",
         [&] {
             for (const char* name : {"/a", "/b", "/c", "/d"}) {
                 put(stage_ + name, "new");
             }
         },
         "not enough inodes on " + t + ": 4 needed, 3 available"},
        {"mode=0755",
         [&] {
             testing::systemd_answer = true;  // so the stop writes its drop-in
             ASSERT_EQ(mkdir((t + "/etc").c_str(), 0755), 0);
             ASSERT_EQ(mkdir((t + "/etc/systemd").c_str(), 0755), 0);
             ASSERT_EQ(mkdir((t + "/etc/systemd/system").c_str(), 0755), 0);
             make_read_only(t);
         },
         "cannot write " + t + "/etc/systemd/system/kest.service.d: Read-only file system"},
        // Must pass: a new file in an append-only directory; a link to nothing yet in a sound
        // folder, written through; an in-place rewrite that takes no more blocks, on a nearly
        // full file system; and an update that fits.
        {"mode=0755",
         [&] {
             ASSERT_EQ(mkdir((t + "/logs").c_str(), 0755), 0);
             set_attribute(t + "/logs", FS_APPEND_FL);
             put(stage_ + "/logs/kestd.log", "new");
         },
         "", true},
        {"mode=0755",
         [&] {
             put(t + "/etc/keep", "");
             link(t + "/opt/conf", t + "/etc/conf");
             put(stage_ + "/opt/conf", "new");
         },
         ""},
        {"size=64k,mode=0755",
         [&] {
             put(t + "/kestd", std::string(kib_60.size(), 'o'));
             put(stage_ + "/kestd", kib_60);
         },
         ""},
        {"size=64k,nr_inodes=8,mode=0755",
         [&] {
             for (const char* name : {"/usr/a", "/usr/b", "/usr/sbin/c", "/d"}) {
                 put(stage_ + name, std::string(std::size_t{8} * 1024, 'f'));
             }
         },
         ""},
    };
    bool skipped = false;
    for (const refusal_case& check : cases) {
        SCOPED_TRACE(check.refusal);
        if (check.needs_root && !testing::real_root()) {
            skipped = true;
            continue;
        }
        testing::journal.clear();
        testing::systemd_answer = false;
        platform::own_executable = platform::real::own_executable;
        platform::status_of = platform::real::status_of;
        mount_small_tmpfs(stage_, "mode=0755");
        mount_small_tmpfs(t, check.target_options);
        check.prepare();
        const testing::tree_snapshot before = testing::snapshot(t);
        platform::stat_extended = platform::real::stat_extended;
        if (check.statx_refused != 0) {
            platform::stat_extended = [refused = check.statx_refused](const char*, int,
                                                                      struct statx*) {
                errno = refused;
                return -1;
            };
        }

        if (check.refusal.empty()) {
            EXPECT_EQ(update(), 0);
            for (const auto& [path, entry] : testing::snapshot(stage_)) {
                if (S_ISREG(entry.mode)) {
                    EXPECT_EQ(read_file(t + path), entry.content) << path;
                }
            }
        } else {
            EXPECT_EQ(update(), 1);
            EXPECT_EQ(testing::journal, (std::vector<std::string>{
                                            "info Started Kest Updater version " EXPECTED_VERSION
                                            " (" EXPECTED_BUILD_NUMBER ")",
                                            "err Refusing the update: " + check.refusal}));
            EXPECT_EQ(testing::snapshot(t), before) << "nothing written";
        }
        while (umount2(t.c_str(), MNT_DETACH) == 0) {
        }
        ASSERT_EQ(umount2(stage_.c_str(), MNT_DETACH), 0);
    }
    if (skipped) {
        GTEST_SKIP() << "file attributes can only be set by root of the machine";
    }
}

// An executable on the target's tmpfs, running until killed.
class running_executable {
  public:
    explicit running_executable(const std::string& path) : path_(path) {
        write_file(path, read_file("/bin/sleep"), 0755);
        pid_ = testing::fork_tied_child();
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

TEST_F(installer_fault_test, busy_executable_is_written_once_its_process_ends) {
    write_file(stage_ + "/kestd", "new agent", 0755);
    running_executable agent(target_ + "/kestd");
    ASSERT_TRUE(agent.started());
    const ino_t inode = testing::inode_of(target_ + "/kestd");
    // The agent ends during the second pause, a second after the first attempt.
    testing::after_pause = [&] {
        if (pauses.size() == 2) {
            agent.stop();
        }
    };

    EXPECT_EQ(update(), 0);
    EXPECT_EQ(pauses.size(), 2u);
    EXPECT_EQ(read_file(target_ + "/kestd"), "new agent");
    EXPECT_EQ(testing::inode_of(target_ + "/kestd"), inode);
    EXPECT_FALSE(std::any_of(logged.begin(), logged.end(), [](const testing::log_line& line) {
        return line.text.rfind("Failed to copy", 0) == 0;
    })) << "an attempt that later succeeds logs no failure";
    EXPECT_EQ(commands, std::vector<std::string>{"service kest start"});
}

TEST_F(installer_fault_test, busy_executable_that_never_ends_is_replaced_after_the_attempts) {
    if (!testing::real_root()) {
        GTEST_SKIP() << "giving the file to another user needs root of the machine";
    }
    // A program that outlived the agent's stop, reached through a link, owned by another user
    // and set-user-ID.
    write_file(stage_ + "/kestd", "new agent", 0755);
    ASSERT_EQ(mkdir((target_ + "/opt").c_str(), 0755), 0);
    const std::string file = target_ + "/opt/kestd";
    running_executable helper(file);
    ASSERT_TRUE(helper.started());
    ASSERT_EQ(symlink("opt/kestd", (target_ + "/kestd").c_str()), 0);
    ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0);
    ASSERT_EQ(chmod(file.c_str(), 04750), 0);
    const ino_t inode = testing::inode_of(file);
    // Two more, which do not wait again.
    ASSERT_EQ(mkdir((target_ + "/bin").c_str(), 0755), 0);
    running_executable first(target_ + "/bin/a");
    running_executable second(target_ + "/bin/b");
    ASSERT_TRUE(first.started() && second.started());
    put(stage_ + "/bin/a", "new a");
    put(stage_ + "/bin/b", "new b");

    EXPECT_EQ(update(), 0);
    EXPECT_EQ(pauses, nine_pauses) << "a dying agent gets the usual attempts in place first, once";
    EXPECT_EQ(read_file(target_ + "/bin/a") + read_file(target_ + "/bin/b"), "new anew b");
    EXPECT_TRUE(contains(info("Replacing busy file " + target_ + "/kestd")));
    EXPECT_EQ(read_file(file), "new agent");
    EXPECT_NE(testing::inode_of(file), inode);
    struct stat status {};
    ASSERT_EQ(lstat((target_ + "/kestd").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode)) << "the link stays a link";
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 1234u);
    EXPECT_EQ(status.st_gid, 5678u);
    EXPECT_EQ(status.st_mode & 07777, 04750u);
    EXPECT_EQ(testing::entry_names(target_ + "/opt"), std::vector<std::string>{"kestd"});
    char running[PATH_MAX] = {};
    const std::string exe = "/proc/" + std::to_string(helper.pid()) + "/exe";
    ASSERT_GT(readlink(exe.c_str(), running, sizeof running - 1), 0) << "it still runs";
    EXPECT_EQ(std::string(running), file + " (deleted)") << "it keeps its old file";
    EXPECT_EQ(commands, std::vector<std::string>{"service kest start"});
}

TEST_F(installer_fault_test, own_executable_is_replaced_at_once_and_never_truncated) {
    write_file(stage_ + "/kest-update", "new updater", 0755);
    const std::string file = target_ + "/kest-update";
    write_file(file, "running updater", 0750);
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    platform::own_executable = [own = platform::file_identity{status.st_dev, status.st_ino}] {
        return own;
    };
    const unique_fd running(open(file.c_str(), O_RDONLY | O_CLOEXEC));

    EXPECT_EQ(update(), 0);
    EXPECT_TRUE(pauses.empty());
    EXPECT_TRUE(contains(info("Replacing busy file " + file)));
    EXPECT_EQ(read_file(file), "new updater");
    EXPECT_EQ(testing::mode_of(file), 0750u);
    char old[32] = {};
    EXPECT_EQ(pread(running.get(), old, sizeof old, 0), 15);
    EXPECT_STREQ(old, "running updater");
    EXPECT_EQ(testing::entry_names(target_), std::vector<std::string>{"kest-update"});
}

TEST_F(installer_fault_test, replacement_that_fills_the_disk_leaves_the_busy_file_alone) {
    mount_small_tmpfs(target_, "size=512k,mode=0755");
    write_file(stage_ + "/kestd", std::string(std::size_t{256} * 1024, 'x'), 0755);
    running_executable helper(target_ + "/kestd");
    ASSERT_TRUE(helper.started());
    testing::tree_snapshot before;
    // Another program takes most of the space once the update has been checked.
    after_the_checks([&] {
        write_file(target_ + "/other", std::string(std::size_t{384} * 1024, 'o'));
        before = testing::snapshot(target_);
    });

    expect_failed_run(update(), "Cannot write " + target_ + "/kestd: No space left on device",
                      stage_ + "/kestd", -3);
    EXPECT_TRUE(contains(info("Replacing busy file " + target_ + "/kestd")));
    EXPECT_TRUE(testing::snapshot(target_) == before) << "nothing changed, nothing left beside";
}

TEST_F(installer_fault_test, entries_removed_while_listed_are_skipped) {
    std::vector<std::string> vanishing_dirs;
    for (int i = 0; i < 20; ++i) {
        const std::string dir = stage_ + "/dir" + std::to_string(i);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        write_file(dir + "/file", "f");
        vanishing_dirs.push_back(dir);
    }
    // When the walk enters the first of these directories, the others go: their names are
    // already read from the listing, but they are no longer there.
    const std::string prefix = "Copy to directory " + stage_ + "/dir";
    bool vanished = false;
    testing::after_log = [&](const testing::log_line& line) {
        if (vanished || line.text.rfind(prefix, 0) != 0) {
            return;
        }
        vanished = true;
        const std::string entered = line.text.substr(std::string("Copy to directory ").size());
        for (const std::string& dir : vanishing_dirs) {
            if (dir != entered) {
                (void)unlink((dir + "/file").c_str());
                (void)rmdir(dir.c_str());
            }
        }
    };

    EXPECT_EQ(update(), 0);
    int mirrored = 0;
    for (const std::string& dir : vanishing_dirs) {
        mirrored += testing::exists(target_ + dir.substr(stage_.size()) + "/file") ? 1 : 0;
    }
    EXPECT_EQ(mirrored, 1) << "only the directory entered first was still there";
    EXPECT_EQ(logged.back(), info("Start the daemon via 'service' command"));
}

TEST_F(installer_fault_test, tree_that_grows_while_walked_is_followed_to_its_end) {
    // Adds a level below each directory as the walk enters it, until paths reach the limit.
    int levels_added = 0;
    const std::string prefix = "Copy to directory " + stage_;
    testing::after_log = [&](const testing::log_line& line) {
        if (line.text.rfind(prefix, 0) == 0) {
            const std::string below = line.text.substr(std::string("Copy to directory ").size());
            levels_added += mkdir((below + "/more").c_str(), 0755) == 0 ? 1 : 0;
        }
    };
    EXPECT_EQ(update(), 0);
    EXPECT_GT(levels_added, 500) << "the tree grew until its paths reached the limit";
    const auto created = std::count_if(logged.begin(), logged.end(), [](const auto& line) {
        return line.text.rfind("Create directory ", 0) == 0;
    });
    EXPECT_EQ(created, levels_added) << "every level that appeared was mirrored";
}

// Builds `levels` nested directories named `name` below `top` and a file "bottom" in the last;
// works with descriptors, so that the paths may be longer than the system allows.
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

TEST_F(installer_fault_test, links_that_branch_are_refused_and_a_lib_link_is_installed) {
    // d0 to d30, each holding two links to the next: walked in full, 2^31 directories.
    for (int i = 0; i <= 30; ++i) {
        ASSERT_EQ(mkdir((stage_ + "/d" + std::to_string(i)).c_str(), 0755), 0);
    }
    for (int i = 0; i < 30; ++i) {
        const std::string next = "../d" + std::to_string(i + 1);
        for (const char* name : {"/a", "/b"}) {
            ASSERT_EQ(symlink(next.c_str(), (stage_ + "/d" + std::to_string(i) + name).c_str()), 0);
        }
    }
    EXPECT_EQ(update(), 1);
    EXPECT_TRUE(commands.empty());
    const std::string& refusal = logged.back().text;
    EXPECT_EQ(
        refusal.rfind("Refusing the update: the staged tree is too large: " + stage_ + "/d", 0), 0u)
        << refusal;

    // A real agent's tree: a link to a directory that is also reached directly.
    for (int i = 0; i <= 30; ++i) {
        std::filesystem::remove_all(stage_ + "/d" + std::to_string(i));
    }
    put(stage_ + "/usr/lib/kest/agent.so", "lib");
    ASSERT_EQ(symlink("lib", (stage_ + "/usr/lib64").c_str()), 0);
    EXPECT_EQ(update(), 0);
    EXPECT_EQ(read_file(target_ + "/usr/lib64/kest/agent.so"), "lib");
}

TEST_F(installer_fault_test, deep_tree_is_mirrored_whole) {
    build_deep_tree(stage_, "d", 400);
    EXPECT_EQ(update(), 0);
    std::string bottom = target_;
    for (int i = 0; i < 400; ++i) {
        bottom += "/d";
    }
    EXPECT_EQ(read_file(bottom + "/bottom"), "deep");
}

TEST_F(installer_fault_test, each_file_system_written_is_flushed_once_out_of_commands_reach) {
    for (const char* folder : {"/a", "/b"}) {
        ASSERT_EQ(mkdir((target_ + folder).c_str(), 0755), 0);
        mount_small_tmpfs(target_ + folder, "mode=0755");
        put(stage_ + folder + "/kestd", "new");
        put(stage_ + folder + "/kestd.conf", "new");
    }
    // The restart's command lists its descriptors while the run holds the written file systems.
    const std::string listing = root_ / "descriptors";
    platform::shell = [listing](const char*) {
        return platform::real::shell(("ls -l /proc/$$/fd >" + listing).c_str());
    };
    EXPECT_EQ(update(), 0);
    EXPECT_EQ(std::count(testing::journal.begin(), testing::journal.end(), "flush"), 2);
    const std::string seen = read_file(listing);
    EXPECT_NE(seen.find(" -> "), std::string::npos) << "the command listed its descriptors";
    EXPECT_EQ(seen.find(" -> " + target_), std::string::npos) << seen;
}

TEST_F(installer_fault_test, entry_that_fails_after_the_checks_fails_the_run) {
    struct failure_case {
        std::function<void()> prepare;  // the staged tree and the target
        std::function<void()> fault;    // once the checks before detaching have passed
        std::string cause;              // the line that says why
        std::string failed;             // the staged entry given up
        int code;
        std::function<void()> check = [] {};  // what else holds afterwards
        bool retried = true;                  // attempted 10 times, 0.5 s apart
    };
    const std::string& s = stage_;
    const std::string& t = target_;
    const std::string name(200, 'p');
    std::string too_long = s;  // the first staged path beyond the system's limit
    while (too_long.size() < PATH_MAX) {
        too_long += "/" + name;
    }
    const std::vector<failure_case> cases{
        {[&] { write_file(s + "/kestd", std::string(std::size_t{256} * 1024, 'x'), 0755); },
         [&] { mount_small_tmpfs(t, "size=64k,mode=0755"); },
         "Cannot write " + t + "/kestd: No space left on device", s + "/kestd", -3,
         [] { EXPECT_EQ(testing::journal.back(), "flush") << "what was written is flushed"; }},
        {[&] {
             put(t + "/usr/kestd", "old agent");
             put(s + "/usr/kestd", "new agent");
         },
         [&] { make_read_only(t); }, "Cannot write " + t + "/usr/kestd: Read-only file system",
         s + "/usr/kestd", -2, [&] { EXPECT_EQ(read_file(t + "/usr/kestd"), "old agent"); }},
        {[&] { put(s + "/etc/kest.conf", "x"); }, [&] { make_read_only(t); },
         "Cannot write " + t + "/etc: Read-only file system", s + "/etc", -100},
        {[&] {
             put(s + "/usr/kestd", "new agent");
             ASSERT_EQ(mkdir((t + "/usr").c_str(), 0755), 0);
         },
         [&] { ASSERT_EQ(mkdir((t + "/usr/kestd").c_str(), 0755), 0); },
         "Cannot write " + t + "/usr/kestd: Is a directory", s + "/usr/kestd", -2},
        {[&] { put(s + "/usr/kestd", "new agent"); },
         [&] { ASSERT_EQ(symlink("usr", (t + "/usr").c_str()), 0); },
         "Cannot write " + t + "/usr: Too many levels of symbolic links", s + "/usr", -101},
        {[&] { put(s + "/usr/kestd", "new agent"); },
         [&] { write_file(t + "/usr", "a file where the tree has a directory"); },
         "Cannot write " + t + "/usr: Not a directory", s + "/usr", -102,
         [&] { EXPECT_EQ(read_file(t + "/usr"), "a file where the tree has a directory"); }},
        // As root, permission bits do not stop reads; /proc/self/mem is a regular file by its
        // status that opens but fails its first read with EIO. Bound in place rather than
        // linked: in a user namespace the route to /proc belongs to no user that the check
        // trusts.
        {[&] {
             write_file(s + "/kestd", "");
             ASSERT_EQ(mount("/proc/self/mem", (s + "/kestd").c_str(), nullptr, MS_BIND, nullptr),
                       0);
         },
         [] {}, "Cannot read " + s + "/kestd: Input/output error", s + "/kestd", -3},
        {[&] { write_file(s + "/kestd", "new agent", 0755); },
         [&] { fail_status_of(s + "/kestd", EIO); },
         "Cannot read " + s + "/kestd: Input/output error", s + "/kestd", -1, [] {}, false},
        // Fails the first attempt; a FIFO in the staged file's place must not hang the next.
        {[&] {
             write_file(s + "/kestd", "new agent", 0755);
             testing::after_pause = [&] {
                 if (pauses.size() == 1) {
                     (void)unlink((s + "/kestd").c_str());
                     (void)mkfifo((s + "/kestd").c_str(), 0644);
                 }
             };
         },
         [&] { ASSERT_EQ(mkdir((t + "/kestd").c_str(), 0755), 0); },
         "Cannot read " + s + "/kestd: Invalid argument", s + "/kestd", -1},
        // Staged paths grow beyond the limit: the walk stops at once, with its own code.
        {[] {}, [&] { build_deep_tree(s, name, PATH_MAX / 200 + 2); },
         "Cannot read " + too_long + ": File name too long", too_long, -1, [] {}, false},
    };
    for (const failure_case& test : cases) {
        SCOPED_TRACE(test.cause);
        testing::journal.clear();
        logged.clear();
        pauses.clear();
        testing::after_pause = nullptr;
        platform::status_of = platform::real::status_of;
        mount_small_tmpfs(s, "mode=0755");
        mount_small_tmpfs(t, "mode=0755");
        test.prepare();
        after_the_checks(test.fault);

        expect_failed_run(update(), test.cause, test.failed, test.code);
        EXPECT_EQ(pauses, test.retried ? nine_pauses : std::vector<std::chrono::milliseconds>{});
        test.check();
        while (umount2(t.c_str(), MNT_DETACH) == 0) {
        }
        ASSERT_EQ(umount2(s.c_str(), MNT_DETACH), 0);
    }
}

// The start-up line and "Refusing the update: cannot read PATH: error", PATH beginning with
// `beginning`: a tree that cannot be read whole is not installed, and nothing is stopped.
void expect_unreadable_refused(int result, const std::string& beginning, const char* error) {
    EXPECT_EQ(result, 1);
    ASSERT_EQ(logged.size(), 2u);
    const std::string& refusal = logged.back().text;
    EXPECT_EQ(refusal.rfind("Refusing the update: cannot read " + beginning, 0), 0u) << refusal;
    EXPECT_EQ(refusal.substr(refusal.rfind(": ") + 2), error);
}

TEST_F(installer_fault_test, deep_tree_beyond_the_descriptor_limit_fails_the_run) {
    // One directory handle is open per level: with few descriptors left, a deep tree cannot be
    // read to its bottom, and that must not pass for a complete installation.
    build_deep_tree(stage_, "d", 120);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const int result = update();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

    expect_unreadable_refused(result, stage_ + "/d/d/", "Too many open files");
}

TEST_F(installer_fault_test, names_of_the_longest_length_are_mirrored) {
    const std::string longest(NAME_MAX, 'n');
    ASSERT_EQ(mkdir((stage_ + "/" + longest).c_str(), 0755), 0);
    write_file(stage_ + "/" + longest + "/" + longest, "long");
    EXPECT_EQ(update(), 0);
    EXPECT_EQ(read_file(target_ + "/" + longest + "/" + longest), "long");
    EXPECT_TRUE(contains(info("Create directory " + stage_ + "/" + longest)));
}

TEST_F(installer_fault_test, paths_beyond_the_system_limit_fail_the_run) {
    const std::string name(200, 'p');
    build_deep_tree(stage_, name, PATH_MAX / 200 + 2);
    expect_unreadable_refused(update(), stage_ + "/" + name, "File name too long");
    EXPECT_GT(logged.back().text.size(), static_cast<std::size_t>(PATH_MAX))
        << "the whole path is named";
}

TEST_F(installer_fault_test, destination_paths_beyond_the_limit_are_refused_before_the_stop) {
    // Staged paths within the limit, destination paths beyond it (a longer prefix).
    const std::string name(200, 'q');
    const int levels = static_cast<int>((PATH_MAX - stage_.size()) / 201) - 1;
    build_deep_tree(stage_, name, levels);
    std::string long_target = target_;
    const std::string pad(255, 't');
    for (int i = 0; i < 3; ++i) {
        long_target += "/" + pad;
        ASSERT_EQ(mkdir(long_target.c_str(), 0755), 0);
    }
    const char* argv[] = {"kest-update", "start", "0"};
    const int result = run_update(
        3, argv, {stage_, long_target, "-", root_.path(), root_ / "lock", root_ / "kest.service"});
    // The first destination directory beyond the limit cannot be made.
    EXPECT_EQ(result, 1);
    const std::string& refusal = logged.back().text;
    EXPECT_EQ(refusal.rfind("Refusing the update: cannot write " + long_target + "/" + name, 0), 0u)
        << refusal;
    EXPECT_EQ(refusal.substr(refusal.rfind(": ")), ": File name too long");
    EXPECT_TRUE(testing::commands.empty());
}

}  // namespace
}  // namespace kest
