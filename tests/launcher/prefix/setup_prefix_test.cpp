#include "launcher/prefix/setup_prefix.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "base/posix.hpp"
#include "base/text.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::prefix {
namespace {

using testing::capture_log;
using testing::make_dir;
using testing::make_link;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

const std::string kRealLibrary = "/lib/x86_64-linux-gnu/libm.so.6";

// A Wine root whose loader is a stand-in script: it records its arguments and environment
// beside the prefix and ends as STANDIN_END says (an exit code, or "signal").
struct Stage {
    std::string root, wine, wine64, install, own_exe, compat, pfx, home;
    std::vector<base::EnvChange> env;

    explicit Stage(const TempDir& tree)
        : root(tree.path()),
          wine(tree / "wine"),
          wine64(wine + "/bin/wine64"),
          install(tree / "install"),
          own_exe(install + "/pelto"),
          compat(tree / "compat"),
          pfx(compat + "/pfx"),
          home(tree / "home") {
        make_dir(wine + "/lib/wine/x86_64-unix");
        make_dir(wine + "/share/wine");
        // The stand-in server notes how it was called.
        write_text(wine + "/bin/wineserver",
                   "#!/bin/sh\necho \"$1\" >> \"$WINEPREFIX/../server.calls\"\n");
        ::chmod((wine + "/bin/wineserver").c_str(), 0755);
        write_text(
            wine64,
            "#!/bin/sh\n"
            "echo \"$@\" > \"$WINEPREFIX/../wineboot.args\"\n"
            "env > \"$WINEPREFIX/../wineboot.env\"\n"
            "cat \"$WINEPREFIX/.update-timestamp\" > \"$WINEPREFIX/../stamp.seen\" 2>/dev/null\n"
            // Wine writes its stamp as it begins an update.
            "echo 1676758571 > \"$WINEPREFIX/.update-timestamp\"\n"
            "case \"$STANDIN_END\" in\n"
            "  signal) kill -KILL $$ ;;\n"
            "  *) exit \"${STANDIN_END:-0}\" ;;\n"
            "esac\n");
        ::chmod(wine64.c_str(), 0755);
        write_text(install + "/lib/wine/x86_64-windows/steam.exe", "bridge");
        make_dir(home);
    }

    // What the launcher's environment holds beyond the test process's own.
    void set(const std::string& name, const std::string& value) { env.push_back({name, value}); }
    void unset(const std::string& name) { env.push_back({name, std::nullopt}); }

    // The prefix task as the driver runs it, with the facts it found in the environment.
    std::vector<std::string> run(bool wine_unchanged, const std::string& loader = "",
                                 const core::LaunchLock* lock = nullptr) const {
        core::LaunchContext context;
        context.verbose = true;  // the player's switch: Wine's +process,err channels
        context.env = core::take_env_snapshot(base::child_environment(env));
        context.prefix = pfx;
        context.own_exe = own_exe;
        context.install_dir = install;
        context.home.value = context.env.text("HOME");
        context.game_install_path = context.env.text_or("STEAM_COMPAT_INSTALL_PATH", "");
        context.library_paths = context.env.text_or("STEAM_COMPAT_LIBRARY_PATHS", "");
        core::WineInstall build{wine, loader.empty() ? wine64 : loader, core::wineserver_path(wine),
                                std::nullopt, wine};
        core::WineProcessEnv wine_env{pfx, std::nullopt, context.env.entries,
                                      context.env.text("WINEDLLOVERRIDES")};
        return capture_log([&] { setup_prefix(context, build, wine_unchanged, wine_env, lock); });
    }

    bool wineboot_ran() const { return base::exists(compat + "/wineboot.env"); }

