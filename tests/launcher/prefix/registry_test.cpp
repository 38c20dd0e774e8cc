#include "launcher/prefix/registry.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/posix.hpp"
#include "support/scoped_mount.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::prefix {
namespace {

using testing::capture_log;
using testing::make_dir;
using testing::read_text;
using testing::ScopedEnv;
using testing::ScopedMount;
using testing::TempDir;
using testing::write_text;

const std::string kSystemStub =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\Machine\n"
    "\n"
    "#arch=win64\n";
const std::string kUserStub =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\User\n"
    "\n"
    "#arch=win64\n";

const std::string kSystemBlock =
    "\n"
    "[Software\\\\Valve\\\\Steam] 1772204972\n"
    "#time=1dca7fb13d11a48\n"
    "\"InstallPath\"=\"C:\\\\Program Files (x86)\\\\Steam\"\n"
    "\"SteamPath\"=\"C:\\\\Program Files (x86)\\\\Steam\"\n"
    "\n";
const std::string kUserBlock =
    "\n"
    "[Software\\\\Valve\\\\Steam] 1772204972\n"
    "#time=1dca7fb13d11a48\n"
    "\"language\"=\"english\"\n"
    "\"SteamExe\"=\"C:\\\\Program Files (x86)\\\\Steam\\\\Steam.exe\"\n"
    "\"SteamPath\"=\"C:\\\\Program Files (x86)\\\\Steam\"\n"
    "\n"
    "[Software\\\\Valve\\\\Steam\\\\ActiveProcess] 1772204972\n"
    "#time=1dca7fb13d11a48\n"
    "\"PID\"=dword:0000fffe\n"
    "\"SteamClientDll\"=\"C:\\\\Program Files (x86)\\\\Steam\\\\steamclient.dll\"\n"
    "\"SteamClientDll64\"=\"C:\\\\Program Files (x86)\\\\Steam\\\\steamclient64.dll\"\n"
    "\"SteamPath\"=\"C:\\\\Program Files (x86)\\\\Steam\"\n"
    "\n";

const std::string kInjectedSystem = "[DEBUG]  Registry: injected Steam InstallPath";
const std::string kInjectedUser = "[DEBUG]  Registry: injected Steam client paths (HKCU)";

void set_mtime(const std::string& path, time_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(Registry, FreshPrefixGetsStubsSteamKeysAndMarker) {
    ASSERT_EQ(kSystemStub.size(), 78u);
    ASSERT_EQ(kUserStub.size(), 75u);
    ASSERT_EQ(kSystemBlock.size(), 152u);
    ASSERT_EQ(kUserBlock.size(), 459u);
    TempDir tree;
    std::string pfx = tree / "compat/pfx";
    auto lines = capture_log([&] { seed_registry(pfx, tree / "bin", tree / "home"); });
    EXPECT_EQ(lines, (std::vector<std::string>{kInjectedSystem, kInjectedUser}));
    EXPECT_EQ(read_text(pfx + "/system.reg"), kSystemStub + kSystemBlock);
    EXPECT_EQ(read_text(pfx + "/user.reg"), kUserStub + kUserBlock);
    EXPECT_EQ(read_text(pfx + "/userdef.reg"), kUserStub);
    std::string marker = read_text(pfx + "/.pelto_registry_seeded");
    EXPECT_EQ(marker, std::to_string(registry_fingerprint(pfx + "/system.reg")) + "," +
                          std::to_string(registry_fingerprint(pfx + "/user.reg")));
    EXPECT_NE(registry_fingerprint(pfx + "/system.reg"), 0u);
    EXPECT_NE(registry_fingerprint(pfx + "/user.reg"), 0u);

    // The marker matches: the next launch does nothing, also with white space around it.
    write_text(pfx + "/.pelto_registry_seeded", " \t" + marker + "\n");
    lines = capture_log([&] { seed_registry(pfx, tree / "bin", tree / "home"); });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(read_text(pfx + "/.pelto_registry_seeded"), " \t" + marker + "\n");

    // Wine rewrote user.reg without the Steam keys; system.reg still holds its key.
    std::string rewritten = kUserStub + "\n[Software\\\\Wine] 1772300000\n";
    write_text(pfx + "/user.reg", rewritten);
    set_mtime(pfx + "/user.reg", 1772300000);
    lines = capture_log([&] { seed_registry(pfx, tree / "bin", tree / "home"); });
    EXPECT_EQ(lines, std::vector<std::string>{kInjectedUser});
    EXPECT_EQ(read_text(pfx + "/system.reg"), kSystemStub + kSystemBlock);
    EXPECT_EQ(read_text(pfx + "/user.reg"), rewritten + kUserBlock);

    // A stale marker over files that hold both keys: nothing is appended, the marker is renewed.
    write_text(pfx + "/.pelto_registry_seeded", "1,2");
    lines = capture_log([&] { seed_registry(pfx, tree / "bin", tree / "home"); });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(read_text(pfx + "/user.reg"), rewritten + kUserBlock);
    EXPECT_NE(read_text(pfx + "/.pelto_registry_seeded"), "1,2");
}

TEST(Registry, FingerprintFollowsSizeAndModificationTime) {
    TempDir tree;
    write_text(tree / "system.reg", "0123456789");
    set_mtime(tree / "system.reg", 1700000000);
    EXPECT_EQ(registry_fingerprint(tree / "system.reg"), 8301130015639406275ull);
    EXPECT_EQ(registry_fingerprint(tree / "missing.reg"), 0u);
}

TEST(Registry, StockRegistryReplacesOnlyStubs) {
    TempDir tree;
    std::string pfx = tree / "pfx";
    std::string home = tree / "home";
    std::string stock_system(2000, 's');
    write_text(home + "/.wine/system.reg", stock_system);
    write_text(home + "/.wine/user.reg", std::string(3000, 'u'));
    write_text(home + "/.wine/userdef.reg", "stock userdef");
    write_text(pfx + "/system.reg", std::string(1023, 'p'));  // still a stub
    std::string own_user(1024, 'q');                          // a real registry
    write_text(pfx + "/user.reg", own_user);

    auto lines = capture_log([&] { seed_registry(pfx, tree / "bin", home); });
    EXPECT_EQ(lines,
              (std::vector<std::string>{"[DEBUG]  Registry: copied stock system.reg (2000 bytes)",
                                        kInjectedSystem, kInjectedUser}));
    EXPECT_EQ(read_text(pfx + "/system.reg"), stock_system + kSystemBlock);
    EXPECT_EQ(read_text(pfx + "/user.reg"), own_user + kUserBlock);
    EXPECT_EQ(read_text(pfx + "/userdef.reg"), "stock userdef");

    // A stock file that cannot be copied is an ERROR for user.reg, silent for userdef.reg.
    TempDir other;
    make_dir(other / "home/.wine/user.reg");
    make_dir(other / "home/.wine/userdef.reg");
    lines = capture_log([&] { seed_registry(other / "pfx", other / "bin", other / "home"); });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[ERROR]  Failed to copy stock user.reg: Is a directory (os error 21)",
                         kInjectedSystem, kInjectedUser}));
}

