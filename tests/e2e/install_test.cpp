// install.py from end to end under the real Wine: it installs the built pelto and bridge into a
// temporary compatibilitytools.d, and the installed pelto, run the way Steam runs it, starts
// the test game from the installed shared template. A second install replaces the first,
// --uninstall removes exactly that tree, and whatever is not a pelto installation is refused
// and left as it was. Also: a tool with its own Wine running inside a sandbox that hides the
// system's, the free-space check on small file systems, and the install from the release
// archive on a machine without compilers. (Where install.py installs, without Wine: its own
// tests in tests/install.)
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/posix.hpp"
#include "base/tree_walk.hpp"
#include "support/test_support.hpp"
#include "support/wine_fixture.hpp"

namespace pelto {
namespace {

using testing::read_text;
using testing::RunResult;
using testing::TempDir;
using testing::write_text;

const std::string kTemplateFromWineboot =
    "[DEBUG]  No default_pfx template, running wineboot --init...";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const base::DirEntry& entry : base::list_dir(dir)) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
}

// Every symbolic link below `dir` (not descending into linked directories).
void for_each_link(const std::string& dir, const std::function<void(const std::string&)>& visit) {
    for (const base::DirEntry& entry : base::list_dir(dir)) {
        std::string path = dir + "/" + entry.name;
        auto status = base::lstat_path(path);
        if (!status) continue;
        if (S_ISLNK(status->st_mode)) {
            visit(path);
        } else if (S_ISDIR(status->st_mode)) {
            for_each_link(path, visit);
        }
    }
}

// A tmpfs mounted for one scope (in the test binary's own mount namespace); `error` is "" when
// it is mounted.
struct ScopedTmpfs {
    ScopedTmpfs(const std::string& dir, const std::string& options) : path(dir) {
        testing::make_dir(path);
        if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            error = "mount -t tmpfs -o " + options + " " + path + ": " + base::error_text(errno);
        }
    }
    ~ScopedTmpfs() {
        if (error.empty()) ::umount2(path.c_str(), MNT_DETACH);
    }
    std::string path;
    std::string error;
};

// A temporary HOME, a compatibilitytools.d whose path holds a space, the test game in a folder
// whose name holds a space, and an empty compatibility data directory.
class Install : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason = testing::wine_unavailable_reason();
        if (!reason.empty()) GTEST_SKIP() << "real Wine unavailable: " << reason;
        root = std::make_unique<TempDir>();
        for (const std::string& dir : {home(), tmp(), tools(), compat()}) testing::make_dir(dir);
        testing::make_dir(base::parent_dir(game()).value_or(""));
        ASSERT_EQ(base::copy_file(testing::test_game_exe(), game()), 0);
    }

    void TearDown() override {
        if (!root) return;
        // The game's Wine session ends by itself; the template's ended inside install.py.
        std::vector<std::string> left;
        testing::wait_until([&] { return testing::processes_of_prefix(prefix()).empty(); });
        for (pid_t pid : testing::processes_of_prefix(prefix())) {
            left.push_back(std::to_string(pid));
            ::kill(pid, SIGKILL);
        }
        EXPECT_TRUE(left.empty()) << "Wine processes of " << prefix() << " still ran";
        root.reset();
    }

    std::string home() const { return *root / "home"; }
    std::string tmp() const { return *root / "tmp"; }
    std::string tools() const { return *root / "compatibility tools"; }
    std::string dest() const { return tools() + "/pelto"; }
    std::string compat() const { return *root / "compat"; }
    std::string prefix() const { return compat() + "/pfx"; }
    std::string game() const { return *root / "games/Test Game/test_game.exe"; }

    std::map<std::string, std::string> env() const {
        std::map<std::string, std::string> env = testing::base_env(home());
        env["TMPDIR"] = tmp();
        return env;
    }

    // /usr/bin/python3 install.py ARGS, with the pelto and bridge of this build, and HOME
    // home() unless `home_dir` names another.
    RunResult install(std::vector<std::string> args, bool with_build = true,
                      const std::string& home_dir = "") const {
        std::vector<std::string> full = {std::string(PELTO_SOURCE_DIR) + "/install.py"};
        if (with_build) full.insert(full.end(), {"--build", PELTO_BUILD_DIR});
        full.insert(full.end(), args.begin(), args.end());
        std::map<std::string, std::string> install_env = env();
        if (!home_dir.empty()) install_env["HOME"] = home_dir;
        return testing::run_program("/usr/bin/python3", full, install_env);
    }

    // The installed pelto as Steam runs it, with the verbose log; `exe` is the test game unless
    // given. With `sandbox`, that command (bwrap and its options) runs pelto.
    RunResult launch(const std::vector<std::string>& game_args, std::string exe = "",
                     std::vector<std::string> sandbox = {}) const {
        std::map<std::string, std::string> launch_env = env();
        launch_env["STEAM_COMPAT_DATA_PATH"] = compat();
        launch_env["HOST_LC_ALL"] = "C.UTF-8";
        launch_env["PELTO_VERBOSE"] = "1";
        launch_env["WINEDEBUG"] = "-all";
        std::vector<std::string> args = {"waitforexitandrun", exe.empty() ? game() : exe};
        args.insert(args.end(), game_args.begin(), game_args.end());
        if (sandbox.empty()) return testing::run_program(dest() + "/pelto", args, launch_env);
        sandbox.push_back(dest() + "/pelto");
        sandbox.insert(sandbox.end(), args.begin(), args.end());
        return testing::run_program(sandbox[0], {sandbox.begin() + 1, sandbox.end()}, launch_env);
    }

    std::unique_ptr<TempDir> root;
};

