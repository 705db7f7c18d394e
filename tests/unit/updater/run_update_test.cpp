#include "updater/run_update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/mount_point.h"
#include "base/platform.h"
#include "base/unique_fd.h"
#include "guard/update_lock.h"
#include "rollback/undo_record.h"
#include "support/test_support.h"
#include "support/update_fixture.h"

namespace kest {
namespace {

using testing::commands;
using testing::err;
using testing::info;
using testing::journal;
using testing::logged;
using testing::read_file;
using testing::scratch_dir;
using testing::warning;
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
        // $TMPDIR is usually writable by all: the check starts at the test's own directory.
        paths_ = {
            root_ / "stage",      root_ / "target",           root_ / "stage/etc/systemd/system",
            root_.path(),         root_ / "update.lock",      root_ / "kest.service",
            root_ / "state/undo", root_ / "state/result.json"};
        mkdir(paths_.staging_root.c_str(), 0755);
        mkdir(paths_.destination.c_str(), 0755);
        // What the watch after the restart finds running.
        agent_ = std::make_unique<testing::running_executable>(root_ / "kestd");
        ASSERT_TRUE(agent_->started());
        testing::point_the_watch_at(*agent_, paths_, root_ / "cgroup.procs");
        // No agent unit file here, so the stop writes no drop-in: keep it off the machine's /etc.
        testing::systemd_answer = false;
    }
    void TearDown() override {
        agent_.reset();
        ASSERT_EQ(chdir(saved_cwd_), 0);
        seam_test::TearDown();
    }
    int run(std::vector<const char*> args) {
        args.insert(args.begin(), "kest-update");
        return run_update(static_cast<int>(args.size()), args.data(), paths_);
    }

    scratch_dir root_;
    update_paths paths_;
    std::unique_ptr<testing::running_executable> agent_;

  private:
    char saved_cwd_[PATH_MAX] = {};
};

// In the entry and in the built binary as a caller runs it (testing::run_sealed, where no update
// could happen anyway): a wrong argument count is -2, exit status 254; a pid text that is not
// wholly a number -3, exit status 253; nothing is logged, detached, signalled or run.
TEST_F(run_update_test, wrong_arguments_are_refused_silently_and_pids_read_as_strtol_does) {
    // A start command that would leave a mark if anything ran it.
    const std::string start = "touch '" + root_.path() + "/ran'; printf '%n%s' \"$(id)\" ;";
    std::vector<std::pair<std::vector<std::string>, int>> cases{
        {{}, -2},
        {{"/usr/sbin/kestd"}, -2},
        {{"/usr/sbin/kestd", "12", "extra"}, -2},
        {{"", "", "", ""}, -2},
    };
    // The last: digits beyond any range, then a stray character; clamping must not hide it.
    for (const std::string& pid : std::vector<std::string>{
             "12x", "x", "+", "-", " ", "12 ", "0x10", "1.5", "+-1", "1\n", "\xff", "%n%s", "1e3",
             "\t", "\t\n", std::string(100000, '9') + "x"}) {
        cases.push_back({{start, pid}, -3});
    }
    for (const auto& [args, result] : cases) {
        const std::string shown = args.size() == 2 ? args[1].substr(0, 20) : "";
        std::vector<const char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(arg.c_str());
        }
        EXPECT_EQ(run(argv), result) << args.size() << " arguments, pid text '" << shown << "'";
        // Should one of them parse, the binary would go on to update this machine: stop first.
        long parsed = 0;
        ASSERT_TRUE(result == -2 || !parse_pid(args[1].c_str(), parsed)) << shown;
        const int status = testing::run_sealed(KEST_UPDATE_PATH, args);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, result & 0xff) << shown;
    }
    EXPECT_TRUE(journal.empty()) << "nothing logged, detached, signalled or run";
    EXPECT_FALSE(testing::exists(root_ / "ran"));

    for (const auto& [text, value] :
         std::vector<std::pair<std::string, long>>{{" 42", 42},
                                                   {"+7", 7},
                                                   {"-3", -3},
                                                   {"", 0},
                                                   {"99999999999999999999999", LONG_MAX},
                                                   {"-99999999999999999999999", LONG_MIN}}) {
        long pid = -1;
        EXPECT_TRUE(parse_pid(text.c_str(), pid)) << text;
        EXPECT_EQ(pid, value) << text;
    }
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

    // Writable by its group: refused for another group than root's, accepted for root's.
    chmod(paths_.staging_root.c_str(), 0775);
    if (getegid() == 0 && !testing::real_root()) {
        GTEST_SKIP() << "giving the directory another group needs root (of the machine)";
    }
    ASSERT_EQ(chown(paths_.staging_root.c_str(), static_cast<uid_t>(-1),
                    getegid() == 0 ? 1000 : getegid()),
              0);
    logged.clear();
    EXPECT_EQ(run({"start", "1"}), 1);
    EXPECT_EQ(logged.back(), err("Refusing the update directory " + paths_.staging_root +
                                 ": other users can change it"));
    if (getegid() != 0) {
        GTEST_SKIP() << "a directory of root's group needs root";
    }
    ASSERT_EQ(chown(paths_.staging_root.c_str(), 0, 0), 0);
    EXPECT_EQ(run({"start", "-5"}), 0) << "root's group may write";
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