TEST(Registry, StockRegistryComesFromTheHomeGiven) {
    TempDir tree;
    write_text(tree / "home/.wine/system.reg", std::string(2000, 's'));
    seed_registry(tree / "pfx", tree / "bin", tree / "elsewhere");
    EXPECT_EQ(read_text(tree / "pfx/system.reg").substr(0, kSystemStub.size()), kSystemStub);
    seed_registry(tree / "pfx2", tree / "bin", tree / "home");
    EXPECT_EQ(read_text(tree / "pfx2/system.reg"), std::string(2000, 's') + kSystemBlock);
}

TEST(Registry, BakedTemplateSeedsMissingFilesAndUserFolders) {
    TempDir tree;
    std::string baked = tree / "install/default_pfx";
    std::string install_dir = tree / "install";
    write_text(baked + "/system.reg", std::string(1500, 'b'));
    make_dir(baked + "/user.reg");  // cannot be copied
    write_text(baked + "/userdef.reg", "baked userdef");
    write_text(baked + "/drive_c/users/steamuser/Documents/readme.txt", "not copied");
    make_dir(baked + "/drive_c/users/steamuser/AppData/Roaming");
    make_dir(baked + "/drive_c/users/Public/Music");
    write_text(baked + "/drive_c/users/steamuser/Saved", "");  // a file where a folder will be
    make_dir(baked + "/drive_c/users/steamuser/Saved.d/x");
    std::string pfx = tree / "pfx";
    write_text(pfx + "/userdef.reg", "prefix userdef");
    write_text(pfx + "/drive_c/users/steamuser/Saved.d", "a file in the way");

    EXPECT_EQ(find_baked_template(install_dir), baked);
    auto lines = capture_log([&] { seed_registry(pfx, install_dir, tree / "home"); });
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "[DEBUG]  Prefix: system.reg seeded from " + baked,
                  "[WARN]   Prefix: seeding user.reg from " + baked +
                      " failed: Is a directory (os error 21)",
                  "[WARN]   Prefix: creating " + pfx +
                      "/drive_c/users/steamuser/Saved.d failed: Not a directory (os error 20)",
                  kInjectedSystem, kInjectedUser}));
    EXPECT_EQ(read_text(pfx + "/system.reg"), std::string(1500, 'b') + kSystemBlock);
    EXPECT_EQ(read_text(pfx + "/user.reg"), kUserStub + kUserBlock);
    EXPECT_EQ(read_text(pfx + "/userdef.reg"), "prefix userdef");
    EXPECT_TRUE(base::is_dir(pfx + "/drive_c/users/steamuser/Documents"));
    EXPECT_TRUE(base::is_dir(pfx + "/drive_c/users/steamuser/AppData/Roaming"));
    EXPECT_TRUE(base::is_dir(pfx + "/drive_c/users/Public/Music"));
    EXPECT_FALSE(base::exists(pfx + "/drive_c/users/steamuser/Documents/readme.txt"));
    EXPECT_FALSE(base::exists(pfx + "/drive_c/users/steamuser/Saved"));

    // Without "system.reg" beside the executable, or without a parent, there is no template.
    base::remove_file(baked + "/system.reg");
    EXPECT_EQ(find_baked_template(install_dir), std::nullopt);
    EXPECT_EQ(find_baked_template(""), std::nullopt);
    mirror_dirs(tree / "missing", tree.path(), "mirror");
    EXPECT_FALSE(base::exists(tree / "mirror"));
}

