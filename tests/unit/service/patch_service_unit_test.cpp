#include "service/patch_service_unit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "base/platform.h"
#include "support/test_support.h"

namespace kest {
namespace {

using testing::commands;
using testing::exists;
using testing::info;
using testing::logged;
using testing::mode_of;
using testing::read_file;
using testing::scratch_dir;
using testing::write_file;

const std::string override_content = "[Service]\nKillMode=process\n";

class patch_service_unit_test : public testing::seam_test {
  protected:
    void SetUp() override {
        seam_test::SetUp();
        unit_ = dir_ / "kest.service";
        dropin_ = unit_ + ".d";
        override_ = dropin_ + "/override.conf";
    }
    void TearDown() override { seam_test::TearDown(); }

    scratch_dir dir_;
    std::string unit_, dropin_, override_;
    std::vector<std::pair<std::string, mode_t>>
        created_;  // paths and the modes they were made with

  private:
    testing::cleared_creation_mask mask_;  // as in the detached updater
};

TEST_F(patch_service_unit_test, unit_without_marker_gets_the_dropin_and_a_reload) {
    write_file(unit_, "[Service]\nExecStart=/usr/sbin/kestd\nKillMode=control-group\n");
    // The modes asked for at creation: anything wider, even if narrowed at once, would let
    // another user plant a drop-in or open the file in between.
    platform::seams.make_directory = [this](const char* path, mode_t mode) {
        created_.emplace_back(path, mode);
        return platform::real::make_directory(path, mode);
    };
    platform::seams.open_file = [this](const char* path, int flags, mode_t mode) {
        created_.emplace_back(path, (flags & O_CREAT) != 0 ? mode : 0);
        return platform::real::open_file(path, flags, mode);
    };
    patch_service_unit(unit_);

    EXPECT_EQ(created_,
              (std::vector<std::pair<std::string, mode_t>>{{dropin_, 0755}, {override_, 0644}}));

    EXPECT_EQ(mode_of(dropin_), 0755u);
    EXPECT_EQ(read_file(override_), override_content);
    EXPECT_EQ(std::filesystem::file_size(override_), 27u);
    EXPECT_EQ(mode_of(override_), 0644u);
    EXPECT_EQ(commands, std::vector<std::string>{"systemctl daemon-reload"});
    EXPECT_EQ(logged, std::vector{info("Patch agent service file")});
}

TEST_F(patch_service_unit_test, existing_dropin_modes_and_content_are_replaced) {
    write_file(unit_, "[Service]\n");
    mkdir(dropin_.c_str(), 0700);
    write_file(override_, "[Service]\nKillMode=mixed\nLimitNOFILE=1\nmore text than before\n",
               0600);
    patch_service_unit(unit_);

    EXPECT_EQ(mode_of(dropin_), 0755u);
    EXPECT_EQ(read_file(override_), override_content);
    EXPECT_EQ(mode_of(override_), 0644u);
}

TEST_F(patch_service_unit_test, marker_anywhere_in_the_unit_counts_and_removes_only_our_dropin) {
    write_file(unit_, "[Service]\n# KillMode=process was set upstream\n");
    mkdir(dropin_.c_str(), 0755);
    write_file(override_, override_content);
    write_file(dropin_ + "/limits.conf", "[Service]\nLimitNOFILE=4096\n");
    patch_service_unit(unit_);

    EXPECT_FALSE(exists(override_));
    EXPECT_EQ(read_file(dropin_ + "/limits.conf"), "[Service]\nLimitNOFILE=4096\n");
    EXPECT_TRUE(commands.empty()) << "no reload when the unit sets the mode itself";
    EXPECT_EQ(logged,
              (std::vector{info("Agent service file patching is not required"),
                           info("Cleaning Agent service file patch from previous version")}));
}

TEST_F(patch_service_unit_test, an_administrators_override_is_kept_and_nothing_is_cleaned) {
    write_file(unit_, "[Service]\nKillMode=process\n");
    mkdir(dropin_.c_str(), 0755);
    const std::vector not_required{info("Agent service file patching is not required")};
    for (const std::string& content :
         {std::string("[Service]\nLimitNOFILE=4096\n"), override_content + "\n", std::string()}) {
        logged.clear();
        write_file(override_, content);
        patch_service_unit(unit_);
        EXPECT_EQ(read_file(override_), content);
        EXPECT_EQ(logged, not_required);
    }
    // Another drop-in alone keeps the directory.
    logged.clear();
    ASSERT_EQ(rename(override_.c_str(), (dropin_ + "/limits.conf").c_str()), 0);
    patch_service_unit(unit_);
    EXPECT_TRUE(exists(dropin_ + "/limits.conf"));
    EXPECT_EQ(logged, not_required);
}

TEST_F(patch_service_unit_test, dropin_left_empty_is_removed) {
    write_file(unit_, "KillMode=process");
    mkdir(dropin_.c_str(), 0755);
    write_file(override_, override_content);
    patch_service_unit(unit_);
    EXPECT_FALSE(exists(dropin_));
    EXPECT_EQ(logged.back(), info("Cleaning Agent service file patch from previous version"));
}

TEST_F(patch_service_unit_test, marker_without_dropin_only_logs) {
    write_file(unit_, "[Service]\nKillMode=process\n");
    patch_service_unit(unit_);
    EXPECT_EQ(logged, std::vector{info("Agent service file patching is not required")});
    EXPECT_TRUE(commands.empty());
}

TEST_F(patch_service_unit_test, marker_is_case_sensitive_and_whole) {
    write_file(unit_, "killmode=process\nKillMode=proces\nKillMode = process\n");
    patch_service_unit(unit_);
    EXPECT_EQ(read_file(override_), override_content);
}

TEST_F(patch_service_unit_test, missing_unit_directory_still_reloads) {
    const std::string unit = dir_ / "absent/kest.service";
    patch_service_unit(unit);
    EXPECT_FALSE(exists(dir_ / "absent"));
    EXPECT_EQ(commands, std::vector<std::string>{"systemctl daemon-reload"});
    EXPECT_EQ(logged, std::vector{info("Patch agent service file")});
}

}  // namespace
}  // namespace kest
