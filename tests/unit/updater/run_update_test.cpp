#include "updater/run_update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "updater/platform.h"

namespace kest {
namespace {

using testing::commands;
using testing::err;
using testing::info;
using testing::journal;
using testing::logged;
using testing::read_file;
using testing::scratch_dir;
using testing::write_file;

// The version and build number of the CMake project.
const std::string started_text =
    "Started Kest Updater version " EXPECTED_VERSION " (" EXPECTED_BUILD_NUMBER ")";
const testing::log_line started = info(started_text);

class run_update_test : public testing::seam_test {
  protected:
    void SetUp() override {
        seam_test::SetUp();
        ASSERT_NE(getcwd(saved_cwd_, sizeof saved_cwd_), nullptr);
        paths_ = {root_ / "stage", root_ / "target", root_ / "stage/etc/systemd/system"};
        mkdir(paths_.staging_root.c_str(), 0755);
        mkdir(paths_.destination.c_str(), 0755);
        // No agent unit file here, so the stop writes no drop-in: keep it off the machine's /etc.
        testing::systemd_installed_answer = false;
    }
    void TearDown() override {
        ASSERT_EQ(chdir(saved_cwd_), 0);
        seam_test::TearDown();
    }
    int run(std::vector<const char*> args) {
        args.insert(args.begin(), "kest-update");
        return run_update(static_cast<int>(args.size()), args.data(), paths_);
    }

    scratch_dir root_;
    update_paths paths_;

  private:
    char saved_cwd_[PATH_MAX] = {};
};

TEST_F(run_update_test, wrong_argument_count_is_minus_two_and_silent) {
    EXPECT_EQ(run({}), -2);
    EXPECT_EQ(run({"/usr/sbin/kestd"}), -2);
    EXPECT_EQ(run({"/usr/sbin/kestd", "12", "extra"}), -2);
    EXPECT_TRUE(journal.empty()) << "nothing logged, detached, signalled or run";
}

TEST_F(run_update_test, pid_that_is_not_wholly_a_number_is_minus_three_and_silent) {
    for (const char* pid : {"12x", "x", "+", "-", " ", "12 ", "0x10", "1.5"}) {
        EXPECT_EQ(run({"start", pid}), -3) << "pid text '" << pid << "'";
    }
    EXPECT_TRUE(journal.empty()) << "nothing logged, detached, signalled or run";
}

TEST_F(run_update_test, pid_parsing_follows_strtol) {
    long pid = -1;
    EXPECT_TRUE(parse_pid(" 42", pid));
    EXPECT_EQ(pid, 42);
    EXPECT_TRUE(parse_pid("+7", pid));
    EXPECT_EQ(pid, 7);
    EXPECT_TRUE(parse_pid("-3", pid));
    EXPECT_EQ(pid, -3);
    EXPECT_TRUE(parse_pid("", pid));
    EXPECT_EQ(pid, 0);
    EXPECT_TRUE(parse_pid("99999999999999999999999", pid));
    EXPECT_EQ(pid, LONG_MAX);
    EXPECT_TRUE(parse_pid("-99999999999999999999999", pid));
    EXPECT_EQ(pid, LONG_MIN);
    EXPECT_FALSE(parse_pid("\t\n", pid));
}

TEST_F(run_update_test, missing_staging_root_ends_with_one_before_detaching) {
    paths_.staging_root = root_ / "absent";
    EXPECT_EQ(run({"start", "1"}), 1);
    EXPECT_EQ(journal,
              (std::vector<std::string>{"info " + started_text,
                                        "err Failed to change the current update directory"}));
}

TEST_F(run_update_test, staging_root_writable_by_others_is_refused) {
    write_file(paths_.staging_root + "/payload", "x");
    chmod(paths_.staging_root.c_str(), 0777);

    EXPECT_EQ(run({"start", "1"}), 1);
    EXPECT_EQ(logged,
              (std::vector{started, err("Refusing the update directory " + paths_.staging_root +
                                        ": other users can change it")}));
    EXPECT_FALSE(testing::exists(paths_.destination + "/payload"));

    logged.clear();
    chmod(paths_.staging_root.c_str(), 0775);
    EXPECT_EQ(run({"start", "-5"}), 0) << "group-writable is allowed";
}

TEST_F(run_update_test, staging_root_owned_by_another_user_is_refused) {
    if (!testing::real_root()) {
        GTEST_SKIP() << "giving a directory to another user needs root (of the machine)";
    }
    ASSERT_EQ(chown(paths_.staging_root.c_str(), 65534, 65534), 0);
    EXPECT_EQ(run({"start", "1"}), 1);
    EXPECT_EQ(logged.back().text, "Refusing the update directory " + paths_.staging_root +
                                      ": other users can change it");
}

TEST_F(run_update_test, successful_run_installs_then_restarts) {
    write_file(paths_.staging_root + "/kestd", "v2");
    // Pid 0 names no single process: it is refused without a signal and the update goes on.
    EXPECT_EQ(run({"/usr/sbin/kestd --daemon", "0"}), 0);
    EXPECT_EQ(read_file(paths_.destination + "/kestd"), "v2");
    // The caller is released before the agent is touched.
    EXPECT_EQ(journal,
              (std::vector<std::string>{
                  "info " + started_text, "detach " + paths_.staging_root, "info Killing daemon",
                  "err Invalid agent process id 0", "info Copy to directory " + paths_.staging_root,
                  "info Start the daemon via 'service' command", "run service kest start"}));
}

TEST_F(run_update_test, failed_installation_ends_with_one_and_no_restart) {
    mkdir((paths_.staging_root + "/usr").c_str(), 0755);
    write_file(paths_.destination + "/usr", "not a directory");

    EXPECT_EQ(run({"start", "-1"}), 1);
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(logged.back(), err("Error while copying update -102"));
}

}  // namespace
}  // namespace kest
