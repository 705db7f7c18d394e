#include "base/log_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kest {
namespace {

// Control characters, backslashes and bytes that are not UTF-8 in octal, everything else as it
// stands.
TEST(log_text_test, escaped_text_is_one_line_of_valid_utf8) {
    const std::pair<std::string, std::string> rows[] = {
        {"%s%n%d", "%s%n%d"},
        {"x\\nDec", "x\\\\nDec"},
        {"a\nDec 10 03:49:10 host sshd[1]: Accepted",
         "a\\012Dec 10 03:49:10 host sshd[1]: Accepted"},
        {"\x1b[31mred\r\t\x7f", "\\033[31mred\\015\\011\\177"},
        {"\xff\xc3(\xe2\x82\xac\xc3\xbc\xed\xa0\x80",
         "\\377\\303(\xe2\x82\xac\xc3\xbc\\355\\240\\200"},
        {"\xe0\x80\xaf/\xf4\x90\x80\x80", "\\340\\200\\257/\\364\\220\\200\\200"},
        {"cut \xe2\x82", "cut \\342\\202"},
    };
    for (const auto& [text, logged] : rows) {
        EXPECT_EQ(escaped_for_log(text), logged);
    }
}

}  // namespace
}  // namespace kest
