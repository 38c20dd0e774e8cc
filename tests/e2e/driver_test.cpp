// The run driver and the launch through the built binary, with a stand-in Wine: shell scripts
// as the loader and the wineserver, so every rule can be checked quickly and exactly.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

#include "base/posix.hpp"
#include "base/version.hpp"
#include "support/scoped_mount.hpp"
#include "support/test_support.hpp"

namespace pelto {
namespace {

using testing::read_text;
using testing::RunResult;
using testing::TempDir;
using testing::write_script;
using testing::write_text;

// A stand-in Wine tree: the loader records its arguments, working directory and chosen
// environment variables, then exits with the code in $STANDIN_EXIT (wineboot exits 0).
class StandInWine : public ::testing::Test {
protected:
    void SetUp() override {
        wine = tree / "wine";
        write_script(
            wine + "/bin/wine",
            "[ \"$1\" = --version ] && echo wine-8.0-standin && exit 0\n"
            "if [ \"$1\" = wineboot ]; then\n"
            "  [ -n \"$STANDIN_BOOT_SLEEP\" ] && echo $$ > " +
                (tree / "booting") +
                " && exec sleep \"$STANDIN_BOOT_SLEEP\"\n"
                "  exit 0\n"
                "fi\n"
                "[ -n \"$STANDIN_IGNORE_TERM\" ] && trap '' TERM\n"
                "out=" +
                (tree / "record") +
                "\n"
                ": > \"$out\"\n"
                "for a in \"$@\"; do printf 'arg=%s\\n' \"$a\" >> \"$out\"; done\n"
                "printf 'cwd=%s\\n' \"$(pwd)\" >> \"$out\"\n"
                "for v in WINEPREFIX WINEDEBUG SteamAppId SteamGameId WINEDLLOVERRIDES LD_PRELOAD "
                "CUSTOM_ONE DXVK_LOG_LEVEL WINETEMP USER WINEHOMEDIR PROTON_EAC_RUNTIME "
                "STEAM_COMPAT_CLIENT_INSTALL_PATH DXVK_STATE_CACHE_PATH VKD3D_SHADER_CACHE_PATH "
                "MESA_SHADER_CACHE_DIR __GL_SHADER_DISK_CACHE_PATH __GL_SHADER_DISK_CACHE "
                "__GL_SHADER_DISK_CACHE_SKIP_CLEANUP; do\n"
                "  if env | grep -q \"^$v=\"; then printf '%s=%s\\n' \"$v\" \"$(printenv $v)\" >> "
                "\"$out\";"
                " else printf '%s unset\\n' \"$v\" >> \"$out\"; fi\n"
                "done\n"
                "i=0; while [ $i -lt \"${STANDIN_LINES:-0}\" ]; do echo \"$STANDIN_TAG out $i\";"
                " echo \"$STANDIN_TAG err $i\" >&2; i=$((i + 1)); sleep 0.02; done\n"
                "echo game-stdout; echo game-stderr >&2\n"
                "if [ -n \"$STANDIN_SIGNAL\" ]; then kill -\"$STANDIN_SIGNAL\" $$; fi\n"
                "if [ -n \"$STANDIN_SLEEP\" ]; then touch " +
                (tree / "sleeping") +
                "; sleep \"$STANDIN_SLEEP\"; fi\n"
                "exit ${STANDIN_EXIT:-0}\n");
        write_script(wine + "/bin/wineserver",
                     "echo \"$1\" >> " + (tree / "server-calls") +
                         "\n[ \"$1\" = -p0 ] && [ -n \"$STANDIN_SERVER_HANG\" ] && exec sleep 600\n"
                         "exit 0\n");
        testing::make_dir(wine + "/lib/wine/x86_64-unix");
        testing::make_dir(wine + "/share/wine");
        testing::make_dir(tree / "home");
        env = testing::base_env(tree / "home");
        env["PELTO_WINE_DIR"] = wine;
        env["STEAM_COMPAT_DATA_PATH"] = tree / "compat";
    }

    RunResult pelto(const std::vector<std::string>& args, const testing::RunOptions& options = {}) {
        return testing::run_program(testing::pelto_binary(), args, env, options);
    }

    std::vector<std::string> record() {
        std::vector<std::string> lines;
        std::string text = read_text(tree / "record");
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            lines.push_back(text.substr(pos, end - pos));
            pos = end + 1;
        }
        return lines;
    }

