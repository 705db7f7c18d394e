#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace kest {
namespace {

TEST(utf8_test, sequence_length_is_that_of_valid_utf8_only) {
    const struct {
        std::string text;
        std::size_t at;
        std::size_t length;  // 0: no valid sequence there
    } rows[] = {
        {"a", 0, 1},
        {"\x7f", 0, 1},
        {"\xc3\xa9", 0, 2},
        {"\xe2\x82\xac", 0, 3},
        {"\xf4\x8f\xbf\xbf", 0, 4},  // U+10FFFF
        {"caf\xc3\xa9", 3, 2},       // at the end of the text
        {"\x80", 0, 0},              // a stray continuation byte
        {"\xe2x\xac", 0, 0},
        {"\xc0\xaf", 0, 0},  // overlong forms
        {"\xc1\xbf", 0, 0},
        {"\xe0\x80\xaf", 0, 0},
        {"\xe0\x9f\xbf", 0, 0},
        {"\xf0\x8f\xbf\xbf", 0, 0},
        {"\xed\x9f\xbf", 0, 3},  // U+D7FF, then surrogates
        {"\xed\xa0\x80", 0, 0},
        {"\xed\xbf\xbf", 0, 0},
        {"\xf4\x90\x80\x80", 0, 0},  // beyond U+10FFFF
        {"\xf5\x80\x80\x80", 0, 0},
        {"\xc3", 0, 0},  // cut short by the end of the text
        {"x\xe2\x82", 1, 0},
        {"\xf0\x9f\x98", 0, 0},
        {"ab", 2, 0},  // at the end
        {"", 0, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(utf8_sequence_length(row.text, row.at), row.length)
            << testing::PrintToString(row.text) << " at " << row.at;
    }
}

}  // namespace
}  // namespace kest