    std::map<std::string, std::string> wineboot_env() const {
        std::map<std::string, std::string> seen;
        std::string text = read_text(compat + "/wineboot.env");
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(pos, end - pos);
            size_t eq = line.find('=');
            if (eq != std::string::npos) seen[line.substr(0, eq)] = line.substr(eq + 1);
            pos = end + 1;
        }
        return seen;
    }
};

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(SetupPrefix, WinebootRunsWithTheWineEnvironment) {
    TempDir tree;
    Stage s(tree);
    write_text(s.pfx + "/system.reg", "\"ProfileImagePath\"=\"C:\\\\users\\\\gamer\"\n");
    std::string noassert =
        s.home + "/.local/share/Steam/compatibilitytools.d/pelto/lib/noassert.so";
    make_dir(*base::parent_dir(noassert));
    ASSERT_EQ(base::copy_file(kRealLibrary, noassert), 0);
    make_dir(s.pfx + "/dosdevices");
    make_dir(tree / "library/steamapps/common/Game");
    s.set("HOME", s.home);
    s.set("LD_PRELOAD", "/opt/steam/gameoverlayrenderer.so::" + kRealLibrary);
    s.unset("WINEDEBUG");
    s.unset("STANDIN_END");
    s.set("STEAM_COMPAT_INSTALL_PATH", tree / "library/steamapps/common/Game");
    s.set("STEAM_COMPAT_LIBRARY_PATHS", tree / "library/steamapps");
    // The player's overrides reach wineboot (the one that offers to install Mono and Gecko).
    s.set("WINEDLLOVERRIDES", "mscoree,mshtml=");

    auto lines = s.run(false);
    EXPECT_TRUE(contains(lines, "[DEBUG]  No default_pfx template, running wineboot --init..."));
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("[ERROR]"), std::string::npos) << line;
    EXPECT_EQ(read_text(s.compat + "/wineboot.args"), "wineboot --init\n");
    auto child = s.wineboot_env();
    EXPECT_EQ(child["WINEPREFIX"], s.pfx);
    EXPECT_EQ(child["USER"], "gamer");
    EXPECT_EQ(child["WINESERVER"], s.wine + "/bin/wineserver");
    EXPECT_EQ(child["LD_LIBRARY_PATH"],
              core::library_search_path(s.wine, base::env_text("LD_LIBRARY_PATH")));
    EXPECT_EQ(child["WINELOADER"], s.wine64);
    EXPECT_EQ(child["WINEDLLPATH"], core::wine_dll_search_path(s.wine));
    EXPECT_EQ(child["WINEDLLDIR0"], "\\??\\Z:" + s.wine + "/lib/wine");
    EXPECT_EQ(child["WINEDEBUG"], "+process,err");  // the player's switch is on
    EXPECT_EQ(child["WINEDLLOVERRIDES"],
              "mscoree,mshtml=;winemenubuilder.exe=d");  // none into HOME
    EXPECT_EQ(child["LD_PRELOAD"], kRealLibrary + ":" + noassert);
    // wineboot ran in a server of the launch's own, which the game does not wait for.
    EXPECT_EQ(read_text(s.compat + "/server.calls"), "-p0\n");

    // The prefix was made around wineboot: bridge, folders, drives, marker.
    EXPECT_EQ(read_text(s.pfx + "/drive_c/windows/system32/steam.exe"), "bridge");
    EXPECT_TRUE(base::is_dir(s.pfx + "/drive_c/users/gamer/AppData/Roaming"));
    EXPECT_TRUE(base::is_dir(s.pfx + "/drive_c/Program Files (x86)"));
    EXPECT_TRUE(base::is_dir(s.pfx + "/drive_c/windows/syswow64"));
    EXPECT_EQ(base::read_link(s.pfx + "/dosdevices/c:"), "../drive_c");
    EXPECT_EQ(base::read_link(s.pfx + "/dosdevices/s:"), *base::canonical(tree / "library"));
    EXPECT_EQ(read_text(s.pfx + "/.update-timestamp"), "disable\n");
}

TEST(SetupPrefix, WinebootPreloadDropsTheOverlayAndFallsBackBesideTheLauncher) {
    TempDir tree;
    Stage s(tree);
    s.set("HOME", s.home);
    s.set("WINEDEBUG", "warn+module");
    s.unset("STANDIN_END");
    // Only the Steam overlay, and no noassert.so anywhere: no LD_PRELOAD at all.
    s.set("LD_PRELOAD", "/opt/steam/gameoverlayrenderer.so");
    s.run(false);
    auto child = s.wineboot_env();
    EXPECT_EQ(child.count("LD_PRELOAD"), 0u);
    EXPECT_EQ(child["WINEDEBUG"], "warn+module");

    // noassert.so beside the launcher is the fallback.
    base::remove_file(s.compat + "/wineboot.env");
    make_dir(s.install + "/lib");
    ASSERT_EQ(base::copy_file(kRealLibrary, s.install + "/lib/noassert.so"), 0);
    s.run(false);
    EXPECT_EQ(s.wineboot_env()["LD_PRELOAD"], s.install + "/lib/noassert.so");
}

