#include "updater/run_result.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "support/tree_snapshot.h"

namespace kest {
namespace {

using testing::read_file;

class run_result_test : public testing::seam_test {
  protected:
    testing::scratch_dir dir_;
};

TEST_F(run_result_test, result_is_one_json_object_with_every_text_escaped) {
    const run_result rolled_back{outcome::rolled_back,
                                 "Error while copying update -3",
                                 "Cannot write /usr/sbin/kestd: No space left on device",
                                 false,
                                 "2026-12-10T03:49:10Z",
                                 "2026-12-10T03:49:12Z",
                                 "10.15",
                                 "0123456789abcdef0123456789abcdef",
                                 {}};
    {
        const testing::cleared_creation_mask mask;
        ASSERT_TRUE(write_run_result(dir_ / "result.json", rolled_back));
    }
    EXPECT_EQ(read_file(dir_ / "result.json"),
              "{\"outcome\":\"rolled-back\",\"message\":\"Error while copying update -3\","
              "\"cause\":\"Cannot write /usr/sbin/kestd: No space left on device\","
              "\"agent_running\":false,\"started\":\"2026-12-10T03:49:10Z\","
              "\"ended\":\"2026-12-10T03:49:12Z\",\"version\":\"10.15\","
              "\"id\":\"0123456789abcdef0123456789abcdef\",\"not_restored\":[]}\n");
    EXPECT_EQ(testing::mode_of(dir_ / "result.json"), 0644u);

    // A tab, a quote, a backslash, é and € as UTF-8, then bytes that are no UTF-8: a stray
    // continuation byte, a truncated sequence, an overlong slash and an encoded surrogate.
    run_result odd{outcome::rollback_incomplete,
                   "a\tb\"c\\d",
                   "\xc3\xa9\xe2\x82\xac \x80 \xe2\x82 \xc0\xaf \xed\xa0\x80",
                   true,
                   "",
                   "",
                   "\x7f",
                   "\xe2\x82\xac",
                   {"/opt/a\nb", "/opt/c"}};
    ASSERT_TRUE(write_run_result(dir_ / "result.json", odd));
    EXPECT_EQ(read_file(dir_ / "result.json"),
              "{\"outcome\":\"rollback-incomplete\",\"message\":\"a\\u0009b\\\"c\\\\d\","
              "\"cause\":\"\xc3\xa9\xe2\x82\xac \\u0080 \\u00e2\\u0082 \\u00c0\\u00af "
              "\\u00ed\\u00a0\\u0080\",\"agent_running\":true,\"started\":\"\",\"ended\":\"\","
              "\"version\":\"\\u007f\",\"id\":\"\xe2\x82\xac\",\"not_restored\":[\"/opt/"
              "a\\u000ab\",\"/opt/c\"]}\n");
    EXPECT_EQ(testing::entry_names(dir_.path()), std::vector<std::string>{"result.json"})
        << "no hidden file left";
}

TEST_F(run_result_test, time_is_utc_to_the_second_and_the_id_128_random_bits) {
    std::string shape = utc_now();
    for (char& c : shape) {
        c = c >= '0' && c <= '9' ? '9' : c;
    }
    EXPECT_EQ(shape, "9999-99-99T99:99:99Z");
    // 128 random bits in hex, another for each run.
    const std::string id = random_run_id();
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    EXPECT_EQ(id.size(), 32u);
    EXPECT_NE(id, random_run_id());
}

TEST_F(run_result_test, result_that_cannot_be_written_is_logged_and_changes_nothing) {
    const std::string missing = dir_ / "missing/result.json";
    EXPECT_FALSE(
        write_run_result(missing, {outcome::installed, "", "", true, "", "", "10.15", "", {}}));
    EXPECT_EQ(testing::logged,
              std::vector<testing::log_line>{testing::err("Failed to write the result " + missing +
                                                          ": No such file or directory")});
    ASSERT_EQ(mkdir((dir_ / "result.json").c_str(), 0755), 0);
    EXPECT_FALSE(write_run_result(dir_ / "result.json", {}));
    EXPECT_EQ(testing::logged.back(), testing::err("Failed to write the result " +
                                                   dir_ / "result.json" + ": Is a directory"));
    EXPECT_EQ(testing::entry_names(dir_.path()), std::vector<std::string>{"result.json"})
        << "the hidden file removed";
}

}  // namespace
}  // namespace kest