    bool recorded(const std::string& line) {
        auto lines = record();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    testing::RunOptions cwd_options() {
        testing::RunOptions options;
        options.cwd = tree.path();
        return options;
    }
    // Options that send `signals` to pelto, one after another, once `marker` exists.
    testing::RunOptions signal_when(const std::string& marker, std::vector<int> signals) {
        testing::RunOptions options;
        options.on_started = [marker, signals](pid_t pid) {
            while (!base::exists(marker)) base::sleep_ms(20);
            for (size_t i = 0; i < signals.size(); ++i) {
                if (i > 0) base::sleep_ms(200);
                ::kill(pid, signals[i]);
            }
        };
        return options;
    }
    static testing::RunOptions closed_options() {
        testing::RunOptions options;
        options.close_all_std = true;
        return options;
    }

    TempDir tree;
    std::string wine;
    std::map<std::string, std::string> env;
};

TEST_F(StandInWine, EarlyExitsAndTheirStatuses) {
    env.erase("STEAM_COMPAT_DATA_PATH");
    RunResult result = pelto({"run", "game.exe"});
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_TRUE(
        result.has_line("[ERROR]  STEAM_COMPAT_DATA_PATH not set — not launched from Steam?"));

    env["STEAM_COMPAT_DATA_PATH"] = tree / "x/compatdata/0/";
    result = pelto({"run", "game.exe"});
    EXPECT_EQ(result.exit_code(), 0);
    EXPECT_FALSE(base::lstat_path(tree / "x/compatdata/0/pfx"));
    env["PELTO_VERBOSE"] = "1";
    result = pelto({"run", "game.exe"});
    EXPECT_TRUE(result.has_line("[DEBUG]  Skipping Steam prefix probe (compatdata/0, verb=run)"));
    EXPECT_TRUE(result.has_line("[DEBUG]  STEAM_COMPAT_DATA_PATH=" + (tree / "x/compatdata/0/") +
                                " SteamAppId= verb=run"));

    // A 32-bit game with a Wine build that lacks the 32-bit modules: refused before anything
    // is prepared, instead of a silent failure that Wine reports as success.
    std::string header(0x40, '\0');
    header[0] = 'M', header[1] = 'Z', header[0x3C] = 0x40;
    header += std::string("PE\0\0\x4c\x01", 6);
    write_text(tree / "game32.exe", header);
    result = pelto({"waitforexitandrun", tree / "game32.exe"});
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_TRUE(result.has_line(
        "[ERROR]  " + (tree / "game32.exe") +
        " is a 32-bit Windows program, but the Wine build at " + wine +
        " has no 32-bit modules (i386-windows/ntdll.dll) — install Wine's 32-bit part (Debian: "
        "sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install "
        "wine32:i386), then run install.py again"))
        << result.err;
    EXPECT_FALSE(base::lstat_path(tree / "record"));
    write_text(wine + "/lib/wine/i386-windows/ntdll.dll", "MZ");
    EXPECT_EQ(pelto({"waitforexitandrun", tree / "game32.exe"}).exit_code(), 0);
    base::remove_tree(wine + "/lib/wine/i386-windows");
    base::remove_file(tree / "record");

    // A file where the compatibility data directory should be.
    write_text(tree / "file", "");
    env["STEAM_COMPAT_DATA_PATH"] = tree / "file";
    result = pelto({"waitforexitandrun", "game.exe"});
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_TRUE(result.has_line("[ERROR]  Failed to create prefix directory " +
                                (tree / "file/pfx") + ": Not a directory (os error 20)"));

    env["STEAM_COMPAT_DATA_PATH"] = tree / "compat";
    result = pelto({"run"});
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_TRUE(result.has_line("[ERROR]  No executable specified"));

    result = pelto({"waitforexitandrun", "/s/Steamworks Shared/D3DDriverQuery64.exe"});
    EXPECT_EQ(result.exit_code(), 0);
    EXPECT_TRUE(result.has_line(
        "[DEBUG]  skipping Steam utility: /s/Steamworks Shared/D3DDriverQuery64.exe"));
    EXPECT_FALSE(base::exists(tree / "record"));
}

TEST_F(StandInWine, VerbosityRules) {
    env["STEAM_COMPAT_DATA_PATH"] = "";
    auto debug_lines = [&] {
        int count = 0;
        for (const std::string& line : pelto({"run", "x"}).log_lines())
            count += line.rfind("[DEBUG]", 0) == 0;
        return count;
    };
    EXPECT_EQ(debug_lines(), 0);
    env["PELTO_VERBOSE"] = "true";
    EXPECT_EQ(debug_lines(), 0);
    env["PELTO_VERBOSE"] = "1";
    EXPECT_GT(debug_lines(), 0);
    env["PELTO_VERBOSE"] = "0";
    write_text(tree / "home/.cache/pelto/trace_verbose", "");
    EXPECT_GT(debug_lines(), 0);
    env.erase("HOME");
    env.erase("PELTO_VERBOSE");
    RunResult result = pelto({"run", "x"});
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_TRUE(
        result.has_line("[ERROR]  STEAM_COMPAT_DATA_PATH not set — not launched from Steam?"));
}

TEST_F(StandInWine, TheGameCommandEnvironmentAndExitStatus) {
    // env_config beside the launcher: copy the binary next to it.
    std::string tool = tree / "tool";
    testing::make_dir(tool);
    ASSERT_EQ(base::copy_file(testing::pelto_binary(), tool + "/pelto"), 0);
    // A HOME of env_config's decides where Wine and the game look under it.
    std::string home = tree / "custom home";
    std::string eac = home + "/.local/share/Steam/steamapps/common/Proton EasyAntiCheat Runtime";
    testing::make_dir(eac);
    write_text(tool + "/env_config",
               "CUSTOM_ONE = from file\nDXVK_LOG_LEVEL=info\nWINEDEBUG=+custom\n"
               "HOME=" +
                   home + "\n");
    write_text(tree / "games/My Game/game.exe", "");
    env["SteamGameId"] = "";
    env["SteamAppId"] = "440";
    env["LD_PRELOAD"] = "/x/gameoverlayrenderer.so";
    env["STANDIN_EXIT"] = "3";
    std::string odd_argument = "with space \xff\xfe end";
    RunResult result = testing::run_program(
        tool + "/pelto", {"waitforexitandrun", tree / "games/My Game/game.exe", odd_argument, ""},
        env);
    EXPECT_EQ(result.exit_code(), 3) << result.err;
    std::vector<std::string> expected_args = {"arg=C:\\windows\\system32\\steam.exe",
                                              "arg=" + (tree / "games/My Game/game.exe"),
                                              "arg=" + odd_argument, "arg="};
    auto lines = record();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), expected_args);
    EXPECT_TRUE(recorded("cwd=" + (tree / "games/My Game")));
    EXPECT_TRUE(recorded("WINEPREFIX=" + (tree / "compat/pfx")));
    EXPECT_TRUE(recorded("SteamAppId="));
    EXPECT_TRUE(recorded("SteamGameId="));
    EXPECT_TRUE(recorded("LD_PRELOAD unset"));
    EXPECT_TRUE(recorded("CUSTOM_ONE=from file"));
    EXPECT_TRUE(recorded("DXVK_LOG_LEVEL=info"));
    EXPECT_TRUE(recorded("WINEDEBUG=+custom"));
    EXPECT_TRUE(recorded("USER=steamuser"));
    EXPECT_TRUE(recorded("WINETEMP=C:\\users\\steamuser\\Temp"));
    std::string nt_home = "\\??\\Z:" + home;
    std::replace(nt_home.begin(), nt_home.end(), '/', '\\');
    EXPECT_TRUE(recorded("WINEHOMEDIR=" + nt_home));
    EXPECT_TRUE(recorded("PROTON_EAC_RUNTIME=" + eac));
    EXPECT_TRUE(recorded("STEAM_COMPAT_CLIENT_INSTALL_PATH=" + home + "/.local/share/Steam"));
    EXPECT_TRUE(result.has_line("[INFO]   launching: " + (tree / "games/My Game/game.exe")));
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "game-stdout\n");
    EXPECT_EQ(read_text("/tmp/pelto/wine_stderr.log"), "game-stderr\n\n[pelto] exit: 3 (error)\n");
}