TEST_F(Install, InstallLaunchReinstallAndUninstall) {
    // A neighbour in compatibilitytools.d that nothing may touch.
    write_text(tools() + "/other-tool/compatibilitytool.vdf", "\"compatibilitytools\" {}\n");

    RunResult first = install({"--dest", dest()});
    ASSERT_EQ(first.exit_code(), 0) << first.out << first.err;
    // The version CMake wrote beside the build: printed, kept at the tool's root, and shown
    // in Steam's list of tools.
    std::string version_line = read_text(std::string(PELTO_BUILD_DIR) + "/version");
    std::string version = version_line.substr(0, version_line.find('\n'));
    ASSERT_FALSE(version.empty());
    EXPECT_TRUE(contains(first.out, "Installing pelto " + version + " (commit ")) << first.out;
    EXPECT_EQ(read_text(dest() + "/version"), version + "\n");
    EXPECT_TRUE(contains(first.out, "(Debian's wine64 layout")) << first.out;
    EXPECT_TRUE(contains(first.out, "Creating the shared prefix template")) << first.out;
    EXPECT_TRUE(contains(first.out, "choose \"pelto\"")) << first.out;
    // Nothing of the staging is left beside the installation.
    EXPECT_EQ(names_in(tools()), (std::vector<std::string>{"other-tool", "pelto"}));

    // Steam's two files, and the Wine tree the launcher finds beside itself.
    std::string manifest = read_text(dest() + "/toolmanifest.vdf");
    for (const char* line : {"\"version\" \"2\"", "\"commandline\" \"/pelto %verb%\"",
                             "\"use_tool_subprocess_reaper\" \"1\""}) {
        EXPECT_TRUE(contains(manifest, line)) << line;
    }
    std::string tool_entry = read_text(dest() + "/compatibilitytool.vdf");
    for (const std::string& line :
         {std::string("\"install_path\" \".\""), "\"display_name\" \"pelto " + version + "\"",
          std::string("\"from_oslist\" \"windows\""), std::string("\"to_oslist\" \"linux\"")}) {
        EXPECT_TRUE(contains(tool_entry, line)) << line;
    }
    for (std::string path :
         {"bin/wine", "bin/wineserver", "lib/wine/x86_64-unix/ntdll.so",
          "lib/wine/x86_64-windows/ntdll.dll", "share/wine/wine.inf",
          "share/default_pfx/system.reg", "share/default_pfx/drive_c/windows/system32"}) {
        EXPECT_TRUE(base::exists(dest() + "/" + path)) << path;
    }
    // The 32-bit modules are there exactly when Debian's 32-bit half is.
    bool runs_32bit = base::exists("/usr/lib/wine/wine") &&
                      base::exists("/usr/lib/i386-linux-gnu/wine/i386-windows/ntdll.dll") &&
                      base::exists("/usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so");
    EXPECT_EQ(base::exists(dest() + "/lib/wine/i386-windows/ntdll.dll"), runs_32bit);
    EXPECT_TRUE(contains(first.out, runs_32bit ? "32-bit games: yes" : "wine32:i386")) << first.out;
    EXPECT_EQ(read_text(dest() + "/lib/wine/x86_64-windows/steam.exe"),
              read_text(testing::steam_bridge_exe()));

    // The template: no server file, drive C: inside it, the profile under the launcher's user
    // name with real folders, and no link leading out of it but drive Z:.
    std::string shared_template = dest() + "/share/default_pfx";
    EXPECT_FALSE(base::lstat_path(shared_template + "/wineserver"));
    EXPECT_EQ(base::read_link(shared_template + "/dosdevices/c:"), "../drive_c");
    EXPECT_EQ(base::read_link(shared_template + "/dosdevices/z:"), "/");
    auto documents = base::lstat_path(shared_template + "/drive_c/users/steamuser/Documents");
    EXPECT_TRUE(documents && S_ISDIR(documents->st_mode));
    std::vector<std::string> leaving;
    std::string template_root = base::canonical(shared_template).value_or("?");
    for_each_link(shared_template, [&](const std::string& link) {
        std::optional<std::string> target = base::canonical(link);
        if (link == shared_template + "/dosdevices/z:") return;
        if (!target || !base::path_inside(*target, template_root)) leaving.push_back(link);
    });
    EXPECT_TRUE(leaving.empty()) << ::testing::PrintToString(leaving);

    // Steam's first launch of a game: the prefix comes from the template, not from wineboot,
    // and arguments with quotes, backslashes and spaces reach the game as given.
    std::vector<std::string> args = {"say \"hi\" there", "C:\\dir with space\\", "a\\\"b"};
    std::vector<std::string> game_args = {"print-args"};
    game_args.insert(game_args.end(), args.begin(), args.end());
    RunResult launched = launch(game_args);
    EXPECT_EQ(launched.exit_code(), 0) << launched.err;
    EXPECT_TRUE(launched.has_line("[DEBUG]  Repairing prefix from template...") ||
                launched.has_line("[DEBUG]  Setting up prefix from template..."))
        << launched.err;
    EXPECT_FALSE(launched.has_line(kTemplateFromWineboot)) << launched.err;
    std::string printed = read_text("/tmp/pelto/wine_stdout.log");
    for (size_t i = 0; i < args.size(); ++i) {
        EXPECT_TRUE(contains(printed, "text=" + args[i] + "\n")) << args[i] << "\n" << printed;
    }

    // The tool's modules are Debian's without their debug sections: the template holds them,
    // the new prefix got them, and Wine runs them, Wine's own cmd.exe as well as the game.
    auto size_of = [](const std::string& path) {
        auto status = base::stat_path(path);
        return status ? status->st_size : -1;
    };
    std::map<std::string, off_t> stripped;
    for (const char* name : {"ntdll.dll", "kernelbase.dll", "cmd.exe", "drivers/mountmgr.sys"}) {
        std::string module = std::string(name).substr(std::string(name).rfind('/') + 1);
        stripped[module] = size_of(dest() + "/lib/wine/x86_64-windows/" + module);
        EXPECT_LT(stripped[module],
                  size_of("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/" + module))
            << module;
        EXPECT_EQ(size_of(prefix() + "/drive_c/windows/system32/" + name), stripped[module])
            << name;
        EXPECT_EQ(size_of(shared_template + "/drive_c/windows/system32/" + name), stripped[module])
            << name;
    }
    RunResult cmd = launch({"/c", "exit", "5"}, prefix() + "/drive_c/windows/system32/cmd.exe");
    EXPECT_EQ(cmd.exit_code(), 5) << cmd.err;

    // A second install over the first, this time from an upstream-style Wine tree and with
    // DXVK and VKD3D-Proton release directories (stand-in DLLs the game never loads): the
    // player's env_config is kept, and the tool goes on working with the same prefix, into
    // which it puts the DLLs.
    write_text(dest() + "/env_config", "PELTO_INSTALL_TEST=kept\n");
    std::string upstream = *root / "upstream-wine";
    ASSERT_EQ(testing::make_wine_tree(upstream), "");
    std::string dxvk = *root / "dxvk-2.3", vkd3d = *root / "vkd3d-proton-2.11";
    for (const char* name : {"d3d11", "d3d10core", "d3d9", "dxgi"}) {
        write_text(dxvk + "/x64/" + name + ".dll", std::string("MZ x64 ") + name);
        write_text(dxvk + "/x32/" + name + ".dll", std::string("MZ x32 ") + name);
    }
    for (const char* name : {"d3d12", "d3d12core"}) {
        write_text(vkd3d + "/x64/" + name + ".dll", std::string("MZ x64 ") + name);
        write_text(vkd3d + "/x86/" + name + ".dll", std::string("MZ x86 ") + name);
    }
    RunResult second =
        install({"--dest", dest(), "--wine", upstream, "--dxvk", dxvk, "--vkd3d-proton", vkd3d});
    ASSERT_EQ(second.exit_code(), 0) << second.out << second.err;
    EXPECT_TRUE(contains(second.out, "(upstream layout")) << second.out;
    EXPECT_EQ(base::read_link(dest() + "/bin/wine"), upstream + "/bin/wine");
    EXPECT_EQ(read_text(dest() + "/env_config"), "PELTO_INSTALL_TEST=kept\n");
    EXPECT_EQ(names_in(tools()), (std::vector<std::string>{"other-tool", "pelto"}));
    // The same modules give the same stripped copies, so the prefix is not synced again.
    for (const auto& [module, size] : stripped) {
        EXPECT_EQ(size_of(dest() + "/lib/wine/x86_64-windows/" + module), size) << module;
    }
    RunResult again = launch({"print-env", "PELTO_INSTALL_TEST", "exit", "7"});
    EXPECT_EQ(again.exit_code(), 7) << again.err;
    EXPECT_FALSE(contains(again.err, "Syncing Wine PE files")) << again.err;
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "PELTO_INSTALL_TEST=kept\n");
    std::string windows = prefix() + "/drive_c/windows/";
    EXPECT_EQ(read_text(windows + "system32/d3d11.dll"), "MZ x64 d3d11");
    EXPECT_EQ(read_text(windows + "syswow64/dxgi.dll"), "MZ x32 dxgi");
    EXPECT_EQ(read_text(windows + "system32/d3d12core.dll"), "MZ x64 d3d12core");
    EXPECT_EQ(read_text(windows + "syswow64/d3d12.dll"), "MZ x86 d3d12");

    RunResult removed = install({"--dest", dest(), "--uninstall"}, false);
    EXPECT_EQ(removed.exit_code(), 0) << removed.out << removed.err;
    EXPECT_EQ(names_in(tools()), (std::vector<std::string>{"other-tool"}));
    EXPECT_TRUE(base::exists(tools() + "/other-tool/compatibilitytool.vdf"));
    // The game's prefix stays: it is the player's.
    EXPECT_TRUE(base::exists(prefix() + "/system.reg"));
}

