// What the checks before detaching refuse, with the agent left running: what cannot be installed,
// a tree that cannot be read whole or walked within bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/platform.h"
#include "base/unique_fd.h"
#include "guard/update_lock.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"
#include "support/update_fixture.h"

namespace kest {
namespace {

using testing::commands;
using testing::err;
using testing::logged;
using testing::put;
using testing::read_file;

using testing::build_deep_tree;
using testing::expect_unreadable_refused;
using testing::fail_status_of;
using testing::link;
using testing::set_attribute;

class update_refusal_test : public testing::tmpfs_update_test {};

TEST_F(update_refusal_test, what_cannot_be_installed_is_refused_before_anything_stops) {
    const std::string& t = target_;
    const std::string state = root_ / "state";
    const std::string kib_60(std::size_t{60} * 1024, 'n');
    const std::string nothing = R"("rewrite":0,"create_files":0,"create_folders":0,"bytes":0})";
    struct refusal_case {
        std::function<void()> prepare;  // the staged tree and the target
        std::string refusal;            // empty for an update that must go through
        std::string counts;             // the end of --check's answer
        const char* target_options = "mode=0755";
        bool needs_root = false;  // only root of the machine may set file attributes
        int statx_refused = 0;    // ENOSYS as on kernels before statx, EPERM by a filter
    };
    const std::vector<refusal_case> cases{
        {[&] {
             put(stage_ + "/usr/kestd", "new");
             put(t + "/usr", "a file where a directory is staged");
         },
         "cannot write " + t + "/usr: Not a directory", nothing},
        {[&] {
             put(stage_ + "/kestd", "new");
             ASSERT_EQ(mkdir((t + "/kestd").c_str(), 0755), 0);
         },
         "cannot write " + t + "/kestd: Is a directory", nothing},
        {[&] {
             put(stage_ + "/kestd", "new");
             ASSERT_EQ(mkfifo((t + "/kestd").c_str(), 0644), 0);
         },
         "cannot write " + t + "/kestd: Invalid argument", nothing},
        {[&] {
             put(stage_ + "/kestd", "new");
             put(t + "/kestd", "old");
             make_read_only(t);
         },
         "cannot write " + t + "/kestd: Read-only file system", nothing},
        {[&] {
             put(stage_ + "/etc/kest.conf", "new");
             make_read_only(t);
         },
         "cannot write " + t + "/etc: Read-only file system", nothing},
        {[&] {
             put(t + "/kestd", "old");
             set_attribute(t + "/kestd", FS_IMMUTABLE_FL);
             put(stage_ + "/kestd", "new");
         },
         "cannot write " + t + "/kestd: Operation not permitted", nothing, "mode=0755", true},
        {[&] {
             put(t + "/kestd", "old");
             set_attribute(t + "/kestd", FS_IMMUTABLE_FL);
             put(stage_ + "/kestd", "new");
         },
         "cannot write " + t + "/kestd: Operation not permitted", nothing, "mode=0755", true,
         ENOSYS},
        {[&] {
             put(t + "/kestd", "old");
             put(stage_ + "/kestd", "new");
             make_read_only(t);
         },
         "cannot write " + t + "/kestd: Read-only file system", nothing, "mode=0755", false, EPERM},
        {[&] {
             put(t + "/kestd.log", "old");
             set_attribute(t + "/kestd.log", FS_APPEND_FL);
             put(stage_ + "/kestd.log", "new");
         },
         "cannot write " + t + "/kestd.log: Operation not permitted", nothing, "mode=0755", true},
        {[&] {
             ASSERT_EQ(mkdir((t + "/usr").c_str(), 0755), 0);
             set_attribute(t + "/usr", FS_IMMUTABLE_FL);
             put(stage_ + "/usr/kestd", "new");
         },
         "cannot write " + t + "/usr/kestd: Operation not permitted", nothing, "mode=0755", true},
        // A staged entry whose status cannot be read, for another reason than its absence.
        {[&] {
             put(stage_ + "/kestd", "new");
             fail_status_of(stage_ + "/kestd", EIO);
         },
         "cannot read " + stage_ + "/kestd: Input/output error", nothing},
        // Where a link leads: into a read-only mount, a missing folder, nowhere for a directory.
        {[&] {
             put(t + "/ro/keep", "");
             make_read_only(t + "/ro");
             link(t + "/opt/conf", t + "/ro/conf");
             put(stage_ + "/opt/conf", "new");
         },
         "cannot write " + t + "/opt/conf: Read-only file system", nothing},
        {[&] {
             link(t + "/opt/conf", t + "/missing/conf");
             put(stage_ + "/opt/conf", "new");
         },
         "cannot write " + t + "/opt/conf: No such file or directory", nothing},
        {[&] {
             link(t + "/opt/lib", t + "/nowhere");
             put(stage_ + "/opt/lib/kest.so", "new");
         },
         "cannot write " + t + "/opt/lib: File exists", nothing},
        // The updater's own executable, reached through a link, is replaced by a new file beside
        // the one the link leads to: on a file system without a free inode.
        {[&] {
             ASSERT_EQ(mkdir((t + "/real").c_str(), 0755), 0);
             mount_small_tmpfs(t + "/real", "nr_inodes=2,mode=0755");
             put(t + "/real/kestd", "running");
             struct stat running {};
             ASSERT_EQ(stat((t + "/real/kestd").c_str(), &running), 0);
             platform::seams.own_executable = [running] {
                 return platform::file_identity{running.st_dev, running.st_ino};
             };
             link(t + "/kestd", t + "/real/kestd");
             put(stage_ + "/kestd", "new");
         },
         "not enough inodes on " + t + "/real: 1 needed, 0 available",
         R"("rewrite":1,"create_files":0,"create_folders":0,"bytes":3})"},
        // The undo record's folder: open to others, on a read-only file system, or on one
        // without room for a copy of the 256 KiB file rewritten, a block for it and one for the
        // journal, and a twentieth: 278 KiB, rounded up.
        {[&] {
             ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
             ASSERT_EQ(mkdir((state + "/undo").c_str(), 0755), 0);
             put(stage_ + "/kestd", "new");
         },
         "other users can change " + state + "/undo",
         R"("rewrite":0,"create_files":1,"create_folders":0,"bytes":3})"},
        {[&] {
             ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
             make_read_only(state);
             put(stage_ + "/kestd", "new");
         },
         "cannot write " + state + "/undo: Read-only file system",
         R"("rewrite":0,"create_files":1,"create_folders":0,"bytes":3})"},
        {[&] {
             ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
             mount_small_tmpfs(state, "size=64k,mode=0755");
             put(t + "/kestd", std::string(std::size_t{256} * 1024, 'o'));
             put(stage_ + "/kestd", std::string(std::size_t{256} * 1024, 'x'));
         },
         "not enough space on " + state + ": 278 KiB needed, 64 KiB available",
         R"("rewrite":1,"create_files":0,"create_folders":0,"bytes":262144})"},
        // Its inodes: the copy, the journal and the folder itself.
        {[&] {
             ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
             mount_small_tmpfs(state, "nr_inodes=3,mode=0755");
             put(t + "/kestd", "old");
             put(stage_ + "/kestd", "new");
         },
         "not enough inodes on " + state + ": 3 needed, 2 available",
         R"("rewrite":1,"create_files":0,"create_folders":0,"bytes":3})"},
        // 256 KiB in 4 KiB blocks and a twentieth: 269 KiB, rounded up.
        {[&] { put(stage_ + "/kestd", std::string(std::size_t{256} * 1024, 'x')); },
         "not enough space on " + t + ": 269 KiB needed, 64 KiB available",
         R"("rewrite":0,"create_files":1,"create_folders":0,"bytes":262144})",
         "size=64k,mode=0755"},
        {[&] {
             for (const char* name : {"/a", "/b", "/c", "/d"}) {
                 put(stage_ + name, "new");
             }
         },
         "not enough inodes on " + t + ": 4 needed, 3 available",
         R"("rewrite":0,"create_files":4,"create_folders":0,"bytes":12})", "nr_inodes=4,mode=0755"},
        {[&] {
             testing::systemd_answer = true;  // so the stop writes its drop-in
             ASSERT_EQ(mkdir((t + "/etc").c_str(), 0755), 0);
             ASSERT_EQ(mkdir((t + "/etc/systemd").c_str(), 0755), 0);
             ASSERT_EQ(mkdir((t + "/etc/systemd/system").c_str(), 0755), 0);
             make_read_only(t);
         },
         "cannot write " + t + "/etc/systemd/system/kest.service.d: Read-only file system",
         nothing},
        // Must pass: a new file in an append-only directory; a link to nothing yet in a sound
        // folder, written through; an in-place rewrite that takes no more blocks, on a nearly
        // full file system; and an update that fits.
        {[&] {
             ASSERT_EQ(mkdir((t + "/logs").c_str(), 0755), 0);
             set_attribute(t + "/logs", FS_APPEND_FL);
             put(stage_ + "/logs/kestd.log", "new");
         },
         "", R"("rewrite":0,"create_files":1,"create_folders":0,"bytes":3})", "mode=0755", true},
        {[&] {
             put(t + "/etc/keep", "");
             link(t + "/opt/conf", t + "/etc/conf");
             put(stage_ + "/opt/conf", "new");
         },
         "", R"("rewrite":0,"create_files":1,"create_folders":0,"bytes":3})"},
        {[&] {
             put(t + "/kestd", std::string(kib_60.size(), 'o'));
             put(stage_ + "/kestd", kib_60);
         },
         "", R"("rewrite":1,"create_files":0,"create_folders":0,"bytes":61440})",
         "size=64k,mode=0755"},
        {[&] {
             put(t + "/d", "old");
             put(t + "/e", "old");
             for (const char* name : {"/usr/a", "/usr/b", "/usr/sbin/c", "/d", "/e"}) {
                 put(stage_ + name, std::string(std::size_t{8} * 1024, 'f'));
             }
         },
         "", R"("rewrite":2,"create_files":3,"create_folders":2,"bytes":40960})",
         "size=64k,nr_inodes=10,mode=0755"},
    };
    // As a run leaves it (a check makes it too, when it is missing).
    testing::write_file(root_ / "lock", "", 0600);
    bool skipped = false;
    for (const refusal_case& check : cases) {
        SCOPED_TRACE(check.refusal);
        if (check.needs_root && !testing::real_root()) {
            skipped = true;
            continue;
        }
        testing::journal.clear();
        testing::systemd_answer = false;
        platform::seams.own_executable = platform::real::own_executable;
        platform::seams.status_of = platform::real::status_of;
        mount_small_tmpfs(stage_, "mode=0755");
        mount_small_tmpfs(t, check.target_options);
        check.prepare();
        const testing::tree_snapshot before = testing::snapshot(t);
        platform::seams.stat_extended = platform::real::stat_extended;
        if (check.statx_refused != 0) {
            platform::seams.stat_extended = [refused = check.statx_refused](const char*, int,
                                                                            struct statx*) {
                errno = refused;
                return -1;
            };
        }

        // --check first: the run's answer, with nothing written, logged, run or detached.
        const testing::tree_snapshot whole = testing::snapshot(root_.path());
        const std::string answer =
            check.refusal.empty() ? R"({"outcome":"ready","message":"",)" + check.counts
                                  : R"({"outcome":"refused","message":"Refusing the update: )" +
                                        check.refusal + "\"," + check.counts;
        EXPECT_EQ(testing::check(paths()), std::pair(check.refusal.empty() ? 0 : 1, answer + "\n"));
        EXPECT_EQ(testing::journal, std::vector<std::string>{}) << "nothing logged";
        EXPECT_EQ(testing::snapshot(root_.path()), whole) << "nothing written";

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
        while (umount2(state.c_str(), MNT_DETACH) == 0) {
        }
        std::filesystem::remove_all(state);
    }
    if (skipped) {
        GTEST_SKIP() << "file attributes can only be set by root of the machine";
    }
}

TEST_F(update_refusal_test, check_refuses_before_the_walk_as_a_run_would) {
    update_paths missing = paths();
    missing.staging_root = root_ / "missing";
    update_paths open_to_others = paths();
    open_to_others.staging_root = root_ / "st\"age\n";  // named as the log names it
    ASSERT_EQ(mkdir(open_to_others.staging_root.c_str(), 0777), 0);
    unique_fd held;
    ASSERT_EQ(take_update_lock(root_ / "lock", held), 0);
    const auto refused = [](const std::string& message) {
        return std::pair(1, R"({"outcome":"refused","message":")" + message +
                                R"(","rewrite":0,"create_files":0,"create_folders":0,"bytes":0})"
                                "\n");
    };
    EXPECT_EQ(testing::check(paths()), refused("Another update is running"));
    EXPECT_EQ(testing::check(missing), refused("Failed to change the current update directory"));
    EXPECT_EQ(testing::check(open_to_others),
              refused("Refusing the update directory " + root_.path() +
                      R"(/st\"age\\012: other users can change it)"));
    EXPECT_EQ(testing::journal, std::vector<std::string>{}) << "nothing logged";
}

TEST_F(update_refusal_test, links_that_branch_are_refused_and_a_lib_link_is_installed) {
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

TEST_F(update_refusal_test, deep_tree_beyond_the_descriptor_limit_fails_the_run) {
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

TEST_F(update_refusal_test, paths_beyond_the_system_limit_fail_the_run) {
    const std::string name(200, 'p');
    build_deep_tree(stage_, name, PATH_MAX / 200 + 2);
    expect_unreadable_refused(update(), stage_ + "/" + name, "File name too long");
    EXPECT_GT(logged.back().text.size(), static_cast<std::size_t>(PATH_MAX))
        << "the whole path is named";
}

TEST_F(update_refusal_test, destination_paths_beyond_the_limit_are_refused_before_the_stop) {
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
    const int result =
        run_update(3, argv,
                   {stage_, long_target, "-", root_.path(), root_ / "lock", root_ / "kest.service",
                    root_ / "state/undo", root_ / "result.json"});
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