TEST_F(StandInWine, WorkingDirectoryLaunchOptionsAndShaderCachesAsSteamAndThePlayerAsk) {
    write_text(wine + "/lib/wine/dxvk/x86_64-windows/d3d11.dll", "dxvk d3d11");
    write_text(wine + "/lib/wine/dxvk/x86_64-windows/dxgi.dll", "dxvk dxgi");
    std::string game = tree / "Game", exe = game + "/bin/win64/game.exe";
    write_text(exe, "");
    testing::make_dir(game + "/data");
    testing::make_dir(tree / "start in");
    testing::make_link(game, tree / "library link");  // Steam may name the folder by a link
    auto launch_from = [&](const std::string& cwd) {
        testing::RunOptions options;
        options.cwd = cwd;
        return pelto({"waitforexitandrun", exe}, options);
    };

    // Steam starts the launcher where the game is to run: kept inside the installation (the
    // folder itself included) and for a non-Steam shortcut; anywhere else, as from a
    // terminal, the game starts in its executable's folder.
    env["STEAM_COMPAT_INSTALL_PATH"] = tree / "library link";
    for (const std::string& cwd : {game, game + "/data"}) {
        EXPECT_EQ(launch_from(cwd).exit_code(), 0);
        EXPECT_TRUE(recorded("cwd=" + cwd)) << cwd;
    }
    EXPECT_EQ(launch_from(tree.path()).exit_code(), 0);
    EXPECT_TRUE(recorded("cwd=" + game + "/bin/win64"));
    // A relative path names the game from where it was given: that folder is kept.
    testing::RunOptions from_tree;
    from_tree.cwd = tree.path();
    EXPECT_EQ(pelto({"waitforexitandrun", "Game/bin/win64/game.exe"}, from_tree).exit_code(), 0);
    EXPECT_TRUE(recorded("cwd=" + tree.path()));
    env.erase("STEAM_COMPAT_INSTALL_PATH");
    env["STEAM_COMPAT_APP_ID"] = "0";
    EXPECT_EQ(launch_from(tree / "start in").exit_code(), 0);
    EXPECT_TRUE(recorded("cwd=" + (tree / "start in")));
    env["STEAM_COMPAT_APP_ID"] = "00";
    EXPECT_EQ(launch_from(tree / "start in").exit_code(), 0);
    EXPECT_TRUE(recorded("cwd=" + game + "/bin/win64"));

    // The player's overrides replace the launcher's of the same DLLs, compared as Wine
    // compares names, and come last; an item Wine cannot read passes on, with a warning.
    const std::string fixed =
        "lsteamclient=b;steam.exe=b;dotnetfx35.exe=b;dotnetfx35setup.exe=b;beclient.dll=b,n;"
        "beclient_x64.dll=b,n;xinput1_1.dll=b;xinput1_2.dll=b;xinput1_4.dll=b;"
        "xinput9_1_0.dll=b;xinputuap.dll=b;easyanticheat=b;easyanticheat_x64=b;"
        "easyanticheat_x86=b;winebth.sys=d;vrclient_x64=d;opencl=n,d;winemenubuilder.exe=d";
    env["WINEDLLOVERRIDES"] = "XInput1_3.DLL=n;D3D11.dll=b;winmm,version=n,b;;dinput8";
    RunResult merged = pelto({"waitforexitandrun", exe});
    EXPECT_TRUE(recorded("WINEDLLOVERRIDES=" + fixed +
                         ";dxgi=n;XInput1_3.DLL=n;D3D11.dll=b;winmm,version=n,b;dinput8"));
    EXPECT_TRUE(
        merged.has_line("[WARN]   WINEDLLOVERRIDES: passed on as written, though Wine "
                        "reads no DLL override in it: dinput8"))
        << merged.err;
    // One that is not UTF-8 cannot be merged: left out, and said.
    env["WINEDLLOVERRIDES"] = "dinput8=n,b;bad\xff=n";
    EXPECT_TRUE(pelto({"waitforexitandrun", exe})
                    .has_line("[WARN]   WINEDLLOVERRIDES of the launch options is not valid "
                              "UTF-8 — it is left out"));
    env.erase("WINEDLLOVERRIDES");

    // Wine's own Direct3D for one launch: no native DXVK overrides, no FATAL lines, the DLLs
    // stay in the prefix.
    env["PELTO_USE_WINED3D"] = "1";
    RunResult wined3d = pelto({"waitforexitandrun", exe});
    EXPECT_TRUE(recorded("WINEDLLOVERRIDES=" + fixed.substr(0, fixed.find("xinput1_2")) +
                         "xinput1_2.dll=b;xinput1_3.dll=b;" +
                         fixed.substr(fixed.find("xinput1_4"))));
    EXPECT_TRUE(
        wined3d.has_line("[INFO]   PELTO_USE_WINED3D=1: the game uses Wine's own "
                         "Direct3D, not DXVK or VKD3D-Proton"));
    for (const std::string& line : wined3d.log_lines())
        EXPECT_EQ(line.find("FATAL"), std::string::npos) << line;
    EXPECT_EQ(read_text(tree / "compat/pfx/drive_c/windows/system32/d3d11.dll"), "dxvk d3d11");
    env.erase("PELTO_USE_WINED3D");

    // Steam's shader cache folder holds the caches; a variable the player set stays theirs,
    // and a folder that cannot be made is a warning.
    std::string shaders = tree / "shadercache/480";
    env["STEAM_COMPAT_SHADER_PATH"] = shaders + "///";  // the caches' paths have no "//"
    env["MESA_SHADER_CACHE_DIR"] = "/player/mesa";
    EXPECT_EQ(pelto({"waitforexitandrun", exe}).exit_code(), 0);
    for (const char* line : {"DXVK_STATE_CACHE_PATH=/dxvk", "VKD3D_SHADER_CACHE_PATH=/vkd3d-proton",
                             "__GL_SHADER_DISK_CACHE_PATH=/nvidia"}) {
        std::string name(line, std::strchr(line, '=') + 1);
        EXPECT_TRUE(recorded(name + shaders + (std::strchr(line, '=') + 1))) << line;
        EXPECT_TRUE(base::is_dir(shaders + (std::strchr(line, '=') + 1))) << line;
    }
    EXPECT_TRUE(recorded("MESA_SHADER_CACHE_DIR=/player/mesa"));
    EXPECT_FALSE(base::exists(shaders + "/mesa"));
    EXPECT_TRUE(recorded("__GL_SHADER_DISK_CACHE=1"));
    EXPECT_TRUE(recorded("__GL_SHADER_DISK_CACHE_SKIP_CLEANUP=1"));
    env["STEAM_COMPAT_SHADER_PATH"] = tree / "a file";
    write_text(tree / "a file", "");
    RunResult unusable = pelto({"waitforexitandrun", exe});
    std::vector<std::string> warnings;
    for (const std::string& line : unusable.log_lines()) {
        if (line.find("shader cache") != std::string::npos) warnings.push_back(line);
    }
    EXPECT_EQ(warnings,
              std::vector<std::string>{"[WARN]   shader cache: cannot use " + (tree / "a file") +
                                       ": Not a directory (os error 20) — shader "
                                       "caches stay where they were"})
        << unusable.err;
    EXPECT_TRUE(recorded("DXVK_STATE_CACHE_PATH unset"));
    EXPECT_TRUE(recorded("__GL_SHADER_DISK_CACHE unset"));
    env["STEAM_COMPAT_SHADER_PATH"] = "shadercache/480";
    EXPECT_TRUE(pelto({"waitforexitandrun", exe})
                    .has_line("[WARN]   STEAM_COMPAT_SHADER_PATH=shadercache/480 is no absolute "
                              "path — shader caches stay where they were"));
    EXPECT_TRUE(recorded("DXVK_STATE_CACHE_PATH unset"));
}