TEST_F(Install, RefusesWhatIsNotAPeltoInstallationAndNamesWhatIsMissing) {
    // Destinations that are not pelto installations: refused by install and uninstall alike,
    // and left exactly as they were.
    std::string other_tool = *root / "other";
    write_text(other_tool + "/toolmanifest.vdf",
               "\"manifest\"\n{\n  \"commandline\" \"/proton %verb%\"\n}\n");
    testing::make_link(other_tool, tools() + "/link");
    write_text(tools() + "/plain-file", "data\n");
    write_text(tools() + "/games/save.dat", "mine\n");
    struct Case {
        std::string dest;
        std::string says;
    };
    for (const Case& refused : {Case{tools() + "/games", "is not a pelto installation"},
                                Case{other_tool, "is not a pelto installation"},
                                Case{tools() + "/link", "is a symbolic link"},
                                Case{tools() + "/plain-file", "is not a directory"}}) {
        std::vector<std::string> before = names_in(refused.dest);
        for (bool uninstall : {false, true}) {
            std::vector<std::string> args = {"--dest", refused.dest};
            if (uninstall) args.push_back("--uninstall");
            RunResult result = install(args);
            EXPECT_EQ(result.exit_code(), 1) << refused.dest << result.out << result.err;
            EXPECT_TRUE(contains(result.err, refused.says)) << refused.dest << result.err;
            EXPECT_EQ(names_in(refused.dest), before) << refused.dest;
        }
    }
    EXPECT_EQ(read_text(tools() + "/games/save.dat"), "mine\n");
    EXPECT_EQ(read_text(tools() + "/plain-file"), "data\n");
    EXPECT_EQ(base::read_link(tools() + "/link"), other_tool);

    // A staging directory left by an interrupted run is cleaned up by the next run, even one
    // that finds nothing to remove.
    write_text(tools() + "/.pelto.install-interrupted/tree/pelto", "half\n");
    RunResult nothing = install({"--dest", dest(), "--uninstall"}, false);
    EXPECT_EQ(nothing.exit_code(), 0) << nothing.err;
    EXPECT_TRUE(contains(nothing.out, "Nothing to remove")) << nothing.out;
    EXPECT_FALSE(base::lstat_path(tools() + "/.pelto.install-interrupted"));

    // Without the build tools, or with no Wine where --wine says, nothing is installed and
    // the message names what is missing with its Debian package.
    std::map<std::string, std::string> bare = env();
    bare["PATH"] = *root / "empty-bin";
    RunResult no_tools = testing::run_program(
        "/usr/bin/python3", {std::string(PELTO_SOURCE_DIR) + "/install.py", "--dest", dest()},
        bare);
    EXPECT_EQ(no_tools.exit_code(), 1);
    for (const char* missing :
         {"cmake (Debian package cmake)", "ninja (Debian package ninja-build)",
          "(Debian package g++)", "(Debian package gcc-mingw-w64-x86-64)"}) {
        EXPECT_TRUE(contains(no_tools.err, missing)) << missing << "\n" << no_tools.err;
    }
    // A Wine build whose bin/wine is a script cannot be copied into the tool: what the script
    // starts cannot be known.
    std::string scripted = *root / "scripted-wine";
    ASSERT_EQ(testing::make_wine_tree(scripted), "");
    RunResult not_copied = install({"--dest", dest(), "--wine", scripted, "--copy-wine"});
    EXPECT_EQ(not_copied.exit_code(), 1);
    EXPECT_TRUE(contains(not_copied.err, scripted + "/bin/wine is a script")) << not_copied.err;
    EXPECT_FALSE(base::lstat_path(dest()));
    RunResult no_wine = install({"--dest", dest(), "--wine", *root / "no-wine"});
    EXPECT_EQ(no_wine.exit_code(), 1);
    EXPECT_TRUE(contains(no_wine.err, "is not a Wine build")) << no_wine.err;
    EXPECT_FALSE(base::lstat_path(dest()));

    // What a Wine build or the machine lacks that an install can do without is named with
    // what to install: here Debian's layout without the 32-bit half and the preloader, on a
    // machine without the strip programs.
    std::string debian = *root / "debian-wine64-only";
    testing::make_link("/usr/lib/wine/wine64", debian + "/lib/wine/wine64");
    testing::make_link("/usr/lib/wine/wineserver64", debian + "/lib/wine/wineserver64");
    testing::make_link("/usr/lib/x86_64-linux-gnu/wine", debian + "/lib/x86_64-linux-gnu/wine");
    testing::make_link("/usr/share/wine", debian + "/share/wine");
    std::map<std::string, std::string> no_strip = env();
    no_strip["PATH"] = *root / "empty-bin";
    RunResult lacking =
        testing::run_program("/usr/bin/python3",
                             {std::string(PELTO_SOURCE_DIR) + "/install.py", "--build",
                              PELTO_BUILD_DIR, "--dest", dest(), "--wine", debian, "--dry-run"},
                             no_strip);
    EXPECT_EQ(lacking.exit_code(), 0) << lacking.err;
    for (const char* named :
         {"32-bit games: no;", "sudo apt-get install wine32:i386", "wine64-preloader is missing",
          "sudo apt-get install wine64-preloader",
          "x86_64-w64-mingw32-strip is missing: install binutils-mingw-w64-x86-64"}) {
        EXPECT_TRUE(contains(lacking.out, named)) << named << "\n" << lacking.out;
    }
    EXPECT_FALSE(base::lstat_path(dest()));
}

