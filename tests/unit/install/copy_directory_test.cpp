#include "install/copy_directory.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "base/constants.h"
#include "support/test_support.h"

namespace kest {
namespace {

using testing::err;
using testing::exists;
using testing::info;
using testing::inode_of;
using testing::logged;
using testing::mode_of;
using testing::pauses;
using testing::read_file;
using testing::scratch_dir;
using testing::write_file;
using namespace std::chrono_literals;

class copy_directory_test : public testing::seam_test {
  protected:
    void SetUp() override {
        seam_test::SetUp();
        stage_ = root_ / "stage";
        target_ = root_ / "target";
        mkdir(stage_.c_str(), 0755);
        mkdir(target_.c_str(), 0755);
    }
    void TearDown() override { seam_test::TearDown(); }
    void stage_dir(const std::string& relative) {
        ASSERT_EQ(mkdir((stage_ + "/" + relative).c_str(), 0755), 0) << relative;
    }
    void stage_file(const std::string& relative, const std::string& content, mode_t mode = 0644) {
        write_file(stage_ + "/" + relative, content, mode);
    }
    // Onto the target, the staged unit folder skipped unless `systemd` runs the host.
    int install(bool systemd = true) {
        return copy_directory(stage_, target_, systemd ? "" : stage_ + "/etc/systemd/system");
    }

    scratch_dir root_;
    std::string stage_;
    std::string target_;