TEST_F(StandInWine, WindowsPathsMissingDllsAndSignals) {
    env["STANDIN_SIGNAL"] = "KILL";
    RunResult result = pelto({"waitforexitandrun", "C:\\Games\\x.exe"}, cwd_options());
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_TRUE(result.has_line(
        "[WARN]   game exe not found at C:\\Games\\x.exe (may be a Windows path — continuing)"));
    EXPECT_TRUE(recorded("arg=C:\\Games\\x.exe"));
    EXPECT_TRUE(recorded("cwd=" + tree.path()));
    auto lines = result.log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[WARN]   wine64 killed by signal 9");
    EXPECT_EQ(read_text("/tmp/pelto/wine_stderr.log"),
              "game-stderr\n\n[pelto] killed by signal 9\n");
}

TEST_F(StandInWine, ClosedStandardDescriptorsAndAPlantedLogLink) {
    // Started with 0, 1 and 2 closed: the launch still runs and the game's status comes back.
    env["STANDIN_EXIT"] = "7";
    EXPECT_EQ(pelto({"waitforexitandrun", "x.exe"}, closed_options()).exit_code(), 7);

    // Another user's link at the log name is not followed but replaced by the launch's own
    // file: the victim keeps its content.
    base::make_dirs("/tmp/pelto");
    base::remove_file("/tmp/pelto/wine_stdout.log");
    write_text(tree / "victim", "precious");
    testing::make_link(tree / "victim", "/tmp/pelto/wine_stdout.log");
    env["STANDIN_EXIT"] = "0";
    RunResult result = pelto({"waitforexitandrun", "x.exe"});
    auto own = base::lstat_path("/tmp/pelto/wine_stdout.log");
    EXPECT_TRUE(own && S_ISREG(own->st_mode));
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "game-stdout\n");
    base::remove_file("/tmp/pelto/wine_stdout.log");
    EXPECT_EQ(result.exit_code(), 0);
    EXPECT_EQ(read_text(tree / "victim"), "precious");
    EXPECT_EQ(result.out, "");
}