TEST(SetupPrefix, AFailedOrStoppedWinebootLeavesNoStampAndSparesAnotherLaunchsSession) {
    TempDir tree;
    Stage s(tree);
    s.set("HOME", s.home);
    s.set("STANDIN_END", "3");
    // An earlier setup's stamp would make wineboot skip the registry: it goes first.
    write_text(s.pfx + "/.update-timestamp", "disable\n");
    auto lines = s.run(false);
    EXPECT_TRUE(contains(lines, "[ERROR]  wineboot --init failed with exit code 3"))
        << lines.size();
    EXPECT_FALSE(base::exists(s.compat + "/stamp.seen") &&
                 !read_text(s.compat + "/stamp.seen").empty());
    // Neither the launcher's stamp nor the one Wine wrote as it began stays: the next launch's
    // wineboot builds the whole prefix. A failed wineboot may never have reached the server,
    // which would then wait for good: it is ended.
    EXPECT_FALSE(base::lstat_path(s.pfx + "/.update-timestamp"));
    EXPECT_EQ(read_text(s.compat + "/server.calls"), "-p0\n-k\n");

    s.set("STANDIN_END", "signal");
    lines = s.run(false);
    EXPECT_TRUE(contains(lines, "[ERROR]  wineboot --init was ended by signal 9"));
    EXPECT_FALSE(base::lstat_path(s.pfx + "/.update-timestamp"));

    lines = s.run(false, tree / "wine/bin/missing-loader");
    EXPECT_TRUE(
        contains(lines, "[ERROR]  Failed to run wineboot: No such file or directory (os error 2)"));
    EXPECT_FALSE(base::lstat_path(s.pfx + "/.update-timestamp"));

    // Another launch of the prefix may be playing in that server (a launch without the lock
    // cannot tell): it stays.
    base::remove_file(s.compat + "/server.calls");
    s.set("STANDIN_END", "3");
    core::LaunchLock no_lock;
    lines = s.run(false, "", &no_lock);
    EXPECT_EQ(read_text(s.compat + "/server.calls"), "-p0\n");
    EXPECT_TRUE(contains(
        lines, "[DEBUG]  another launch of this prefix is running — its Wine session stays"));

    // Once wineboot succeeds, the prefix is done and stamped.
    s.unset("STANDIN_END");
    s.run(false);
    EXPECT_EQ(read_text(s.pfx + "/.update-timestamp"), "disable\n");
}

TEST(SetupPrefix, UnchangedWineOnlyRefreshesFoldersAndSDrive) {
    TempDir tree;
    Stage s(tree);
    write_text(s.wine + "/share/default_pfx/system.reg", "template registry");
    write_text(s.wine + "/share/default_pfx/drive_c/windows/win.ini", "ini");
    make_dir(s.pfx + "/dosdevices");
    make_dir(tree / "lib/common/G");
    s.set("STEAM_COMPAT_INSTALL_PATH", tree / "lib/common/G");
    s.set("STEAM_COMPAT_LIBRARY_PATHS", tree / "lib");
    s.unset("STANDIN_END");

    EXPECT_TRUE(s.run(true).empty());
    EXPECT_TRUE(base::is_dir(s.pfx + "/drive_c/users/steamuser/Documents"));
    EXPECT_TRUE(base::is_dir(s.pfx + "/drive_c/users/Public/Desktop"));
    EXPECT_EQ(base::read_link(s.pfx + "/dosdevices/s:"), tree / "lib");
    EXPECT_FALSE(base::exists(s.pfx + "/system.reg"));
    EXPECT_FALSE(base::exists(s.pfx + "/drive_c/windows/win.ini"));
    EXPECT_FALSE(base::exists(s.pfx + "/drive_c/windows/system32/steam.exe"));
    EXPECT_FALSE(base::lstat_path(s.pfx + "/dosdevices/c:"));
    EXPECT_FALSE(base::exists(s.pfx + "/.update-timestamp"));
    EXPECT_FALSE(s.wineboot_ran());
}

