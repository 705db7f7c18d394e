// Recorders for the platform seams and a scratch directory, shared by the unit tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kest::testing {

struct log_line {
    int priority;
    std::string text;
    bool operator==(const log_line&) const = default;
};
std::ostream& operator<<(std::ostream& out, const log_line& line);

// What the update did through the seams while a seam_test runs, in order, one entry each:
// "detach DIR", "pidfd PID", "signal SIGNAL PID" (" pidfd" added when sent through one),
// "pause MILLISECONDSms", "wait MILLISECONDSms" (for processes to end), "run COMMAND", "info TEXT",
// "warning TEXT", "err TEXT", "flush" (one file system), "flush file" (one file's data). A run
// that records more than a million entries is taken for an endless loop: the recorder throws.
extern std::vector<std::string> journal;
// Views of the journal: the log lines, pauses and shell commands alone.
extern std::vector<log_line> logged;
extern std::vector<std::chrono::milliseconds> pauses;
extern std::vector<std::string> commands;
// What the fake shell answers for a command; 0 by default.
extern std::function<int(const std::string&)> shell_status;
// What the fake presence check answers.
extern bool systemd_answer;
// The waits for processes to end (platform::seams.wait_until_readable), as asked. Each really waits
// `longest_real_wait` at most (0 by default: it returns at once with what has ended by then).
extern std::vector<std::chrono::milliseconds> waits;
extern std::chrono::milliseconds longest_real_wait;
// Called after a pause, a wait or a log line is recorded, for tests that act at that moment.
extern std::function<void()> after_pause;
extern std::function<void()> after_wait;
extern std::function<void(const log_line&)> after_log;
// Whether real signals may be sent, through a pidfd or by pid to a child of the test. When false
// (the default) any signal fails the test and is not sent.
extern bool signals_allowed;

log_line info(const std::string& text);
log_line warning(const std::string& text);
log_line err(const std::string& text);

// Puts the real platform back (platform::reset_services, every seam at once) and forgets what
// earlier copies taught, then installs the recorders; puts the real platform back afterwards.
class seam_test : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// Clears the file-mode creation mask, as the detached updater does, for as long as it lives.
class cleared_creation_mask {
  public:
    cleared_creation_mask() : saved_(umask(0)) {}
    ~cleared_creation_mask() { umask(saved_); }
    cleared_creation_mask(const cleared_creation_mask&) = delete;
    cleared_creation_mask& operator=(const cleared_creation_mask&) = delete;

  private:
    mode_t saved_;
};

// A fresh directory below $TMPDIR (or below `base`), removed with everything in it at the end
// of the scope.
class scratch_dir {
  public:
    scratch_dir();
    explicit scratch_dir(const std::string& base);
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

// Enters a private mount namespace, so that mounts made afterwards never reach the host (every
// mount seen becomes private). As root, a new mount namespace; as any other user, a new user
// namespace too, in which this user is root.
::testing::AssertionResult enter_private_mount_namespace();
// Whether this process is root of the machine (and not of a user namespace): only then can it
// give files to other users.
bool real_root();

// fork(), with a child that the kernel kills when this process ends: a helper process must not
// outlive a failed or timed-out test (it would hold CTest's output pipe open).
pid_t fork_tied_child();

// Runs `body` in a child from fork_tied_child() that exits with what `body` returns; returns
// the child's wait status, or -1 when it could not start.
int run_in_child(const std::function<int()>& body);

// Runs `program` with `args` in a child, after `prepare` (when given) returned true there;
// returns its wait status, or -1 when it could not start. The child runs where no update can
// happen: in a private mount namespace with an empty tmpfs over the staging root's parent (when
// there is one), so that even a kest-update that let a run through would find no update directory
// and stop there.
int run_sealed(const std::string& program, std::vector<std::string> args,
               const std::function<bool()>& prepare = nullptr);

void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string read_file(const std::string& path);
mode_t mode_of(const std::string& path);
ino_t inode_of(const std::string& path);
bool exists(const std::string& path);

}  // namespace kest::testing
