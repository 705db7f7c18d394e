// The built kest-update, run as a caller would, with argument lists it must refuse. These runs
// end before the updater logs or touches anything, and run where no update could happen anyway
// (testing::run_sealed), so they are safe on any machine.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "updater/run_update.h"

namespace kest {
namespace {

// Runs kest-update with `args` after the program name; returns its exit status, or -1 when it
// did not exit normally.
int run_binary(const std::vector<std::string>& args) {
    const int status = testing::run_sealed(KEST_UPDATE_PATH, args);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(exit_status_test, wrong_argument_counts_exit_with_254) {
    EXPECT_EQ(run_binary({}), 254);
    EXPECT_EQ(run_binary({"/usr/sbin/kestd"}), 254);
    EXPECT_EQ(run_binary({"/usr/sbin/kestd", "1", "2"}), 254);
    EXPECT_EQ(run_binary({"", "", "", ""}), 254);
}

TEST(exit_status_test, pid_texts_that_are_not_numbers_exit_with_253_and_run_nothing) {
    testing::scratch_dir dir;
    // A start command that would leave a mark if anything ran it.
    const std::string start = "touch '" + dir.path() + "/ran'; printf '%n%s' \"$(id)\" ;";
    const std::vector<std::string> bad_pids = {
        "12x",
        "+",
        "-",
        " ",
        "+-1",
        "1\n",
        "\xff",
        "%n%s",
        "0x10",
        "1e3",
        "12 ",
        "\t",
        // digits beyond any range, then a stray character: clamping must not hide the rest
        std::string(100000, '9') + "x",
    };
    for (const std::string& pid : bad_pids) {
        // Should one of them parse, the binary would go on to update this machine: stop first.
        long parsed = 0;
        ASSERT_FALSE(parse_pid(pid.c_str(), parsed)) << "pid text '" << pid.substr(0, 20) << "'";
        EXPECT_EQ(run_binary({start, pid}), 253) << "pid text '" << pid.substr(0, 20) << "'";
    }
    EXPECT_FALSE(testing::exists(dir / "ran"));
}

}  // namespace
}  // namespace kest
