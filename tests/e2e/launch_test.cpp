// The first launch from end to end: the built pelto, installed beside a Wine tree, starts the
// Windows test game under the real Wine through the shipped Steam bridge, and the test reads
// what the game saw and what pelto logged. The command-line cases at the top need no Wine.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <regex>

#include "base/posix.hpp"
#include "support/test_support.hpp"
#include "support/wine_fixture.hpp"

namespace pelto {
namespace {

using testing::read_text;
using testing::RunResult;
using testing::TempDir;
using testing::WineTest;

const std::string kUsage =
    "Usage: pelto <verb> <exe> [args...]\n"
    "  verbs: waitforexitandrun, run, getcompatpath, getnativepath\n";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CommandLine, UsageUnknownVerbAndQueryVerbs) {
    TempDir home;
    auto env = testing::base_env(home.path());
    const std::string pelto = testing::pelto_binary();

    RunResult alone = testing::run_program(pelto, {}, env);
    EXPECT_EQ(alone.exit_code(), 2);
    EXPECT_EQ(alone.err, kUsage);
    EXPECT_EQ(alone.out, "");

    // The error line carries the stamp and the tag; the usage lines carry neither.
    RunResult unknown = testing::run_program(pelto, {"RUN", "x"}, env);
    EXPECT_EQ(unknown.exit_code(), 1);
    EXPECT_TRUE(std::regex_match(unknown.err.substr(0, unknown.err.find('\n')),
                                 std::regex(R"(\[\d\d:\d\d:\d\d\] \[ERROR\]  Unknown verb: RUN)")))
        << unknown.err;
    EXPECT_EQ(unknown.err.substr(unknown.err.find('\n') + 1), kUsage);

    // The query verbs echo the first argument unchanged, whatever the environment holds.
    RunResult query = testing::run_program(pelto, {"getcompatpath", "/some/path"}, env);
    EXPECT_EQ(query.exit_code(), 0);
    EXPECT_EQ(query.out, "/some/path\n");
    EXPECT_EQ(query.err, "");
    env["STEAM_COMPAT_DATA_PATH"] = home / "compat";
    query = testing::run_program(pelto, {"getnativepath", "C:\\x y\\\xff.exe", "b"}, env);
    EXPECT_EQ(query.exit_code(), 0);
    EXPECT_EQ(query.out, "C:\\x y\\\xff.exe\n");
    EXPECT_FALSE(base::lstat_path(home / "compat"));
    query = testing::run_program(pelto, {"getnativepath"}, env);
    EXPECT_EQ(query.exit_code(), 0);
    EXPECT_EQ(query.out, "");

    testing::RunOptions closed;
    closed.close_stdout = true;
    query = testing::run_program(pelto, {"getcompatpath", "/some/path"}, env, closed);
    EXPECT_EQ(query.exit_code(), 0);
    EXPECT_EQ(query.err, "");
}

// The game's printed arguments: "arg[i] u16=... unix=... text=..." split into its fields.
struct PrintedArg {
    std::string u16, unix_hex, text;
};

std::vector<PrintedArg> printed_args(const std::string& out) {
    std::vector<PrintedArg> args;
    std::regex line(R"(arg\[(\d+)\] u16=([0-9a-f,]*) unix=([0-9a-f]*) text=(.*))");
    for (const std::string& text : lines_of(out)) {
        std::smatch m;
        if (std::regex_match(text, m, line)) args.push_back({m[2], m[3], m[4]});
    }
    return args;
}

// What the game printed for `print-env`: name to value, absent names left out.
std::map<std::string, std::string> printed_env(const std::string& out) {
    std::map<std::string, std::string> env;
    for (const std::string& line : lines_of(out)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && line.rfind("arg[", 0) != 0)
            env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

class WineLaunch : public WineTest {
protected:
    // The pid of pelto's child, the Wine process that runs the bridge and leads the game's
    // process group; -1 when there is none.
    static pid_t game_leader(pid_t pelto) {
        for (pid_t child : testing::children_of(pelto)) {
            if (::getpgid(child) == child) return child;
        }
        return -1;
    }

    // Options that wait until the game has written `marker`, then call `act` with pelto's pid
    // and the game's group leader. If the game never gets there, pelto and the game's group
    // are killed so that the test fails instead of hanging.
    testing::RunOptions when_running(const std::string& marker,
                                     std::function<void(pid_t pelto, pid_t leader)> act) {
        testing::RunOptions options;
        options.on_started = [marker, act](pid_t pelto) {
            pid_t leader = -1;
            bool running = testing::wait_until([&] {
                leader = game_leader(pelto);
                return leader > 0 && base::exists(marker);
            });
            if (!running) {
                ADD_FAILURE() << "the game never wrote " << marker;
                if (leader > 0) ::kill(-leader, SIGKILL);
                ::kill(pelto, SIGKILL);
                return;
            }
            act(pelto, leader);
        };
        return options;
    }
};

TEST_F(WineLaunch, ExitCodesAndTheGameLogs) {
    RunResult clean = wine->run_game({"stdout", "hello from the game", "exit", "0"});
    EXPECT_EQ(clean.exit_code(), 0) << clean.err;
    EXPECT_TRUE(clean.has_line("[INFO]   launching: " + wine->game_exe())) << clean.err;
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "hello from the game\n");
    EXPECT_TRUE(ends_with(read_text("/tmp/pelto/wine_stderr.log"), "\n[pelto] exit: 0 (clean)\n"));

    RunResult failed = wine->run_game({"stdout", "out", "stderr", "bad things", "exit", "3"});
    EXPECT_EQ(failed.exit_code(), 3) << failed.err;
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "out\n");
    std::string err_log = read_text("/tmp/pelto/wine_stderr.log");
    EXPECT_NE(err_log.find("bad things\n"), std::string::npos) << err_log;
    EXPECT_TRUE(ends_with(err_log, "\n[pelto] exit: 3 (error)\n")) << err_log;
    // The game ran in its own directory, under its Windows name.
    RunResult cwd = wine->run_game({"print-cwd"});
    EXPECT_EQ(cwd.exit_code(), 0);
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"),
              "cwd=" + testing::z_drive_path(wine->root() + "/games/Test Game") + "\n");
}

