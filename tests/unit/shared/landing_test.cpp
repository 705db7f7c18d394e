#include "shared/landing.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <tuple>

#include "base/platform.h"
#include "support/test_support.h"

namespace kest {
namespace {

class landing_test : public testing::seam_test {
  protected:
    void SetUp() override {
        seam_test::SetUp();
        ASSERT_NE(getcwd(saved_cwd_, sizeof saved_cwd_), nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(saved_cwd_), 0);
        seam_test::TearDown();
    }

    testing::scratch_dir dir_;
    char saved_cwd_[PATH_MAX] = {};
};

// Paths from the scratch directory, which is the working directory; a target or an untrusted
// directory "" is none, any other below the scratch directory.
TEST_F(landing_test, write_lands_where_the_kernel_would_put_it) {
    for (const char* folder : {"/dir", "/dir/sub", "/locked"}) {
        ASSERT_EQ(mkdir((dir_.path() + folder).c_str(), 0755), 0);
    }
    testing::write_file(dir_ / "dir/file", "");
    for (const auto& [link, target] : {std::pair{"to_dir", dir_ / "dir"},
                                       {"to_sub", "dir/sub"},
                                       {"dangling", "nowhere"},
                                       {"loop", "loop"},
                                       {"hop0", "dir/file"}}) {
        ASSERT_EQ(symlink(target.c_str(), (dir_ / link).c_str()), 0);
    }
    for (int hop = 1; hop <= 40; ++hop) {
        ASSERT_EQ(symlink(("hop" + std::to_string(hop - 1)).c_str(),
                          (dir_ / ("hop" + std::to_string(hop))).c_str()),
                  0);
    }
    platform::seams.stat_extended = [this](const char* path, int flags, struct statx* status) {
        if (path == dir_ / "locked") {
            errno = EACCES;
            return -1;
        }
        return platform::real::stat_extended(path, flags, status);
    };
    const struct {
        std::string path;
        write_kind kind;
        int error;
        std::string target;
        int looked_up;
        std::string untrusted;  // the rule refuses every directory named sub
    } rows[] = {
        {"dir/file", write_kind::file, 0, "dir/file", 0, ""},
        {dir_ / "dir/new", write_kind::file, 0, "dir/new", ENOENT, ""},
        {"missing/new", write_kind::file, ENOENT, "", ENOENT, ""},
        {"dir/file/new", write_kind::file, ENOTDIR, "", ENOENT, ""},
        {"locked/new", write_kind::file, EACCES, "", ENOENT, ""},
        {"to_dir/file", write_kind::file, 0, "dir/file", 0, ""},
        {"to_dir", write_kind::directory, 0, "dir", 0, ""},
        {"to_sub/../file", write_kind::file, 0, "dir/file", 0, "dir/sub"},
        {"dir/./sub/..", write_kind::directory, 0, "dir", 0, "dir/sub"},
        {"dangling", write_kind::file, 0, "nowhere", ENOENT, ""},
        {"dangling", write_kind::directory, EEXIST, "", ENOENT, ""},
        {"loop", write_kind::file, ELOOP, "", ENOENT, ""},
        {"hop39", write_kind::file, 0, "dir/file", 0, ""},  // 40 links
        {"hop40", write_kind::file, ELOOP, "", ENOENT, ""},
        {std::string(4096, 'n'), write_kind::file, ENAMETOOLONG, "", ENOENT, ""},
    };
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    for (const auto& row : rows) {
        known_directories known;
        const landing lands =
            find_landing(row.path, row.kind, known, [](const std::string& path, const file_facts&) {
                return path.size() < 4 || path.substr(path.size() - 4) != "/sub";
            });
        const auto in_dir = [this](const std::string& path) {
            return path.empty() ? "" : dir_ / path;
        };
        EXPECT_EQ(std::tuple(lands.error, lands.target, lands.looked_up, lands.untrusted),
                  std::tuple(row.error, in_dir(row.target), row.looked_up, in_dir(row.untrusted)))
            << row.path.substr(0, 40);
    }
}

}  // namespace
}  // namespace kest
