#include "base/extended_attributes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <string>

#include "base/unique_fd.h"
#include "support/test_support.h"

namespace kest {
namespace {

TEST(extended_attributes_test, list_comes_back_from_its_text_and_a_cut_text_is_refused) {
    const extended_attributes attributes{{"user.a", "xy"}, {"user.empty", ""}};
    const std::string text = encode_attributes(attributes);
    EXPECT_EQ(text, std::string("\6\0\0\0user.a\2\0\0\0xy\12\0\0\0user.empty\0\0\0\0", 34));
    extended_attributes decoded;
    EXPECT_TRUE(decode_attributes(text, decoded));
    EXPECT_EQ(decoded, attributes);
    EXPECT_TRUE(decode_attributes("", decoded));
    EXPECT_TRUE(decoded.empty());
    EXPECT_FALSE(decode_attributes(text.substr(0, 33), decoded));
    EXPECT_FALSE(decode_attributes(text.substr(0, 3), decoded));
}

TEST(extended_attributes_test, written_attributes_are_exactly_those_given) {
    const testing::scratch_dir dir;
    testing::write_file(dir / "f", "");
    const unique_fd file(open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC));
    for (const auto& [name, value] : {std::pair{"user.old", "1"}, std::pair{"user.kept", "2"}}) {
        ASSERT_EQ(fsetxattr(file.get(), name, value, 1, 0), 0);
    }
    ASSERT_EQ(write_extended_attributes(file.get(), {{"user.kept", "2"}, {"user.new", "3"}}), 0);
    extended_attributes now;
    ASSERT_EQ(read_extended_attributes(file.get(), now), 0);
    EXPECT_EQ(now, (extended_attributes{{"user.kept", "2"}, {"user.new", "3"}}));
}

}  // namespace
}  // namespace kest