TEST_F(run_update_test, successful_run_installs_then_restarts_then_flushes) {
    write_file(paths_.staging_root + "/kestd", "v2");
    write_file(paths_.destination + "/kestd", "v1");
    // The disk fails the flush after the copy (not the undo record's before the stop): said,
    // and the update still counts as done.
    int flushes = 0;
    platform::seams.flush_file_system = [&flushes](int) {
        journal.emplace_back("flush");
        errno = EIO;
        return ++flushes == 1 ? 0 : -1;
    };
    struct stat target {};
    ASSERT_EQ(stat(paths_.destination.c_str(), &target), 0);
    const std::string mount = mount_point_of(target.st_dev, "?");
    std::string at_the_restart;  // the result the new agent reads at its start
    testing::shell_status = [&](const std::string&) {
        at_the_restart = read_file(root_ / "state/result.json");
        return 0;
    };
    // Pid 0 names no single process: it is refused without a signal and the update goes on.
    EXPECT_EQ(run({"/usr/sbin/kestd --daemon", "0"}), 0);
    EXPECT_EQ(read_file(paths_.destination + "/kestd"), "v2");
    // The caller is released before the agent is touched; what the update would destroy is
    // kept and on disk before that, the copy on disk once the agent runs.
    EXPECT_EQ(journal, (std::vector<std::string>{
                           "info " + started_text, "detach " + paths_.staging_root, "flush",
                           "info Killing daemon", "err Invalid agent process id 0",
                           "info Copy to directory " + paths_.staging_root,
                           "info Start the daemon via 'service' command", "run service kest start",
                           "flush", "err Failed to flush " + mount + ": Input/output error",
                           // The watch: the agent held, looked for during a second, then 9 s.
                           "pidfd " + std::to_string(agent_->pid()), "pause 250ms", "pause 250ms",
                           "pause 250ms", "pause 250ms", "wait 9000ms", "flush file"}))
        << "flushed after the restart, watched, then committed";
    EXPECT_FALSE(testing::exists(root_ / "state/undo")) << "no record left";
    const std::string result = read_file(root_ / "state/result.json");
    EXPECT_NE(result.find(R"("outcome":"installed","message":"","cause":"","agent_running":true)"),
              std::string::npos)
        << result;
    EXPECT_NE(at_the_restart.find(R"("outcome":"watching","message":"","cause":"")"),
              std::string::npos)
        << at_the_restart;
}

TEST_F(run_update_test, systemd_is_asked_once_and_every_phase_takes_that_answer) {
    const std::string& stage = paths_.staging_root;
    for (const char* dir : {"/etc", "/etc/systemd", "/etc/systemd/system"}) {
        ASSERT_EQ(mkdir((stage + dir).c_str(), 0755), 0);
    }
    write_file(stage + "/etc/systemd/system/kest.service", "[Unit]\n");
    // The agent's unit sets the kill mode itself: the stop writes no drop-in.
    write_file(paths_.unit_file, "[Service]\nKillMode=process\n");
    const std::string unit = paths_.destination + "/etc/systemd/system/kest.service";
    for (const bool first : {true, false}) {
        commands.clear();
        (void)remove(unit.c_str());
        int asked = 0;
        platform::seams.systemd_present = [&asked, first] { return ++asked == 1 ? first : !first; };
        EXPECT_EQ(run({"start", "-5"}), 0);
        EXPECT_EQ(asked, 1);
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.front(), first ? "systemctl stop kest" : "service kest start");
        EXPECT_EQ(commands.back(), first ? "systemctl restart kest" : "service kest start");
        EXPECT_EQ(testing::exists(unit), first);
    }
}

