#include "launcher/prefix/drives.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/posix.hpp"
#include "launcher/prefix/user.hpp"
#include "support/scoped_mount.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::prefix {
namespace {

using testing::capture_log;
using testing::inode_of;
using testing::make_dir;
using testing::make_link;
using testing::ScopedEnv;
using testing::ScopedMount;
using testing::TempDir;
using testing::write_text;

TEST(Drives, DriveLinksAreMadeOnlyWhereMissing) {
    TempDir tree;
    std::string pfx = tree / "pfx";
    EXPECT_TRUE(capture_log([&] { create_drive_links(pfx); }).empty());
    EXPECT_EQ(base::read_link(pfx + "/dosdevices/c:"), "../drive_c");
    EXPECT_EQ(base::read_link(pfx + "/dosdevices/z:"), "/");

    // A real directory for c: and a link elsewhere for z: stay as they are.
    TempDir other;
    std::string kept = other / "pfx";
    make_dir(kept + "/dosdevices/c:");
    make_link("/mnt", kept + "/dosdevices/z:");
    EXPECT_TRUE(capture_log([&] { create_drive_links(kept); }).empty());
    EXPECT_TRUE(base::is_dir(kept + "/dosdevices/c:"));
    EXPECT_FALSE(base::read_link(kept + "/dosdevices/c:"));
    EXPECT_EQ(base::read_link(kept + "/dosdevices/z:"), "/mnt");

    // A dangling c: is no drive Wine can use: it becomes the link to drive_c.
    base::remove_tree(kept + "/dosdevices/c:");
    make_link("../gone", kept + "/dosdevices/c:");
    EXPECT_TRUE(capture_log([&] { create_drive_links(kept); }).empty());
    EXPECT_EQ(base::read_link(kept + "/dosdevices/c:"), "../drive_c");

    // A file where the drive directory should be; a drive directory that is a link out of the
    // prefix gets no links made in it.
    TempDir blocked;
    write_text(blocked / "pfx/dosdevices", "");
    EXPECT_EQ(capture_log([&] { create_drive_links(blocked / "pfx"); }),
              (std::vector<std::string>{
                  "[ERROR]  Cannot create dosdevices dir: Not a directory (os error 20) — drive "
                  "mappings will fail",
                  "[ERROR]  Cannot create c: drive symlink: Not a directory (os error 20)",
                  "[ERROR]  Cannot create z: drive symlink: Not a directory (os error 20)"}));
    TempDir elsewhere;
    make_link(elsewhere.path(), other / "linked/dosdevices");
    EXPECT_EQ(
        capture_log([&] { create_drive_links(other / "linked"); }),
        (std::vector<std::string>{
            "[ERROR]  Cannot create dosdevices dir: " + (other / "linked/dosdevices") +
                " is a link that leads out of " + (other / "linked") +
                " — drive mappings will fail",
            "[ERROR]  Cannot create c: drive symlink: Invalid cross-device link (os error 18)",
            "[ERROR]  Cannot create z: drive symlink: Invalid cross-device link (os error 18)"}));
    EXPECT_FALSE(base::lstat_path(elsewhere / "c:"));
}

TEST(Drives, UserFoldersFollowThePrefixUserName) {
    TempDir tree;
    std::string pfx = tree / "pfx";
    write_text(pfx + "/system.reg",
               "WINE REGISTRY Version 2\n\"ProfileImagePath\"=\"C:\\\\users\\\\gamer\"\r\n");
    write_text(pfx + "/drive_c/users/gamer/Music", "a file in the way");
    EXPECT_TRUE(capture_log([&] { create_user_folders(pfx, prefix_user_name(pfx)); }).empty());
    std::string profile = pfx + "/drive_c/users/gamer";
    for (std::string folder :
         {"AppData/Roaming", "AppData/Local/Microsoft/Windows/INetCache",
          "AppData/Local/Microsoft/Windows/History", "AppData/Local/Microsoft/Windows/INetCookies",
          "AppData/LocalLow", "Desktop", "Documents", "Downloads", "Pictures", "Videos", "Temp"}) {
        EXPECT_TRUE(base::is_dir(profile + "/" + folder)) << folder;
    }
    EXPECT_TRUE(base::is_dir(pfx + "/drive_c/users/Public/Desktop"));
    EXPECT_TRUE(base::is_dir(pfx + "/drive_c/users/Public/Documents"));
    EXPECT_FALSE(base::exists(pfx + "/drive_c/users/steamuser"));

    // Folders linked outside the prefix (as wineboot links Documents into the home) get
    // nothing created in them; a link that stays inside is followed.
    TempDir outside;
    base::remove_tree(profile + "/AppData");
    base::remove_tree(profile + "/Documents");
    make_link(outside.path(), profile + "/AppData");
    make_link(outside / "docs", profile + "/Documents");
    base::remove_tree(pfx + "/drive_c/users/Public");
    testing::make_dir(pfx + "/drive_c/shared");
    make_link("../shared", pfx + "/drive_c/users/Public");
    EXPECT_TRUE(capture_log([&] { create_user_folders(pfx, "gamer"); }).empty());
    EXPECT_TRUE(base::list_dir(outside.path()).empty());
    EXPECT_TRUE(base::is_dir(pfx + "/drive_c/shared/Desktop"));
}

TEST(Drives, SDriveFollowsTheGamesLibrary) {
    TempDir tree;
    std::string pfx = tree / "pfx";
    std::string link = pfx + "/dosdevices/s:";
    make_dir(pfx + "/dosdevices");
    auto map = [&](const std::string& install, const std::string& list) {
        return capture_log([&] { map_s_drive(pfx, install, list); });
    };

    // The first item contained anywhere in the install path wins, not the longest one; an
    // item that does not name a "steamapps" directory is used as written.
    make_dir(tree / "games/lib/steamapps/common/X");
    std::string install = tree / "games/lib/steamapps/common/X";
    EXPECT_TRUE(map(install, ":" + tree / "games" + "::" + tree / "games/lib").empty());
    EXPECT_EQ(base::read_link(link), tree / "games");
    make_link(tree / "games", tree / "alias");
    EXPECT_TRUE(map(tree / "alias/lib/steamapps/common/X", tree / "alias/").empty());
    EXPECT_EQ(base::read_link(link), tree / "alias/");

    // A "steamapps" item with a writable parent on the same device maps to the library root
    // in canonical form.
    std::string canonical_root = *base::canonical(tree / "games/lib");
    EXPECT_TRUE(map(tree / "alias/lib/steamapps/common/X", tree / "alias/lib/steamapps").empty());
    EXPECT_EQ(base::read_link(link), canonical_root);

    // Already pointing there (compared by components): left alone, not recreated.
    base::remove_file(link);
    make_link(canonical_root + "//", link);
    ino_t before = inode_of(link);
    EXPECT_TRUE(map(install, tree / "games/lib/steamapps").empty());
    EXPECT_EQ(inode_of(link), before);
    EXPECT_EQ(base::read_link(link), canonical_root + "//");

    // "steamapps" on a file system of its own: the item as written.
    ScopedMount mounted(tree / "mnt/steamapps", "size=64k");
    ASSERT_TRUE(mounted.ok());
    EXPECT_TRUE(map(tree / "mnt/steamapps/common/Y", tree / "mnt/steamapps").empty());
    EXPECT_EQ(base::read_link(link), tree / "mnt/steamapps");

    // A library root that cannot be written (a read-only mount): the item as written.
    ScopedMount read_only(tree / "ro", "size=64k");
    ASSERT_TRUE(read_only.ok());
    make_dir(tree / "ro/steamapps/common/Z");
    ASSERT_TRUE(read_only.make_read_only());
    EXPECT_TRUE(map(tree / "ro/steamapps/common/Z", tree / "ro/steamapps").empty());
    EXPECT_EQ(base::read_link(link), tree / "ro/steamapps");

    // A library that does not exist is linked as written.
    EXPECT_TRUE(map("/nowhere/steamapps/common/W", "/nowhere/steamapps").empty());
    EXPECT_EQ(base::read_link(link), "/nowhere/steamapps");

    // No matching library, or no list: the link goes.
    EXPECT_TRUE(map(install, "/elsewhere").empty());
    EXPECT_FALSE(base::lstat_path(link));
    EXPECT_TRUE(map(install, "").empty());
    EXPECT_FALSE(base::lstat_path(link));

    // The link cannot be made: one WARN line.
    base::remove_tree(pfx + "/dosdevices");
    EXPECT_EQ(map(install, tree / "games"),
              std::vector<std::string>{"[WARN]   Cannot map S: to " + tree / "games" +
                                       ": No such file or directory (os error 2)"});
}

}  // namespace
}  // namespace pelto::launcher::prefix
