#include "launcher/prefix/user.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace pelto::launcher::prefix {
namespace {

using testing::TempDir;
using testing::write_text;

TEST(PrefixUser, NameFromProfileImagePath) {
    TempDir pfx;
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");
    EXPECT_EQ(user_profile_dir(pfx.path()), pfx / "drive_c/users/steamuser");

    write_text(pfx / "system.reg", "\"ProfileImagePath\"=\"C:\\\\users\\\\steamuser\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");

    // A value ending in a doubled backslash is skipped; a carriage return does not count.
    write_text(pfx / "system.reg",
               "[Software]\n\"ProfileImagePath\"=\"C:\\\\users\\\\\"\r\n"
               "\"ProfileImagePath\"=\"C:\\\\users\\\\gamer\"\r\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "gamer");
    EXPECT_EQ(user_profile_dir(pfx.path()), pfx / "drive_c/users/gamer");

    // Text before the key, or a space inside the 20 characters, makes no candidate.
    write_text(pfx / "system.reg",
               " \"ProfileImagePath\"=\"C:\\\\users\\\\a\"\n\"ProfileImagePath\" =\"b\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");

    write_text(pfx / "system.reg", "\"ProfileImagePath\"=\"C:\\\\users\\\\\xff\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");  // not UTF-8
}

TEST(PrefixUser, ANameThatWouldLeaveThePrefixIsNotUsed) {
    TempDir pfx;
    write_text(pfx / "system.reg",
               "\"ProfileImagePath\"=\"C:\\\\users\\\\../../../../home/x\"\n"
               "\"ProfileImagePath\"=\"C:\\\\users\\\\..\"\n"
               "\"ProfileImagePath\"=\"C:\\\\users\\\\player\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "player");
    write_text(pfx / "system.reg", "\"ProfileImagePath\"=\"C:\\\\users\\\\.\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");
}

}  // namespace
}  // namespace pelto::launcher::prefix