// The free space is checked before anything is changed: on a small file system the install is
// refused with what it needs there. And when the disk runs full all the same (here: a file
// system with space but few inodes), the error names it, the staging directory is removed and
// the previous installation stays as it was.
TEST_F(Install, ChecksTheFreeSpaceAndNamesAFullFileSystem) {
    ScopedTmpfs small(*root / "small", "size=64m");
    if (!small.error.empty()) GTEST_SKIP() << small.error;
    for (bool dry_run : {true, false}) {
        std::vector<std::string> args = {"--dest", small.path + "/tools/pelto"};
        if (dry_run) args.push_back("--dry-run");
        RunResult refused = install(args);
        EXPECT_EQ(refused.exit_code(), 1) << refused.out;
        EXPECT_TRUE(
            contains(refused.err, "not enough free space: the new installation needs about"))
            << refused.err;
        EXPECT_TRUE(contains(refused.err, " MB on " + small.path + " ")) << refused.err;
        EXPECT_EQ(names_in(small.path), std::vector<std::string>{});
    }

    // Inodes: too few for the modules alone is refused before anything is changed; enough for
    // them but not for the template that wineboot writes is named as the full disk it is. The
    // previous installation stays either way, and the staging folder goes.
    struct Case {
        std::string inodes;
        std::string says;
    };
    for (const Case& c :
         {Case{"300", "not enough free inodes: the new installation needs at least"},
          Case{"1600", "no space left on device: the file system on "}}) {
        ScopedTmpfs few_inodes(*root / ("inodes " + c.inodes), "size=3g,nr_inodes=" + c.inodes);
        ASSERT_EQ(few_inodes.error, "");
        std::string previous = few_inodes.path + "/pelto";
        write_text(previous + "/toolmanifest.vdf",
                   "\"manifest\"\n{\n  \"commandline\" \"/pelto %verb%\"\n}\n");
        write_text(previous + "/pelto", "the previous pelto\n");
        RunResult full = install({"--dest", previous});
        EXPECT_EQ(full.exit_code(), 1) << full.out;
        EXPECT_TRUE(contains(full.err, c.says)) << full.err;
        EXPECT_TRUE(contains(full.err, few_inodes.path)) << full.err;
        EXPECT_EQ(names_in(few_inodes.path), std::vector<std::string>{"pelto"});
        EXPECT_EQ(names_in(previous), (std::vector<std::string>{"pelto", "toolmanifest.vdf"}));
        EXPECT_EQ(read_text(previous + "/pelto"), "the previous pelto\n");
    }
}