TEST(SetupPrefix, SharedTemplateSetsUpAndRepairs) {
    TempDir tree;
    Stage s(tree);
    std::string shared = s.wine + "/share/default_pfx";
    write_text(shared + "/system.reg", "template registry");
    const std::string template_user = "template user" + std::string(2000, '.');  // Wine's are large
    write_text(shared + "/user.reg", template_user);
    write_text(shared + "/drive_c/windows/win.ini", "ini");
    write_text(shared + "/.update-timestamp", "1676758571\n");  // as wineboot leaves it
    s.unset("STANDIN_END");

    // The registry task ran first and left its stub: the template's registry replaces it (a
    // copy of its own, with the Steam keys injected again) instead of the stub staying for good.
    write_text(s.pfx + "/user.reg", "WINE REGISTRY Version 2\n");
    auto lines = s.run(false);
    EXPECT_TRUE(contains(lines, "[DEBUG]  Setting up prefix from template..."));
    EXPECT_TRUE(contains(lines, "[DEBUG]  Prefix: system.reg taken from the template"));
    EXPECT_TRUE(contains(lines, "[DEBUG]  Prefix: user.reg taken from the template"));
    EXPECT_TRUE(contains(lines, "[DEBUG]  Prefix: 2 files deployed"));
    EXPECT_EQ(read_text(s.pfx + "/system.reg")
                  .rfind("template registry\n[Software\\\\Valve\\\\Steam]", 0),
              0u)
        << read_text(s.pfx + "/system.reg");
    EXPECT_NE(read_text(s.pfx + "/user.reg").find("Valve\\\\Steam\\\\ActiveProcess"),
              std::string::npos);
    EXPECT_EQ(read_text(shared + "/system.reg"), "template registry");
    EXPECT_EQ(read_text(shared + "/user.reg"), template_user);
    EXPECT_EQ(read_text(s.pfx + "/drive_c/windows/win.ini"), "ini");
    EXPECT_EQ(base::read_link(s.pfx + "/dosdevices/z:"), "/");
    // The marker replaces the linked-in template file instead of writing into it.
    EXPECT_EQ(read_text(s.pfx + "/.update-timestamp"), "disable\n");
    EXPECT_EQ(read_text(shared + "/.update-timestamp"), "1676758571\n");
    EXPECT_FALSE(s.wineboot_ran());

    // The prefix's own registry stays; only the lost file returns.
    base::remove_file(s.pfx + "/system.reg");
    const std::string own_registry = "prefix registry" + std::string(2000, '.');
    write_text(s.pfx + "/system.reg", own_registry);
    base::remove_file(s.pfx + "/drive_c/windows/win.ini");
    lines = s.run(false);
    EXPECT_TRUE(contains(lines, "[DEBUG]  Repairing prefix from template..."));
    EXPECT_TRUE(contains(lines, "[DEBUG]  Prefix: 1 files deployed"));
    EXPECT_EQ(read_text(s.pfx + "/system.reg"), own_registry);
    EXPECT_EQ(read_text(s.pfx + "/drive_c/windows/win.ini"), "ini");

    // Nothing missing: no "files deployed" line.
    lines = s.run(false);
    EXPECT_TRUE(contains(lines, "[DEBUG]  Repairing prefix from template..."));
    for (const std::string& line : lines) EXPECT_EQ(line.find("files deployed"), std::string::npos);
}