TEST_F(StandInWine, SigtermEndsTheGameGroupAndTearsTheSessionDown) {
    env["STANDIN_SLEEP"] = "600";
    testing::RunOptions options;
    options.on_started = [&](pid_t pid) {
        // Wait (without a time limit of our own) until the game sleeps, then interrupt pelto.
        while (!base::exists(tree / "sleeping")) base::sleep_ms(20);
        ::kill(pid, SIGTERM);
    };
    RunResult result = pelto({"waitforexitandrun", "x.exe"}, options);
    EXPECT_EQ(result.exit_code(), 1);
    auto lines = result.log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[WARN]   wine64 killed by signal 15");
    // The interrupted session skips "-w" and goes straight to the teardown and "-k"; every
    // server the launch starts ends with its last process (wineboot's, then the game's), and
    // the game does not wait for wineboot's.
    std::string calls = read_text(tree / "server-calls");
    EXPECT_EQ(calls.rfind("-p0\n-p0\n", 0), 0u) << calls;
    EXPECT_EQ(calls.find("-w", calls.rfind("-p0")), std::string::npos) << calls;
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.substr(calls.size() - 3), "-k\n");
    EXPECT_EQ(read_text("/tmp/pelto/wine_stderr.log"),
              "game-stderr\n\n[pelto] killed by signal 15\n");
}