// With --copy-wine (and for a Flatpak or Snap Steam) the tool holds its own Wine: no link of
// it leads outside it, and it runs the test game, a 64-bit program, inside a sandbox in which
// the system's Wine folders are empty.
TEST_F(Install, ACopiedWineRunsWhereTheSystemsWineIsHidden) {
    if (!base::exists("/usr/bin/bwrap")) GTEST_SKIP() << "bubblewrap is not installed";
    RunResult installed = install({"--dest", dest(), "--copy-wine"});
    ASSERT_EQ(installed.exit_code(), 0) << installed.out << installed.err;
    EXPECT_TRUE(contains(installed.out, "copied into the tool (--copy-wine)")) << installed.out;

    std::string tool = base::canonical(dest()).value_or("?");
    std::vector<std::string> leaving;
    for_each_link(dest(), [&](const std::string& link) {
        std::optional<std::string> target = base::canonical(link);
        if (link == dest() + "/share/default_pfx/dosdevices/z:") return;
        if (!target || !base::path_inside(*target, tool)) leaving.push_back(link);
    });
    EXPECT_TRUE(leaving.empty()) << ::testing::PrintToString(leaving);
    EXPECT_FALSE(contains(read_text(dest() + "/bin/wine"), "/usr"))
        << read_text(dest() + "/bin/wine");

    std::vector<std::string> sandbox = {"/usr/bin/bwrap", "--bind", "/",      "/",
                                        "--dev",          "/dev",   "--proc", "/proc"};
    for (const char* hidden : {"/usr/lib/wine", "/usr/lib/x86_64-linux-gnu/wine",
                               "/usr/lib/i386-linux-gnu/wine", "/usr/share/wine"}) {
        if (base::exists(hidden)) sandbox.insert(sandbox.end(), {"--tmpfs", hidden});
    }
    sandbox.insert(sandbox.end(), {"--"});
    RunResult launched = launch({"exit", "7"}, "", sandbox);
    EXPECT_EQ(launched.exit_code(), 7) << launched.err;
    EXPECT_FALSE(launched.has_line(kTemplateFromWineboot)) << launched.err;
}