TEST(SetupPrefix, BakedTemplateSeedsWbemInsteadOfWineboot) {
    TempDir tree;
    Stage s(tree);
    std::string baked = s.install + "/default_pfx";
    write_text(baked + "/system.reg", "baked registry");
    std::string wbem = baked + "/drive_c/windows/system32/wbem";
    write_text(wbem + "/wbemcore.dll", "wbemcore");
    write_text(wbem + "/sub/x.mof", "x");
    write_text(baked + "/shared/target.mof", "target");
    make_link("../../../../shared/target.mof", wbem + "/linked.mof");
    make_link("../missing.mof", wbem + "/dangling.mof");
    write_text(baked + "/drive_c/windows/syswow64/wbem/y.dll", "y");
    make_dir(s.pfx + "/drive_c/windows/syswow64/wbem");  // already there: not copied
    s.unset("STANDIN_END");

    auto lines = s.run(false);
    EXPECT_TRUE(contains(lines, "[DEBUG]  Prefix: seeded wbem from baked template " + baked));
    for (const std::string& line : lines) EXPECT_EQ(line.find("failed to seed"), std::string::npos);
    EXPECT_FALSE(s.wineboot_ran());
    std::string seeded = s.pfx + "/drive_c/windows/system32/wbem";
    EXPECT_EQ(read_text(seeded + "/wbemcore.dll"), "wbemcore");
    EXPECT_EQ(read_text(seeded + "/sub/x.mof"), "x");
    auto linked = base::lstat_path(seeded + "/linked.mof");
    ASSERT_TRUE(linked);
    EXPECT_TRUE(S_ISREG(linked->st_mode));
    EXPECT_EQ(read_text(seeded + "/linked.mof"), "target");
    EXPECT_FALSE(base::lstat_path(seeded + "/dangling.mof"));
    EXPECT_FALSE(base::exists(s.pfx + "/drive_c/windows/syswow64/wbem/y.dll"));
    EXPECT_EQ(read_text(s.pfx + "/.update-timestamp"), "disable\n");

    // A wbem directory that cannot be copied is a DEBUG line, and the summary still follows.
    base::remove_tree(seeded);
    make_link(s.root, wbem + "/folder_link");  // a link to a directory is copied as a file: fails
    lines = s.run(false);
    EXPECT_TRUE(contains(lines,
                         "[DEBUG]  Prefix: failed to seed drive_c/windows/system32/wbem: "
                         "Is a directory (os error 21)"));
    EXPECT_TRUE(contains(lines, "[DEBUG]  Prefix: seeded wbem from baked template " + baked));
    EXPECT_FALSE(base::lstat_path(seeded)) << "the half-seeded directory is removed again";

    // A prefix whose system32 leads out of it: one WARN line, nothing written out there.
    base::remove_file(wbem + "/folder_link");
    std::string outside = tree / "outside-system32";
    make_dir(outside);
    base::remove_tree(s.pfx + "/drive_c/windows/system32");
    make_link(outside, s.pfx + "/drive_c/windows/system32");
    lines = s.run(false);
    EXPECT_TRUE(
        contains(lines, "[WARN]   Prefix: drive_c/windows/system32/wbem not seeded: " + s.pfx +
                            "/drive_c/windows/system32 is a link that leads out of " + s.pfx));
    EXPECT_FALSE(base::lstat_path(outside + "/wbem"));
}

TEST(SetupPrefix, CopyTreeStopsAtTheFirstError) {
    TempDir tree;
    write_text(tree / "src/a.txt", "new a");
    write_text(tree / "src/run.sh", "#!/bin/sh\n");
    ::chmod((tree / "src/run.sh").c_str(), 0751);
    write_text(tree / "src/deep/er/b.txt", "b");
    write_text(tree / "dst/a.txt", "old a");
    EXPECT_EQ(copy_tree(tree / "src", tree.path(), "dst"), std::nullopt);
    EXPECT_EQ(read_text(tree / "dst/a.txt"), "new a");
    EXPECT_EQ(read_text(tree / "dst/deep/er/b.txt"), "b");
    EXPECT_EQ(base::stat_path(tree / "dst/run.sh")->st_mode & 07777, 0751u);

    EXPECT_EQ(copy_tree(tree / "missing", tree.path(), "out"), ENOENT);
    write_text(tree / "file", "");
    EXPECT_EQ(copy_tree(tree / "src", tree.path(), "file/below"), ENOTDIR);
    // A link on the way that leads out of the prefix: nothing is written there.
    TempDir outside;
    make_link(outside.path(), tree / "linked");
    EXPECT_EQ(copy_tree(tree / "src", tree.path(), "linked/wbem"), EXDEV);
    EXPECT_FALSE(base::lstat_path(outside / "wbem"));
}

}  // namespace
}  // namespace pelto::launcher::prefix