TEST(Registry, KeysNeverReachAFileSharedWithTheTemplate) {
    TempDir tree;
    std::string pfx = tree / "pfx";
    std::string shared = kSystemStub + std::string(2000, ';') + "\n";
    write_text(tree / "template/system.reg", shared);
    make_dir(pfx);
    ASSERT_EQ(base::hard_link(tree / "template/system.reg", pfx + "/system.reg"), 0);
    auto lines = capture_log([&] { seed_registry(pfx, tree / "bin", tree / "home"); });
    EXPECT_EQ(lines, (std::vector<std::string>{kInjectedSystem, kInjectedUser}));
    EXPECT_EQ(read_text(tree / "template/system.reg"), shared);
    EXPECT_EQ(read_text(pfx + "/system.reg"), shared + kSystemBlock);
    EXPECT_EQ(base::stat_path(pfx + "/system.reg")->st_nlink, 1u);
}

TEST(Registry, UnwritablePrefixIsLeftAloneQuietly) {
    TempDir tree;
    ScopedMount mount(tree / "pfx", "size=64k");
    ASSERT_TRUE(mount.ok());
    make_dir(tree / "pfx/user.reg");  // not a file: it cannot be appended to
    ASSERT_TRUE(mount.make_read_only());
    auto lines = capture_log([&] { seed_registry(tree / "pfx", tree / "bin", tree / "home"); });
    EXPECT_TRUE(lines.empty());
    // Nothing was created through the failed stub write, and the directory is untouched.
    EXPECT_FALSE(base::exists(tree / "pfx/system.reg"));
    EXPECT_TRUE(base::is_dir(tree / "pfx/user.reg"));
}

}  // namespace
}  // namespace pelto::launcher::prefix