TEST_F(StandInWine, StopSignalsAtEveryPhase) {
    // During the setup: the running wineboot is killed, the prefix's Wine session ended, and
    // the launcher ends as the signal would have ended it.
    env["STANDIN_BOOT_SLEEP"] = "600";
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        base::remove_file(tree / "booting");
        base::remove_file(tree / "server-calls");
        RunResult result =
            pelto({"waitforexitandrun", "x.exe"}, signal_when(tree / "booting", {signo}));
        EXPECT_TRUE(WIFSIGNALED(result.status) && WTERMSIG(result.status) == signo)
            << signo << ": " << result.status << result.err;
        pid_t wineboot = std::atoi(read_text(tree / "booting").c_str());
        EXPECT_TRUE(wineboot > 0 && ::kill(wineboot, 0) != 0) << "wineboot still runs";
        std::string calls = read_text(tree / "server-calls");
        EXPECT_TRUE(calls.size() >= 3 && calls.substr(calls.size() - 3) == "-k\n") << calls;
    }
    env.erase("STANDIN_BOOT_SLEEP");

    // During the game, SIGHUP and SIGQUIT (Steam's session or terminal going away) end it
    // like SIGTERM: the game's group gets SIGTERM, the session end and the save check run.
    env["STANDIN_SLEEP"] = "600";
    for (int signo : {SIGHUP, SIGQUIT}) {
        base::remove_file(tree / "sleeping");
        RunResult result =
            pelto({"waitforexitandrun", "x.exe"}, signal_when(tree / "sleeping", {signo}));
        EXPECT_EQ(result.exit_code(), 1) << signo;
        EXPECT_TRUE(result.has_line("[WARN]   wine64 killed by signal 15")) << result.err;
    }

    // A game that ignores SIGTERM: the second signal kills its whole group.
    env["STANDIN_IGNORE_TERM"] = "1";
    base::remove_file(tree / "sleeping");
    RunResult result =
        pelto({"waitforexitandrun", "x.exe"}, signal_when(tree / "sleeping", {SIGTERM, SIGTERM}));
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_TRUE(result.has_line("[WARN]   wine64 killed by signal 9")) << result.err;
}

TEST_F(StandInWine, AWedgedWineserverPrestartDoesNotHoldUpTheLaunch) {
    env["STANDIN_SERVER_HANG"] = "1";
    RunResult result = pelto({"waitforexitandrun", "x.exe"});
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_TRUE(result.has_line(
        "[WARN]   wineserver: prestart did not return within 5 s; Wine will start its own"))
        << result.err;
}