TEST_F(WineLaunch, Direct3DLoadsOnEveryLaunchWithoutDxvk) {
    // No DXVK anywhere: the game gets Wine's own Direct3D (the fixture's stand-in file makes
    // way for Wine's module, as wineboot lays it), on the first launch and on every launch
    // after it, when the deployment record says nothing changed.
    ASSERT_EQ(base::copy_file(wine->tool_dir() + "/lib/wine/x86_64-windows/d3d11.dll",
                              wine->prefix() + "/drive_c/windows/system32/d3d11.dll"),
              0);
    for (int launch = 1; launch <= 2; ++launch) {
        RunResult result = wine->run_game({"load-library", "d3d11.dll"});
        EXPECT_EQ(result.exit_code(), 0)
            << "launch " << launch << ": " << result.err << read_text("/tmp/pelto/wine_stderr.log");
        EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "loaded d3d11.dll\n");
    }
}

TEST_F(WineLaunch, ALoaderThatFailsLeavesNothingRunning) {
    // A loader that exits at once never reaches the wineserver started ahead for it, which
    // would then never end: the session end waits for it only a bounded time.
    std::string loader = wine->tool_dir() + "/bin/wine";
    std::string real_loader = read_text(loader);
    testing::write_script(loader, "exit 0\n");
    RunResult quick = wine->run_game({"exit", "0"});
    EXPECT_EQ(quick.exit_code(), 0) << quick.err;
    EXPECT_TRUE(quick.has_line(
        "[WARN]   session: wineserver still running 20 s after the game ended — ending the "
        "session"))
        << quick.err;
    EXPECT_TRUE(testing::processes_of_prefix(wine->prefix()).empty());

    // A loader that cannot be executed: the launch fails at once and ends the server too.
    testing::write_text(loader, "#!/nonexistent/interpreter\n");
    RunResult failed = wine->run_game({"exit", "0"});
    EXPECT_EQ(failed.exit_code(), 1);
    EXPECT_TRUE(
        failed.has_line("[ERROR]  Failed to exec wine64: No such file or directory (os error 2)"))
        << failed.err;
    EXPECT_TRUE(testing::processes_of_prefix(wine->prefix()).empty());
    testing::write_text(loader, real_loader);
}

