// Faults of the file system under a whole update run, after the checks have passed: what the walk
// does, what it logs and what the run reports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/platform.h"
#include "support/test_support.h"
#include "support/update_fixture.h"

namespace kest {
namespace {

using testing::commands;
using testing::contains;
using testing::err;
using testing::info;
using testing::logged;
using testing::nine_pauses;
using testing::pauses;
using testing::put;
using testing::read_file;
using testing::write_file;
using namespace std::chrono_literals;

using testing::build_deep_tree;
using testing::fail_status_of;

class installer_fault_test : public testing::tmpfs_update_test {};

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
    platform::seams.shell = [listing](const char*) {
        return platform::real::shell(("ls -l /proc/$$/fd >" + listing).c_str());
    };
    EXPECT_EQ(update(), 0);
    // Each written once, and the undo record's before the stop.
    EXPECT_EQ(std::count(testing::journal.begin(), testing::journal.end(), "flush"), 3);
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
         [] {
             const auto failed = std::find(testing::journal.begin(), testing::journal.end(),
                                           "err Error while copying update -3");
             EXPECT_NE(std::find(failed, testing::journal.end(), "flush"), testing::journal.end())
                 << "what was written and restored is flushed";
         }},
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
        commands.clear();
        testing::after_pause = nullptr;
        platform::seams.status_of = platform::real::status_of;
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

TEST_F(installer_fault_test, names_of_the_longest_length_are_mirrored) {
    const std::string longest(NAME_MAX, 'n');
    ASSERT_EQ(mkdir((stage_ + "/" + longest).c_str(), 0755), 0);
    write_file(stage_ + "/" + longest + "/" + longest, "long");
    EXPECT_EQ(update(), 0);
    EXPECT_EQ(read_file(target_ + "/" + longest + "/" + longest), "long");
    EXPECT_TRUE(contains(info("Create directory " + stage_ + "/" + longest)));
}

}  // namespace
}  // namespace kest