TEST_F(StandInWine, APlayersLogFileHoldsTheWholeLaunch) {
    env["SteamAppId"] = "440";
    env["STANDIN_EXIT"] = "3";
    env["PELTO_LOG"] = "1";
    std::string log = tree / "home/pelto-440.log";
    RunResult result = pelto({"waitforexitandrun", "first.exe", "an arg"});
    EXPECT_EQ(result.exit_code(), 3) << result.err;
    std::string text = read_text(log);
    // The header, pelto's own lines (DEBUG included), the game's two streams, the exit note.
    std::vector<std::string> in_order = {
        std::string("pelto ") + base::version() + " — the log of one launch\n",
        "\nwine: " + wine + "\n",
        "wine version: wine-8.0-standin\n",
        "verb: waitforexitandrun\nexe: first.exe\narg 1: an arg\n",
        "STEAM_COMPAT_DATA_PATH=" + (tree / "compat") + "\nSteamAppId=440\n---\n",
        "[DEBUG]  pelto " + std::string(base::version()) + "\n",
        "[INFO]   launching: first.exe\n",
        "\n[game stdout] game-stdout\n[game stderr] game-stderr\n",
        "[pelto] exit: 3 (error)\n",
        "[INFO]   log file: " + log + "\n"};
    size_t at = 0;
    for (const std::string& part : in_order) {
        size_t found = text.find(part, at);
        EXPECT_NE(found, std::string::npos) << part << "\nin:\n" << text;
        if (found != std::string::npos) at = found + part.size();
    }
    EXPECT_EQ(at, text.size()) << "the last line names the file";
    EXPECT_EQ(result.log_lines().back(), "[INFO]   log file: " + log);
    // The file changes nothing of the game: Wine's channels follow PELTO_VERBOSE alone.
    EXPECT_NE(read_text(tree / "record").find("WINEDEBUG=-all\n"), std::string::npos)
        << read_text(tree / "record");
    // The "/tmp/pelto" files keep what they always held.
    EXPECT_EQ(read_text("/tmp/pelto/wine_stderr.log"), "game-stderr\n\n[pelto] exit: 3 (error)\n");

    // The next launch of the game replaces the file; another game has a file of its own.
    pelto({"waitforexitandrun", "second.exe"});
    EXPECT_EQ(read_text(log).find("first.exe"), std::string::npos);
    EXPECT_NE(read_text(log).find("exe: second.exe"), std::string::npos);
    // Steam's utility runs and its probe prefix, which end at once with success, leave it be.
    EXPECT_EQ(pelto({"run", "iscriptevaluator.exe"}).exit_code(), 0);
    std::string compat = env["STEAM_COMPAT_DATA_PATH"];
    env["STEAM_COMPAT_DATA_PATH"] = tree / "compatdata/0";
    EXPECT_EQ(pelto({"run", "probe.exe"}).exit_code(), 0);
    env["STEAM_COMPAT_DATA_PATH"] = compat;
    EXPECT_NE(read_text(log).find("exe: second.exe"), std::string::npos);

    // A directory instead of HOME; values that are no directory; HOME unset: one WARN line
    // each, the game runs all the same. A link planted at the name is replaced, not followed.
    env["PELTO_LOG"] = tree / "logs";
    testing::make_dir(tree / "logs");
    EXPECT_EQ(pelto({"waitforexitandrun", "x.exe"}).exit_code(), 3);
    EXPECT_NE(read_text(tree / "logs/pelto-440.log").find("exe: x.exe"), std::string::npos);
    write_text(tree / "a-file", "mine\n");
    for (const std::string& value : {std::string("logs"), tree / "a-file", tree / "missing"}) {
        env["PELTO_LOG"] = value;
        result = pelto({"waitforexitandrun", "x.exe"});
        EXPECT_EQ(result.exit_code(), 3);
        EXPECT_TRUE(
            result.has_line("[WARN]   PELTO_LOG=" + value +
                            ": neither 1 nor the absolute path of a directory — no log file"))
            << result.err;
        EXPECT_EQ(result.err.find("[DEBUG]"), std::string::npos) << "verbose only for a file";
    }
    EXPECT_EQ(read_text(tree / "a-file"), "mine\n");
    env["PELTO_LOG"] = "1";
    base::remove_file(log);
    testing::make_link(tree / "a-file", log);
    result = pelto({"waitforexitandrun", "x.exe"});
    EXPECT_EQ(result.exit_code(), 3);
    EXPECT_FALSE(base::read_link(log));
    EXPECT_NE(read_text(log).find("exe: x.exe"), std::string::npos);
    EXPECT_EQ(read_text(tree / "a-file"), "mine\n");
    env.erase("HOME");
    result = pelto({"waitforexitandrun", "x.exe"});
    EXPECT_EQ(result.exit_code(), 3);
    EXPECT_TRUE(
        result.has_line("[WARN]   PELTO_LOG: HOME is not set (or not valid UTF-8) — no log file"));

    // HOME on a full file system: only the log is lost.
    testing::ScopedMount full(tree / "full-home", "size=64k");
    ASSERT_TRUE(full.ok());
    full.fill();
    env["HOME"] = tree / "full-home";
    result = pelto({"waitforexitandrun", "x.exe"});
    EXPECT_EQ(result.exit_code(), 3);
    EXPECT_TRUE(result.has_line("[WARN]   log file " + (tree / "full-home/pelto-440.log") +
                                ": cannot write: No space left on device (os error 28) — the log "
                                "file ends here"))
        << result.err;
}