  private:
    testing::cleared_creation_mask mask_;  // as in the detached updater
};

TEST_F(copy_directory_test, mirrors_the_tree_and_logs_each_directory_with_its_staged_path) {
    for (const char* dir : {"usr", "usr/sbin", "etc", "etc/systemd", "etc/systemd/system"}) {
        stage_dir(dir);
    }
    stage_file("usr/sbin/kestd", "agent v2", 0755);
    stage_file("etc/systemd/system/kest.service", "[Service]\n");
    mkdir((target_ + "/usr").c_str(), 0755);

    EXPECT_EQ(install(), 0);
    EXPECT_EQ(read_file(target_ + "/usr/sbin/kestd"), "agent v2");
    EXPECT_EQ(read_file(target_ + "/etc/systemd/system/kest.service"), "[Service]\n");
    EXPECT_EQ(mode_of(target_ + "/usr"), 0755u) << "an existing directory keeps its mode";
    EXPECT_EQ(mode_of(target_ + "/usr/sbin"), 0770u);
    EXPECT_EQ(mode_of(target_ + "/usr/sbin/kestd"), 0755u);

    // Entries come in directory order, so compare the lines as a set of expectations.
    const std::vector<testing::log_line> expected_somewhere = {
        info("Copy to directory " + stage_),
        info("Copy to directory " + stage_ + "/usr"),
        info("Copy to directory " + stage_ + "/usr/sbin"),
        info("Create directory " + stage_ + "/usr/sbin"),
        info("Copy to directory " + stage_ + "/etc"),
        info("Create directory " + stage_ + "/etc"),
        info("Copy to directory " + stage_ + "/etc/systemd"),
        info("Create directory " + stage_ + "/etc/systemd"),
        info("Copy to directory " + stage_ + "/etc/systemd/system"),
        info("Create directory " + stage_ + "/etc/systemd/system"),
    };
    EXPECT_EQ(logged.size(), expected_somewhere.size());
    for (const auto& line : expected_somewhere) {
        EXPECT_EQ(std::count(logged.begin(), logged.end(), line), 1) << line;
    }
    EXPECT_EQ(logged.front(), info("Copy to directory " + stage_));
}

TEST_F(copy_directory_test, unit_folder_is_skipped_without_systemd) {
    for (const char* dir : {"etc", "etc/systemd", "etc/systemd/system"}) {
        stage_dir(dir);
    }
    stage_file("etc/systemd/system/kest.service", "[Service]\n");
    stage_file("etc/systemd/other", "kept");

    EXPECT_EQ(install(false), 0);
    EXPECT_FALSE(exists(target_ + "/etc/systemd/system"));
    EXPECT_EQ(read_file(target_ + "/etc/systemd/other"), "kept");
    const std::string folder = stage_ + "/etc/systemd/system";
    EXPECT_EQ(logged.back(), info("Systemd not installed. Skiping the " + folder + " folder"));
    EXPECT_EQ(logged[logged.size() - 2], info("Copy to directory " + folder));
}

TEST_F(copy_directory_test, nothing_at_the_destination_is_deleted) {
    stage_file("new", "n");
    write_file(target_ + "/unrelated", "stays");
    EXPECT_EQ(install(), 0);
    EXPECT_EQ(read_file(target_ + "/unrelated"), "stays");
    EXPECT_EQ(read_file(target_ + "/new"), "n");
}

TEST_F(copy_directory_test, empty_staging_root_logs_one_line) {
    EXPECT_EQ(install(), 0);
    EXPECT_EQ(logged, std::vector{info("Copy to directory " + stage_)});
}

TEST_F(copy_directory_test, dot_names_are_ordinary_names_and_links_are_followed) {
    stage_file(".hidden", "h");
    stage_file("..twodots", "t");
    stage_dir("real");
    stage_file("real/file", "r");
    ASSERT_EQ(symlink("real", (stage_ + "/linked_dir").c_str()), 0);
    ASSERT_EQ(symlink("real/file", (stage_ + "/linked_file").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (stage_ + "/dangling").c_str()), 0);
    mkfifo((stage_ + "/fifo").c_str(), 0644);

    EXPECT_EQ(install(), 0);
    EXPECT_EQ(read_file(target_ + "/.hidden"), "h");
    EXPECT_EQ(read_file(target_ + "/..twodots"), "t");
    EXPECT_EQ(read_file(target_ + "/linked_dir/file"), "r");
    struct stat status {};
    ASSERT_EQ(lstat((target_ + "/linked_file").c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode)) << "a staged link arrives as a regular file";
    EXPECT_FALSE(exists(target_ + "/dangling"));
    EXPECT_FALSE(exists(target_ + "/fifo"));
}

TEST_F(copy_directory_test, directory_loops_are_skipped_with_an_err_line) {
    stage_dir("a");
    stage_file("a/file", "f");
    ASSERT_EQ(symlink("..", (stage_ + "/a/up").c_str()), 0);
    ASSERT_EQ(symlink(".", (stage_ + "/a/self").c_str()), 0);

    EXPECT_EQ(install(), 0);
    EXPECT_EQ(read_file(target_ + "/a/file"), "f");
    EXPECT_FALSE(exists(target_ + "/a/up"));
    EXPECT_FALSE(exists(target_ + "/a/self"));
    EXPECT_EQ(std::count(logged.begin(), logged.end(),
                         err("Skipping directory loop " + stage_ + "/a/up")),
              1);
    EXPECT_EQ(std::count(logged.begin(), logged.end(),
                         err("Skipping directory loop " + stage_ + "/a/self")),
              1);
}

TEST_F(copy_directory_test, staged_link_to_the_destination_itself_destroys_nothing) {
    // Staging "usr" as a link to the live directory walks the destination as its own source.
    mkdir((target_ + "/usr").c_str(), 0755);
    write_file(target_ + "/usr/tool", "precious", 0755);
    ASSERT_EQ(symlink((target_ + "/usr").c_str(), (stage_ + "/usr").c_str()), 0);

    EXPECT_EQ(install(), 0);
    EXPECT_EQ(read_file(target_ + "/usr/tool"), "precious");
}

TEST_F(copy_directory_test, entry_that_keeps_failing_is_given_up_after_ten_attempts) {
    struct failure_case {
        std::function<void()> prepare;
        std::string source;
        std::string destination;
        int code;
        std::string cause;   // the destination that cannot be written, and why
        std::string failed;  // the staged entry given up, and its code
    };
    const std::string& t = target_;
    const std::vector<failure_case> cases{
        {[&] {
             stage_dir("usr");
             stage_file("usr/kestd", "x");
             write_file(t + "/usr", "a file, not a directory");
         },
         stage_, t, -102, t + "/usr: Not a directory", stage_ + "/usr: error -102"},
        // Given up deep down, not attempted again at the levels above.
        {[&] {
             for (const char* dir : {"a", "a/b", "a/b/c"}) {
                 stage_dir(dir);
             }
             stage_file("a/b/c/file", "x");
             ASSERT_EQ(mkdir((t + "/a").c_str(), 0755), 0);
             ASSERT_EQ(mkdir((t + "/a/b").c_str(), 0755), 0);
             write_file(t + "/a/b/c", "blocks the directory");
         },
         stage_, t, -102, t + "/a/b/c: Not a directory", stage_ + "/a/b/c: error -102"},
        {[&] {
             stage_file("kestd", "x");
             ASSERT_EQ(mkdir((t + "/kestd").c_str(), 0755), 0);  // cannot be opened for writing
         },
         stage_, t, -2, t + "/kestd: Is a directory", stage_ + "/kestd: error -2"},
        {[&] { stage_dir("sub"); }, stage_ + "/sub", root_ / "absent/sub", -100,
         root_ / "absent/sub: No such file or directory", stage_ + "/sub: error -100"},
    };
    for (const failure_case& test : cases) {
        SCOPED_TRACE(test.failed);
        std::filesystem::remove_all(stage_);
        std::filesystem::remove_all(t);
        ASSERT_EQ(mkdir(stage_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(t.c_str(), 0755), 0);
        logged.clear();
        pauses.clear();
        test.prepare();

        EXPECT_EQ(copy_directory(test.source, test.destination, "-"), test.code);
        EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(9, 500ms));
        std::vector<testing::log_line> failures;
        std::copy_if(logged.begin(), logged.end(), std::back_inserter(failures),
                     [](const auto& line) { return line.priority == LOG_ERR; });
        EXPECT_EQ(failures, (std::vector{err("Cannot write " + test.cause),
                                         err("Failed to copy " + test.failed)}))
            << "the failure is logged once, with its cause, by the level that gave up";
    }
}

TEST_F(copy_directory_test, destination_that_becomes_writable_is_still_written) {
    stage_file("kestd", "new agent");
    const std::string blocker = target_ + "/kestd";
    mkdir(blocker.c_str(), 0755);
    // The obstacle goes away during the third pause, as a killed agent's executable frees up.
    testing::after_pause = [&] {
        if (pauses.size() == 3) {
            rmdir(blocker.c_str());
        }
    };

    EXPECT_EQ(install(), 0);
    EXPECT_EQ(read_file(blocker), "new agent");
    EXPECT_EQ(pauses.size(), 3u);
}

TEST_F(copy_directory_test, unopenable_source_counts_as_empty_after_its_destination) {
    EXPECT_EQ(copy_directory(root_ / "absent", target_ + "/made", "-"), 0);
    EXPECT_EQ(mode_of(target_ + "/made"), 0770u);
}

// How names are escaped: log_text_test.
TEST_F(copy_directory_test, names_are_logged_literally_one_line_each) {
    const std::string name = "a\nDec 10 03:49:10 host sshd[1]: Accepted \xff";
    stage_dir(name);
    EXPECT_EQ(install(), 0);
    EXPECT_EQ(std::count(logged.begin(), logged.end(),
                         info("Copy to directory " + stage_ +
                              "/a\\012Dec 10 03:49:10 host sshd[1]: Accepted \\377")),
              1);
    EXPECT_EQ(mode_of(target_ + "/" + name), 0770u);
}

TEST_F(copy_directory_test, listing_that_fails_fails_the_walk) {
    stage_file("kestd", "x");
    // In a child whose kernel refuses every directory read with EIO.
    const int status = testing::run_in_child([this] {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getdents64, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{sizeof filter / sizeof filter[0], filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            return 2;
        }
        const bool failed =
            install() == -1 && logged.back() == err("Failed to copy " + stage_ + ": error -1");
        return failed ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "exit 1: the failed listing passed for the end of the directory";
    EXPECT_FALSE(exists(target_ + "/kestd"));
}

}  // namespace
}  // namespace kest