TEST_F(WineLaunch, ArgumentsReachTheGameUnchanged) {
    std::vector<std::string> args = {"with space",
                                     "quote\"inside",
                                     "back\\slash\\",
                                     "",
                                     "ä€✓ 日本",
                                     "  lead and trail  ",
                                     "tab\there",
                                     "a\xff\xfe\x62",
                                     "C:\\dir with space\\",
                                     "mixed \\\"quote\\\\\"",
                                     "exit",
                                     "5"};
    std::vector<std::string> game_args = {"print-args"};
    game_args.insert(game_args.end(), args.begin(), args.end());
    RunResult result = wine->run_game(game_args);
    // "exit 5" after print-args is data, not a command.
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    std::vector<PrintedArg> printed = printed_args(read_text("/tmp/pelto/wine_stdout.log"));
    ASSERT_EQ(printed.size(), args.size()) << read_text("/tmp/pelto/wine_stdout.log");
    for (size_t i = 0; i < args.size(); ++i) {
        if (i == 7) continue;
        EXPECT_EQ(printed[i].text, args[i]) << "argument " << i;
    }
    EXPECT_EQ(printed[3].u16, "");
    EXPECT_EQ(printed[4].u16, "00e4,20ac,2713,0020,65e5,672c");
    // Wine reads the arguments as UTF-8 and shows each stray byte as U+FFFD; that the bytes
    // leave pelto unchanged is checked on the Wine process's own command line below.
    EXPECT_EQ(printed[7].u16, "0061,fffd,fffd,0062");
}

TEST_F(WineLaunch, AKilledGameGivesSignalNineAndItsRawArguments) {
    std::string marker = wine->root() + "/running";
    std::vector<std::string> game_args = {"write-file",    testing::z_drive_path(marker),
                                          "yes",           "sleep",
                                          "600000",        "print-args",
                                          "a\xff\xfe\x62", "two words"};
    std::vector<std::string> leader_cmdline;
    RunResult result = wine->run_game(game_args, {}, when_running(marker, [&](pid_t, pid_t leader) {
                                          leader_cmdline = testing::cmdline_of(leader);
                                          ::kill(-leader, SIGKILL);
                                      }));
    EXPECT_EQ(result.exit_code(), 1) << result.err;
    std::vector<std::string> lines = result.log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[WARN]   wine64 killed by signal 9");
    EXPECT_TRUE(
        ends_with(read_text("/tmp/pelto/wine_stderr.log"), "\n[pelto] killed by signal 9\n"));

    // Wine drops its own name from the front of the command line; the rest is what pelto
    // passed: the bridge, the game and every argument byte for byte.
    std::vector<std::string> expected = {"C:\\windows\\system32\\steam.exe", wine->game_exe()};
    expected.insert(expected.end(), game_args.begin(), game_args.end());
    ASSERT_GE(leader_cmdline.size(), expected.size());
    EXPECT_EQ(
        std::vector<std::string>(leader_cmdline.end() - expected.size(), leader_cmdline.end()),
        expected);
}

TEST_F(WineLaunch, SigtermEndsTheGameAndTearsTheSessionDown) {
    std::string marker = wine->root() + "/running";
    bool interrupted = false;
    RunResult result =
        wine->run_game({"write-file", testing::z_drive_path(marker), "yes", "sleep", "600000"}, {},
                       when_running(marker, [&](pid_t pelto, pid_t) {
                           interrupted = true;
                           ::kill(pelto, SIGTERM);
                       }));
    ASSERT_TRUE(interrupted);
    // pelto forwarded the signal to the game and came back on its own instead of dying of it.
    EXPECT_EQ(result.exit_code(), 1) << result.err;
    std::vector<std::string> lines = result.log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[WARN]   wine64 killed by signal 15");
    EXPECT_TRUE(
        ends_with(read_text("/tmp/pelto/wine_stderr.log"), "\n[pelto] killed by signal 15\n"));
    // The teardown killed the game's group and "-k" stopped the prefix's wineserver before
    // pelto returned: nothing of the prefix is alive any more (zombies hold no environment).
    std::vector<std::string> survivors;
    for (pid_t pid : testing::processes_of_prefix(wine->prefix())) {
        std::string line;
        for (const std::string& arg : testing::cmdline_of(pid)) line += arg + " ";
        auto exe = base::read_link("/proc/" + std::to_string(pid) + "/exe");
        bool server = exe && exe->find("wineserver") != std::string::npos;
        if (server || line.find("test_game.exe") != std::string::npos) survivors.push_back(line);
    }
    EXPECT_TRUE(survivors.empty()) << ::testing::PrintToString(survivors);
}