// The lines of one launch's log file that carry a game's output or a launch's start and end.
struct LaunchLog {
    size_t headers = 0, exit_notes = 0;
    std::map<std::string, size_t> lines_of_tag;  // "A" -> how many "[game stdout] A out N"
};

LaunchLog read_launch_log(const std::string& path) {
    LaunchLog log;
    std::string text = read_text(path);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = std::min(text.find('\n', pos), text.size());
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.find(" — the log of one launch") != std::string::npos) ++log.headers;
        if (line.rfind("[pelto] exit:", 0) == 0) ++log.exit_notes;
        if (line.rfind("[game stdout] ", 0) == 0 && line.find(" out ") != std::string::npos)
            ++log.lines_of_tag[line.substr(14, line.find(' ', 14) - 14)];
    }
    return log;
}

TEST_F(StandInWine, LaunchesAtOnceEachKeepALogOfTheirOwn) {
    env["PELTO_LOG"] = "1";
    env["STANDIN_LINES"] = "30";
    // Launches that overlap: each starts while the one before it prints.
    auto at_once = [&](const std::vector<std::map<std::string, std::string>>& changes) {
        std::vector<std::thread> launches;
        for (size_t i = 0; i < changes.size(); ++i) {
            std::map<std::string, std::string> own = env;
            for (const auto& [name, value] : changes[i]) own[name] = value;
            launches.emplace_back([own] {
                RunResult result = testing::run_program(testing::pelto_binary(),
                                                        {"waitforexitandrun", "x.exe"}, own);
                EXPECT_EQ(result.exit_code(), 0) << result.err;
            });
            base::sleep_ms(150);
        }
        for (std::thread& launch : launches) launch.join();
    };

    // Two games: each file holds its own launch whole, and nothing of the other's.
    at_once(
        {{{"SteamAppId", "480"}, {"STANDIN_TAG", "A"}, {"STEAM_COMPAT_DATA_PATH", tree / "480"}},
         {{"SteamAppId", "620"}, {"STANDIN_TAG", "B"}, {"STEAM_COMPAT_DATA_PATH", tree / "620"}}});
    for (auto [app, tag] : {std::pair{"480", "A"}, std::pair{"620", "B"}}) {
        LaunchLog log = read_launch_log(tree / ("home/pelto-" + std::string(app) + ".log"));
        EXPECT_EQ(log.headers, 1u) << app;
        EXPECT_EQ(log.exit_notes, 1u) << app;
        EXPECT_EQ(log.lines_of_tag, (std::map<std::string, size_t>{{tag, 30}})) << app;
    }

    // One game twice (the launch lock lets the second run beside the first): the file holds
    // one of the two launches, whole.
    at_once(
        {{{"SteamAppId", "480"}, {"STANDIN_TAG", "C"}, {"STEAM_COMPAT_DATA_PATH", tree / "480"}},
         {{"SteamAppId", "480"}, {"STANDIN_TAG", "D"}, {"STEAM_COMPAT_DATA_PATH", tree / "480"}}});
    LaunchLog log = read_launch_log(tree / "home/pelto-480.log");
    EXPECT_EQ(log.headers, 1u);
    EXPECT_EQ(log.exit_notes, 1u);
    ASSERT_EQ(log.lines_of_tag.size(), 1u);
    EXPECT_EQ(log.lines_of_tag.begin()->second, 30u);
    // A launch killed outright leaves its log under its hidden name: the next launch of the
    // game puts it where the player finds it.
    env["SteamAppId"] = "480";
    env["STEAM_COMPAT_DATA_PATH"] = tree / "480";
    env["STANDIN_LINES"] = "0";
    env["STANDIN_SLEEP"] = "1";
    base::remove_file(tree / "sleeping");
    pelto({"waitforexitandrun", "killed.exe"}, signal_when(tree / "sleeping", {SIGKILL}));
    env.erase("STANDIN_SLEEP");
    RunResult next = pelto({"waitforexitandrun", "x.exe"});
    std::string kept = tree / "home/pelto-480-earlier.log";
    EXPECT_TRUE(
        next.has_line("[INFO]   the log of an earlier launch that was not put in place "
                      "(it was killed) is kept as " +
                      kept))
        << next.err;
    EXPECT_NE(read_text(kept).find("exe: killed.exe"), std::string::npos) << read_text(kept);
    // Nothing is left of the launches' own files but the logs under their names.
    for (const base::DirEntry& entry : base::list_dir(tree / "home"))
        EXPECT_EQ(entry.name.rfind("pelto-", 0), 0u) << entry.name;
}

}  // namespace
}  // namespace pelto
