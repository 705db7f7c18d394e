#include "shared/walk_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/unique_fd.h"
#include "support/test_support.h"

namespace kest {
namespace {

class walk_tree_test : public testing::seam_test {
  protected:
    // Makes `entries` below the top: "NAME/" a directory, "NAME>TARGET" a symbolic link, any
    // other a file.
    void make(const std::vector<std::string>& entries) {
        for (const std::string& entry : entries) {
            if (entry.back() == '/') {
                ASSERT_EQ(mkdir((top_ + "/" + entry).c_str(), 0755), 0) << entry;
            } else if (entry.find('>') != std::string::npos) {
                ASSERT_EQ(symlink(entry.substr(entry.find('>') + 1).c_str(),
                                  (top_ + "/" + entry.substr(0, entry.find('>'))).c_str()),
                          0);
            } else {
                testing::write_file(top_ + "/" + entry, "");
            }
        }
    }
    // Walks the top, noting each step by its path below the top; whether the walk went through.
    bool walk() {
        const auto below = [this](const std::string& path) { return path.substr(top_.size()); };
        const auto note = [&](const char* step, const walk_entry& entry) {
            steps_.push_back(step + below(entry.source));
            return walk_step::go_on;
        };
        return walk_tree(
            top_, "", "",
            {[&](const std::string& source) { steps_.push_back("enter " + below(source)); },
             nullptr, [&](const walk_entry& entry) { return note("directory ", entry); }, nullptr,
             [&](const walk_entry& entry) { return note("file ", entry); },
             [&](const std::string& source) { steps_.push_back("loop " + below(source)); },
             [&](const std::string& source, int error) {
                 steps_.push_back("unreadable " + below(source) + " " + std::to_string(error));
             },
             [&](const std::string&) { steps_.push_back("too large"); }});
    }
    long count(const std::string& beginning) const {
        return std::count_if(steps_.begin(), steps_.end(), [&](const std::string& step) {
            return step.rfind(beginning, 0) == 0;
        });
    }

    testing::scratch_dir dir_{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"};
    std::string top_ = dir_ / "top";
    std::vector<std::string> steps_;
};

TEST_F(walk_tree_test, entries_are_walked_depth_first_loops_cut_and_unreadable_ones_stop_it) {
    const struct {
        std::vector<std::string> entries;
        int status_error;  // of /f
        bool walked;
        std::vector<std::string> steps;
    } rows[] = {
        {{"a/", "a/f"}, 0, true, {"enter ", "enter /a", "directory /a", "file /a/f"}},
        {{"up>."}, 0, true, {"enter ", "loop /up"}},
        {{"a/", "a/up>.."}, 0, true, {"enter ", "enter /a", "directory /a", "loop /a/up"}},
        {{"none>nowhere", "self>self", "device>/dev/null"}, 0, true, {"enter "}},
        {{"f"}, ENOENT, true, {"enter "}},
        {{"f"}, EIO, false, {"enter ", "unreadable /f 5"}},
        {{"f"}, EACCES, false, {"enter ", "unreadable /f 13"}},
    };
    for (const auto& row : rows) {
        const testing::scratch_dir tree(dir_.path());
        top_ = tree.path();
        steps_.clear();
        make(row.entries);
        platform::seams.status_of = [&](const char* path, struct stat* status) {
            errno = row.status_error;
            return row.status_error != 0 && path == top_ + "/f"
                       ? -1
                       : platform::real::status_of(path, status);
        };
        EXPECT_EQ(walk(), row.walked) << row.entries.back();
        EXPECT_EQ(steps_, row.steps);
    }
}

TEST_F(walk_tree_test, walk_ends_at_the_ninth_entry_through_links_or_beyond_a_million) {
    ASSERT_EQ(mkdir(top_.c_str(), 0755), 0);
    make({"d/", "d/f", "l1>d", "l2>d", "l3>d", "l4>d", "l5>d", "l6>d", "l7>d", "l8>d"});
    EXPECT_TRUE(walk());
    EXPECT_EQ(count("file "), 9) << "d/f, and through each link";
    make({"l9>d"});
    steps_.clear();
    EXPECT_FALSE(walk());
    EXPECT_EQ(count("too large"), 1);
    ASSERT_EQ(unlink((top_ + "/l9").c_str()), 0);
    // Each entry counts where the walk meets it: the top's 10, then d's 111110 nine times.
    const unique_fd d(open((top_ + "/d").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 1; i < 111110; ++i) {
        const unique_fd file(
            openat(d.get(), std::to_string(i).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_TRUE(file.valid());
    }
    // Their status read once: what matters here is the count.
    struct stat file {};
    ASSERT_EQ(stat((top_ + "/d/f").c_str(), &file), 0);
    platform::seams.status_of = [&](const char* path, struct stat* status) {
        const bool in_d = std::string(path).find('/', top_.size() + 1) != std::string::npos;
        return in_d ? (*status = file, 0) : platform::real::status_of(path, status);
    };
    make({"extra"});
    steps_.clear();
    EXPECT_TRUE(walk()) << "1000000 entries";
    make({"more"});
    steps_.clear();
    EXPECT_FALSE(walk()) << "1000001 entries";
    EXPECT_EQ(count("too large"), 1);
}

}  // namespace
}  // namespace kest