TEST_F(WineLaunch, TheGameSeesItsEnvironment) {
    wine->write_env_config(
        "# set for every game of this installation\n"
        "PELTO_E2E_CUSTOM = a value = with equals\n"
        "DXVK_LOG_LEVEL=info\n");
    std::vector<std::string> names = {"SteamAppId",         "SteamGameId",      "WINEPREFIX",
                                      "WINEDLLOVERRIDES",   "PELTO_E2E_CUSTOM", "DXVK_LOG_LEVEL",
                                      "STEAM_COMPAT_APP_ID"};
    std::vector<std::string> game_args = {"print-env"};
    game_args.insert(game_args.end(), names.begin(), names.end());

    // The first of SteamGameId, SteamAppId, STEAM_COMPAT_APP_ID that is set wins, even empty.
    RunResult first = wine->run_game(
        game_args, {{"SteamGameId", ""}, {"SteamAppId", "440"}, {"STEAM_COMPAT_APP_ID", "9"}});
    EXPECT_EQ(first.exit_code(), 0) << first.err;
    auto env = printed_env(read_text("/tmp/pelto/wine_stdout.log"));
    EXPECT_EQ(env["SteamAppId"], "");
    EXPECT_EQ(env["SteamGameId"], "");
    EXPECT_EQ(env["STEAM_COMPAT_APP_ID"], "9");
    EXPECT_EQ(env["WINEPREFIX"], wine->prefix());
    EXPECT_EQ(env["WINEDLLOVERRIDES"].rfind("lsteamclient=b;steam.exe=b;", 0), 0u)
        << env["WINEDLLOVERRIDES"];
    EXPECT_NE(env["WINEDLLOVERRIDES"].find(";vrclient_x64=d;opencl=n,d"), std::string::npos);
    // A variable from env_config reaches the game and wins over the value pelto computes.
    EXPECT_EQ(env["PELTO_E2E_CUSTOM"], "a value = with equals");
    EXPECT_EQ(env["DXVK_LOG_LEVEL"], "info");

    RunResult second = wine->run_game(game_args, {{"STEAM_COMPAT_APP_ID", "1245620"}});
    EXPECT_EQ(second.exit_code(), 0) << second.err;
    env = printed_env(read_text("/tmp/pelto/wine_stdout.log"));
    EXPECT_EQ(env["SteamAppId"], "1245620");
    EXPECT_EQ(env["SteamGameId"], "1245620");
}

TEST_F(WineLaunch, A32BitGameRunsAndThePlayersLogHoldsWinesOwnOutput) {
    std::string modules32 = testing::WineSource().lib_dir32 + "/i386-windows";
    if (testing::test_game32_exe().empty() || !base::exists(modules32 + "/ntdll.dll")) {
        GTEST_SKIP() << "no 32-bit compiler or no 32-bit Wine (Debian: wine32:i386)";
    }
    // The tool's Wine tree with the 32-bit half's modules, as install.py lays it out.
    std::string tool_modules32 = wine->tool_dir() + "/lib/wine/i386-windows";
    ASSERT_EQ(base::remove_file(tool_modules32), 0);
    testing::make_link(modules32, tool_modules32);
    std::string game32 = wine->root() + "/games/Test Game/test_game32.exe";
    ASSERT_EQ(base::copy_file(testing::test_game32_exe(), game32), 0);
    std::map<std::string, std::string> env = wine->env();
    env["PELTO_LOG"] = "1";
    env["SteamAppId"] = "70";
    RunResult result = testing::run_program(
        wine->pelto(), {"waitforexitandrun", game32, "stdout", "from 32 bits", "exit", "5"}, env);
    EXPECT_EQ(result.exit_code(), 5) << result.err;
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "from 32 bits\n");
    // The log file holds Wine's own lines (the log turns on its process channel) beside the
    // game's output.
    std::string log = read_text(wine->home() + "/pelto-70.log");
    EXPECT_NE(log.find("\n[game stdout] from 32 bits\n"), std::string::npos) << log;
    EXPECT_NE(log.find(":trace:process:"), std::string::npos) << log;
    EXPECT_NE(log.find("\nwine version: wine-"), std::string::npos) << log;
    EXPECT_NE(log.find("\n[pelto] exit: 5 (error)\n"), std::string::npos) << log;
}

