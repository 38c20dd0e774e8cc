#include "launcher/prefix/user.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/posix.hpp"

#include "support/test_support.hpp"

namespace pelto::launcher::prefix {
namespace {

using testing::TempDir;
using testing::write_text;

TEST(PrefixUser, NameFromProfileImagePath) {
    TempDir pfx;
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");
    EXPECT_EQ(user_profile_dir(pfx.path(), prefix_user_name(pfx.path())),
              pfx / "drive_c/users/steamuser");

    write_text(pfx / "system.reg", "\"ProfileImagePath\"=\"C:\\\\users\\\\steamuser\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");

    // A value ending in a doubled backslash is skipped; a carriage return does not count.
    write_text(pfx / "system.reg",
               "[Software]\n\"ProfileImagePath\"=\"C:\\\\users\\\\\"\r\n"
               "\"ProfileImagePath\"=\"C:\\\\users\\\\gamer\"\r\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "gamer");
    EXPECT_EQ(user_profile_dir(pfx.path(), prefix_user_name(pfx.path())),
              pfx / "drive_c/users/gamer");

    // Text before the key, or a space inside the 20 characters, makes no candidate.
    write_text(pfx / "system.reg",
               " \"ProfileImagePath\"=\"C:\\\\users\\\\a\"\n\"ProfileImagePath\" =\"b\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");

    write_text(pfx / "system.reg", "\"ProfileImagePath\"=\"C:\\\\users\\\\\xff\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");  // not UTF-8
}

TEST(PrefixUser, EveryChangeOfTheRegistryIsSeen) {
    // The name is reused while the file is the same one, unchanged: a rewrite of the same size
    // within the same second, or another file renamed into place with the very same size and
    // modification time, are both seen.
    TempDir pfx;
    std::string reg = pfx / "system.reg";
    write_text(reg, "\"ProfileImagePath\"=\"C:\\\\users\\\\gamer\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "gamer");
    write_text(reg, "\"ProfileImagePath\"=\"C:\\\\users\\\\other\"\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "other");
    auto before = base::stat_path(reg);
    write_text(pfx / "next.reg", "\"ProfileImagePath\"=\"C:\\\\users\\\\third\"\n");
    struct timespec times[2] = {before->st_mtim, before->st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, (pfx / "next.reg").c_str(), times, 0), 0);
    ASSERT_EQ(base::rename_path(pfx / "next.reg", reg), 0);
    EXPECT_EQ(prefix_user_name(pfx.path()), "third");

    // A registry of many pieces: the line may straddle two of them, and a stray byte after the
    // name still makes the file unusable.
    std::string filler(40000, 'x');
    std::string text = filler + "\n" + std::string(32768 - 40001 % 32768 - 10, 'y') + "\n" +
                       "\"ProfileImagePath\"=\"C:\\\\users\\\\split\"\n" + filler + "\n";
    write_text(reg, text);
    EXPECT_EQ(prefix_user_name(pfx.path()), "split");
    write_text(reg, text + "\xff\n");
    EXPECT_EQ(prefix_user_name(pfx.path()), "steamuser");
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
