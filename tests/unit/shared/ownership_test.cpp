#include "shared/ownership.h"

#include <gtest/gtest.h>

namespace kest {
namespace {

constexpr uid_t self = 1000;

TEST(ownership_test, only_root_and_self_may_change_or_open) {
    const struct {
        uid_t owner;
        gid_t group;
        mode_t mode;
        bool others_can_change;
    } changes[] = {
        {0, 0, 0755, false},  {self, 100, 0755, false}, {1001, 0, 0700, true},
        {0, 0, 0757, true},   {0, 0, 01777, true},      {0, 0, 0775, false},
        {0, 100, 0775, true}, {0, 100, 0750, false},    {self, 100, 0620, true},
    };
    for (const auto& row : changes) {
        EXPECT_EQ(others_can_change(row.owner, row.group, row.mode, self), row.others_can_change)
            << row.owner << ":" << row.group << " " << std::oct << row.mode;
    }
    const struct {
        uid_t owner;
        mode_t mode;
        bool private_to_self;
    } opens[] = {
        {self, 0600, true},  {self, 01700, true}, {self, 0640, false}, {self, 0610, false},
        {self, 0604, false}, {self, 0601, false}, {0, 0600, false},
    };
    for (const auto& row : opens) {
        EXPECT_EQ(private_to(row.owner, row.mode, self), row.private_to_self)
            << row.owner << " " << std::oct << row.mode;
    }
}

}  // namespace
}  // namespace kest
