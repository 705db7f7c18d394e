#include "base/hidden_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/unique_fd.h"
#include "support/test_support.h"

namespace kest {
namespace {

TEST(hidden_file_test, name_fits_name_max_and_a_taken_name_is_never_opened) {
    EXPECT_EQ(hidden_sibling_name("kestd", "kest-update", 42, 7), ".kestd.kest-update.42.7");
    EXPECT_EQ(hidden_sibling_name(std::string(255, 'n'), "kest-undo", 4194304, 99),
              "." + std::string(233, 'n') + ".kest-undo.4194304.99");

    const testing::scratch_dir dir;
    const unique_fd folder(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string pid = std::to_string(getpid());
    testing::write_file(dir / (".f.t." + pid + ".0"), "theirs");
    ASSERT_EQ(symlink("target", (dir / (".f.t." + pid + ".1")).c_str()), 0);
    std::string created;
    const unique_fd file(create_hidden_sibling(folder.get(), "f", "t", 0600, created));
    EXPECT_TRUE(file.valid());
    EXPECT_EQ(created, ".f.t." + pid + ".2");
    EXPECT_EQ(testing::read_file(dir / (".f.t." + pid + ".0")), "theirs");
    EXPECT_FALSE(testing::exists(dir / "target"));
    for (int number = 3; number < 100; ++number) {
        testing::write_file(dir / (".f.t." + pid + "." + std::to_string(number)), "");
    }
    EXPECT_EQ(create_hidden_sibling(folder.get(), "f", "t", 0600, created), -1);
    EXPECT_EQ(errno, EEXIST) << "every one of the 100 names taken";
}

}  // namespace
}  // namespace kest