// A player's install: the release archive, unpacked and installed on a machine without any
// compiler (bwrap lays /dev/null over each one, and over winebuild), then Steam's launch of
// the game through the installed pelto.
TEST_F(Install, FromTheReleaseArchiveWithoutACompiler) {
    if (PELTO_SANITIZED) GTEST_SKIP() << "a release holds programs built without sanitizers";
    if (!base::exists("/usr/bin/bwrap")) GTEST_SKIP() << "bubblewrap is not installed";
    std::string version_line = read_text(std::string(PELTO_BUILD_DIR) + "/version");
    std::string version = version_line.substr(0, version_line.find('\n'));
    RunResult released = testing::run_program(
        "/bin/bash",
        {std::string(PELTO_SOURCE_DIR) + "/scripts/release", PELTO_BUILD_DIR, *root / "dist"},
        env());
    ASSERT_EQ(released.exit_code(), 0) << released.err;
    std::string archive = *root / ("dist/pelto-" + version + "-linux-x86_64.tar.gz");
    EXPECT_EQ(released.out, archive + "\n");
    testing::make_dir(*root / "unpacked");
    ASSERT_EQ(testing::run_program("/bin/tar", {"-xzf", archive, "-C", *root / "unpacked"}, env())
                  .exit_code(),
              0);
    // The archive names the commit its programs were built from, as the build recorded it.
    std::string built_from = read_text(std::string(PELTO_BUILD_DIR) + "/commit");
    EXPECT_NE(built_from, "");
    EXPECT_NE(read_text(*root / ("unpacked/pelto-" + version + "/release-info"))
                  .find("commit=" + built_from),
              std::string::npos);

    std::vector<std::string> sandbox = {"--bind", "/", "/", "--dev", "/dev", "--proc", "/proc"};
    for (const char* name : {"cmake", "ninja", "g++", "gcc", "c++", "cc", "clang", "clang++",
                             "x86_64-w64-mingw32-gcc", "i686-w64-mingw32-gcc", "winebuild"}) {
        for (const char* dir : {"/usr/bin", "/usr/local/bin", "/usr/lib/wine"}) {
            std::optional<std::string> real = base::canonical(std::string(dir) + "/" + name);
            if (real) sandbox.insert(sandbox.end(), {"--ro-bind", "/dev/null", *real});
        }
    }
    sandbox.push_back("--");
    std::vector<std::string> no_cmake = sandbox;
    no_cmake.insert(no_cmake.end(), {"/bin/sh", "-c", "cmake --version || g++ --version"});
    EXPECT_NE(testing::run_program("/usr/bin/bwrap", no_cmake, env()).exit_code(), 0);
    sandbox.insert(sandbox.end(),
                   {"/usr/bin/python3", *root / ("unpacked/pelto-" + version + "/install.py"),
                    "--dest", dest()});
    RunResult installed = testing::run_program("/usr/bin/bwrap", sandbox, env());
    ASSERT_EQ(installed.exit_code(), 0) << installed.out << installed.err;
    EXPECT_TRUE(contains(installed.out, "Installing pelto " + version + " (commit "))
        << installed.out;
    EXPECT_TRUE(contains(installed.out, "from the release archive")) << installed.out;
    EXPECT_EQ(read_text(dest() + "/version"), version + "\n");

    RunResult launched = launch({"exit", "7"});
    EXPECT_EQ(launched.exit_code(), 7) << launched.err;
    EXPECT_FALSE(launched.has_line(kTemplateFromWineboot)) << launched.err;
}

}  // namespace
}  // namespace pelto