TEST_F(run_update_test, failed_installation_or_start_is_rolled_back_and_the_old_release_started) {
    mkdir((paths_.staging_root + "/usr").c_str(), 0755);
    // Appears once the checks before detaching have passed.
    platform::seams.detach = [&](const char*) {
        write_file(paths_.destination + "/usr", "not a dir");
    };

    EXPECT_EQ(run({"start", "-1"}), 1);
    EXPECT_EQ(commands, (std::vector<std::string>{"service kest start"}));
    ASSERT_GE(logged.size(), 4u);
    EXPECT_EQ(std::vector(logged.end() - 4, logged.end()),
              (std::vector{
                  err("Error while copying update -102"), warning("Rolling back the update"),
                  info("Start the daemon via 'service' command"), info("Rolled back the update")}));
    std::string result = read_file(root_ / "state/result.json");
    EXPECT_NE(result.find(R"("outcome":"rolled-back","message":"Error while copying update -102",)"
                          R"("cause":"Cannot write )" +
                          paths_.destination + R"(/usr: Not a directory","agent_running":true)"),
              std::string::npos)
        << result;

    // A release that does not start: its 5 attempts fail (the service command and the start
    // command each), then the old release starts.
    logged.clear();
    commands.clear();
    ASSERT_EQ(remove((paths_.destination + "/usr").c_str()), 0);
    platform::seams.detach = [](const char*) {};
    write_file(paths_.staging_root + "/usr/kestd", "v2");
    write_file(paths_.destination + "/kestd.conf", "v1");
    write_file(paths_.staging_root + "/kestd.conf", "v2");
    testing::shell_status = [](const std::string&) { return commands.size() <= 10 ? 7 << 8 : 0; };
    EXPECT_EQ(run({"start", "-1"}), 1);
    EXPECT_EQ(read_file(paths_.destination + "/kestd.conf"), "v1");
    EXPECT_FALSE(testing::exists(paths_.destination + "/usr"));
    EXPECT_EQ(commands.size(), 11u);
    ASSERT_GE(logged.size(), 4u);
    EXPECT_EQ(std::vector(logged.end() - 4, logged.end()),
              (std::vector{err("Could not start the daemon after 4 retries. Error code 7"),
                           warning("Rolling back the update"),
                           info("Start the daemon via 'service' command"),
                           info("Rolled back the update")}));
    result = read_file(root_ / "state/result.json");
    EXPECT_NE(
        result.find(R"("outcome":"rolled-back","message":"Could not start the daemon after 4 )"
                    R"(retries. Error code 7","cause":"","agent_running":true)"),
        std::string::npos)
        << result;
}