TEST_F(WineLaunch, EveryWineProcessOfALaunchFindsTheSameServer) {
    // TMPDIR from env_config moves the directory of Debian's Wine server for the game; the
    // server started ahead and the session end must use the same one, or it stays running.
    std::string moved = wine->root() + "/moved-tmp";
    testing::make_dir(moved);
    wine->write_env_config("TMPDIR=" + moved + "\n");
    RunResult moved_run = wine->run_game({"exit", "4"});
    EXPECT_EQ(moved_run.exit_code(), 4) << moved_run.err;
    EXPECT_TRUE(testing::processes_of_prefix(wine->prefix()).empty())
        << ::testing::PrintToString(wine->leftover_processes(0));

    // An environment too large to start the game with: the launch fails, and the server
    // started ahead for it is ended all the same.
    std::string many;
    for (int i = 0; i < 200000; ++i) many += "PELTO_MANY_" + std::to_string(i) + "=x\n";
    wine->write_env_config(many);
    RunResult too_large = wine->run_game({"exit", "0"});
    EXPECT_EQ(too_large.exit_code(), 1);
    EXPECT_TRUE(
        too_large.has_line("[ERROR]  Failed to exec wine64: Argument list too long (os error 7)"))
        << too_large.err.substr(0, 2000);
    EXPECT_TRUE(testing::processes_of_prefix(wine->prefix()).empty())
        << ::testing::PrintToString(wine->leftover_processes(0));
}

TEST_F(WineLaunch, TheSessionEndsWithTheGameAndWineSavesItsRegistry) {
    RunResult result = wine->run_game({"write-registry", "pelto-answer", "42", "exit", "0"});
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    // As pelto exits, the prefix's Wine session has ended by Wine's own shutdown: no process
    // of it is left, and the registry holds what the game wrote.
    EXPECT_TRUE(testing::processes_of_prefix(wine->prefix()).empty())
        << ::testing::PrintToString(wine->leftover_processes(0));
    EXPECT_NE(read_text(wine->prefix() + "/user.reg").find("\"pelto-answer\"=\"42\""),
              std::string::npos);
}

// The very first launch of a game: an empty compatibility data directory, in which pelto
// creates the prefix itself before it starts the game; the second launch finds it current.
class WineFirstLaunch : public WineTest {
protected:
    bool fixture_builds_prefix() const override { return false; }
};

TEST_F(WineFirstLaunch, PeltoCreatesThePrefixThenFindsItCurrent) {
    ASSERT_FALSE(base::lstat_path(wine->prefix()));
    RunResult first = wine->run_game({"stdout", "first launch", "exit", "3"});
    EXPECT_EQ(first.exit_code(), 3) << first.err;
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "first launch\n");
    EXPECT_TRUE(base::exists(wine->prefix() + "/system.reg"));
    EXPECT_TRUE(base::exists(wine->prefix() + "/dosdevices/c:/windows/system32/steam.exe"));
    EXPECT_EQ(base::read_link(wine->prefix() + "/dosdevices/z:"), "/");
    // Wine's menu builder never ran: nothing was written into the player's home.
    EXPECT_EQ(base::list_dir(wine->home()).size(), 0u);

    RunResult second = wine->run_game({"exit", "0"}, {{"PELTO_VERBOSE", "1"}});
    EXPECT_EQ(second.exit_code(), 0) << second.err;
    EXPECT_TRUE(second.has_line("[DEBUG]  cache hit: every component current")) << second.err;
    EXPECT_FALSE(second.has_line("[DEBUG]  No default_pfx template, running wineboot --init..."));
}

// Before the first test: private "/tmp/pelto" and "/tmp/.wine-{uid}" for this binary, so that
// another test run on the same machine cannot overwrite the game logs these tests read.
class PrivateSharedDirs : public ::testing::Environment {
public:
    void SetUp() override {
        dirs_ = std::make_unique<TempDir>();
        std::string why = testing::use_private_shared_dirs(dirs_->path());
        if (!why.empty()) std::cerr << "using the shared /tmp/pelto: " << why << "\n";
    }
    void TearDown() override { dirs_.reset(); }

private:
    std::unique_ptr<TempDir> dirs_;
};

// After every test of the binary: no Wine process of any fixture's prefix is left running.
class NothingLeftRunning : public ::testing::Environment {
public:
    void TearDown() override {
        for (const std::string& prefix : testing::fixture_prefixes()) {
            std::vector<pid_t> left = testing::processes_of_prefix(prefix);
            EXPECT_TRUE(left.empty())
                << "processes of " << prefix << " still run: " << ::testing::PrintToString(left);
        }
    }
};

const auto* const kPrivateSharedDirs = ::testing::AddGlobalTestEnvironment(new PrivateSharedDirs);
const auto* const kNothingLeftRunning = ::testing::AddGlobalTestEnvironment(new NothingLeftRunning);

}  // namespace
}  // namespace pelto