TEST_F(run_update_test, tree_that_others_can_change_is_refused_before_anything_happens) {
    const std::string& stage = paths_.staging_root;
    for (const char* dir : {"/a", "/a/b", "/a/b/c"}) {
        ASSERT_EQ(mkdir((stage + dir).c_str(), 0755), 0);
    }
    write_file(stage + "/a/b/c/tool", "x", 0755);
    // A destination that is a link this user made: followed, and the way to its target checked.
    const std::string linked = root_ / "linked";
    ASSERT_EQ(mkdir(linked.c_str(), 0755), 0);
    ASSERT_EQ(symlink(linked.c_str(), (paths_.destination + "/a").c_str()), 0);
    // And one whose target climbs out of where it stands.
    const std::string beside = root_ / "beside";
    ASSERT_EQ(mkdir(beside.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((paths_.destination + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("sub/../../beside", (paths_.destination + "/up").c_str()), 0);
    ASSERT_EQ(mkdir((stage + "/up").c_str(), 0755), 0);
    write_file(stage + "/up/tool", "y", 0755);
    // Made open to others one at a time (sticky or not), or to a group other than root's (on the
    // staged side and on the way to a destination; giving it that group needs root).
    struct open_case {
        std::string path;
        mode_t mode;
        gid_t group = static_cast<gid_t>(-1);  // unchanged
    };
    const std::vector<open_case> cases{{stage + "/a/b/c", 0777},
                                       {stage + "/a/b/c/tool", 0777},
                                       {paths_.destination, 0777},
                                       {linked, 01777},
                                       {beside, 0777},
                                       {stage + "/a/b", 0775, 1000},
                                       {paths_.destination, 0775, 1000}};
    bool skipped = false;
    for (const open_case& open : cases) {
        if (open.group != static_cast<gid_t>(-1) && !testing::real_root()) {
            skipped = true;
            continue;
        }
        journal.clear();
        ASSERT_EQ(chmod(open.path.c_str(), open.mode), 0);
        ASSERT_EQ(chown(open.path.c_str(), static_cast<uid_t>(-1), open.group), 0);
        EXPECT_EQ(run({"start", "1"}), 1);
        EXPECT_EQ(journal, (std::vector<std::string>{
                               "info " + started_text,
                               "err Refusing the update: other users can change " + open.path}))
            << "nothing detached, signalled or run";
        ASSERT_EQ(chmod(open.path.c_str(), 0755), 0);
        ASSERT_EQ(chown(open.path.c_str(), static_cast<uid_t>(-1), getegid()), 0);
    }
    EXPECT_FALSE(testing::exists(linked + "/b"));

    // Root's group may write.
    const mode_t shared = getegid() == 0 ? 0775 : 0755;
    for (const std::string& path : {stage + "/a/b/c", paths_.destination, linked, beside}) {
        ASSERT_EQ(chmod(path.c_str(), shared), 0);
    }
    EXPECT_EQ(run({"start", "-5"}), 0);
    EXPECT_EQ(read_file(linked + "/b/c/tool"), "x");
    EXPECT_EQ(read_file(beside + "/tool"), "y");
    if (skipped) {
        GTEST_SKIP() << "giving a directory another group needs root (of the machine)";
    }
}

TEST_F(run_update_test, what_another_user_owns_is_refused) {
    if (!testing::real_root()) {
        GTEST_SKIP() << "giving files to another user needs root (of the machine)";
    }
    const std::string& stage = paths_.staging_root;
    // Outside the directory the check starts from, so that a link's route does not pass it.
    const scratch_dir elsewhere;
    const std::string other = elsewhere / "other";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    write_file(other + "/tool", "x", 0755);
    write_file(stage + "/file", "x");
    // Given to another user in turn: what is refused, by the path the refusal names.
    const auto expect_refused = [&](const std::string& owned, const std::string& named) {
        logged.clear();
        ASSERT_EQ(chown(owned.c_str(), 65534, 65534), 0);
        EXPECT_EQ(run({"start", "1"}), 1) << owned;
        EXPECT_EQ(logged, (std::vector{started, err("Refusing the update: other users can "
                                                    "change " +
                                                    named)}));
        ASSERT_EQ(chown(owned.c_str(), 0, 0), 0);
    };
    expect_refused(stage + "/file", stage + "/file");
    expect_refused(root_.path(), root_.path());              // above the staging root
    expect_refused(paths_.destination, paths_.destination);  // on the way to a destination
    ASSERT_EQ(symlink((other + "/tool").c_str(), (stage + "/link").c_str()), 0);
    expect_refused(other + "/tool", stage + "/link");  // a link's target
    expect_refused(other, other);                      // the directory holding a link's target
    EXPECT_TRUE(commands.empty());
    EXPECT_FALSE(testing::exists(paths_.destination + "/file"));
}

TEST_F(run_update_test, record_of_an_interrupted_run_is_undone_first_but_never_under_the_lock) {
    // What a run killed after its first change leaves: a record, and the change.
    write_file(paths_.destination + "/agent.conf", "level=1\n");
    {
        undo_record record;
        ASSERT_EQ(open_undo_record(paths_.record_folder, record), 0);
        ASSERT_EQ(plan_kept_file(record, paths_.destination + "/agent.conf"), 0);
        ASSERT_EQ(note_change(record, change_kind::rewrite, paths_.destination + "/agent.conf"), 0);
    }
    write_file(paths_.destination + "/agent.conf", "level=2, half written");

    // While another run holds the lock, the record is that run's: left alone.
    unique_fd held;
    ASSERT_EQ(take_update_lock(paths_.lock_file, held), 0);
    EXPECT_EQ(run({"--recover"}), 1);
    EXPECT_EQ(logged, (std::vector{started, err("Another update is running")}));
    EXPECT_EQ(read_file(paths_.destination + "/agent.conf"), "level=2, half written");
    held.reset();

    // The next run undoes it before its own checks, then goes on.
    logged.clear();
    write_file(paths_.staging_root + "/kestd", "v2");
    EXPECT_EQ(run({"start", "-5"}), 0);
    ASSERT_GE(logged.size(), 3u);
    EXPECT_EQ(std::vector(logged.begin(), logged.begin() + 3),
              (std::vector{started, info("Recovering an interrupted update"),
                           info("Rolled back the update")}));
    EXPECT_EQ(read_file(paths_.destination + "/agent.conf"), "level=1\n");
    EXPECT_EQ(read_file(paths_.destination + "/kestd"), "v2");
}

TEST_F(run_update_test, one_run_at_a_time_and_commands_do_not_inherit_the_lock) {
    std::vector<int> nested;
    // While the first run holds the lock (it detaches with it), a second one starts, and again
    // while the first restarts the agent.
    const auto second_run = [&] {
        if (nested.size() < 2) {
            nested.push_back(0);
            nested.back() = run({"start", "-5"});
        }
        return 0;
    };
    platform::seams.detach = [&](const char*) { second_run(); };
    platform::seams.shell = [&](const char*) { return second_run(); };
    EXPECT_EQ(run({"start", "-5"}), 0);
    EXPECT_EQ(nested, (std::vector{1, 1}));
    ASSERT_GE(logged.size(), 3u);
    EXPECT_EQ(std::vector(logged.begin(), logged.begin() + 3),
              (std::vector{started, started, err("Another update is running")}));

    // A third run, holding the lock while its restart command lists its own descriptors.
    platform::seams.detach = [](const char*) {};
    const std::string listing = root_ / "descriptors";
    platform::seams.shell = [listing](const char*) {
        return platform::real::shell(("ls -l /proc/$$/fd >" + listing).c_str());
    };
    logged.clear();
    EXPECT_EQ(run({"start", "-5"}), 0) << "the lock ends with the run that held it";
    const std::string seen = read_file(listing);
    EXPECT_NE(seen.find(" -> "), std::string::npos) << "the command listed its descriptors";
    EXPECT_EQ(seen.find(" -> " + paths_.lock_file + "\n"), std::string::npos) << seen;
    EXPECT_EQ(testing::mode_of(paths_.lock_file), 0600u) << "left in place";
}

TEST_F(run_update_test, lock_file_that_is_not_this_runs_alone_is_refused_and_left_as_it_is) {
    write_file(paths_.staging_root + "/payload", "x");
    const std::string& lock = paths_.lock_file;
    const std::string locked_out = "err Failed to take the update lock " + lock + ": ";
    // What is at the lock path, and the refusal it gets.
    const std::vector<std::pair<std::function<void()>, std::string>> cases{
        {[&] { write_file(lock, "", 0666); },
         "err Refusing the update: other users can change " + lock},
        {[&] { write_file(lock, "", 0640); },
         "err Refusing the update: other users can change " + lock},
        {[&] { ASSERT_EQ(symlink((root_ / "elsewhere").c_str(), lock.c_str()), 0); },
         locked_out + "Too many levels of symbolic links"},
        {[&] { ASSERT_EQ(mkdir(lock.c_str(), 0700), 0); }, locked_out + "Is a directory"},
        {[&] { ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0); },
         "err Refusing the update: other users can change " + lock},
    };
    for (const auto& [prepare, refusal] : cases) {
        journal.clear();
        prepare();
        struct stat before {};
        ASSERT_EQ(lstat(lock.c_str(), &before), 0);
        EXPECT_EQ(run({"start", "1"}), 1) << refusal;
        EXPECT_EQ(journal, (std::vector<std::string>{"info " + started_text, refusal}));
        struct stat after {};
        ASSERT_EQ(lstat(lock.c_str(), &after), 0);
        EXPECT_EQ(std::make_pair(after.st_ino, after.st_mode),
                  std::make_pair(before.st_ino, before.st_mode))
            << "not changed or replaced";
        EXPECT_FALSE(testing::exists(root_ / "elsewhere"));
        ASSERT_EQ(remove(lock.c_str()), 0);
    }
    EXPECT_FALSE(testing::exists(paths_.destination + "/payload"));
}

}  // namespace
}  // namespace kest
