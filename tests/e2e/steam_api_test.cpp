// The Steam API inside a game, end to end with Valve's own steam_api of SDK 1.60 (npm package
// steamworks.js@0.4.0): the stand-in Steam client answers Valve's libsteam_api.so natively,
// and the same game built for Windows, beside Valve's steam_api64.dll, gets the same answers
// through the bridge lsteamclient, under the real Wine, started by a pelto that install.py
// installed. A Steam client library that cannot be loaded costs the game its Steam, not its
// start.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/posix.hpp"
#include "support/test_support.hpp"
#include "support/wine_fixture.hpp"

namespace pelto {
namespace {

using testing::read_text;
using testing::RunResult;
using testing::TempDir;
using testing::write_text;

const std::string kSteamworks = PELTO_STEAMWORKS_DIR;
const std::string kPackage = "steamworks.js@0.4.0";

// The lines of `text`, without the carriage returns a Windows program's text mode adds.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// What the game must have printed, whatever the order of the two hook calls: the answers of
// the stand-in client, with the callback structs of the platform's layout.
void expect_answers(const std::string& out, bool windows) {
    std::vector<std::string> expected = {
        windows ? "callback struct sizes: 24 24 16" : "callback struct sizes: 20 20 12",
        "init: 0 ",
        "running: 1",
        "interfaces: 1 1 1 1 1",
        "steam id: 76561197960287930",
        "logged on: 1",
        "persona: Pelto Tëster ✓",
        "app id: 480",
        "hook: 0 stand-in: the hook is set, on the game's thread",
        "hook: 1 stand-in: the hook is called from a thread of the client's",
        "hook calls: 2",
        "subscribed: 1",
        "subscribed 480: 1, 999: 0",
        "language: finnish",
        "stats requested: 1",
        windows ? "callback 1101: 24 bytes" : "callback 1101: 20 bytes",
        "stats received: game 480, result 1, user 76561197960287930",
        "stats: kills 7 (1), distance 2.50 (1)",
        "achievement: set 1, got 1, achieved 1, stored 1",
        windows ? "callback 1102: 16 bytes" : "callback 1102: 12 bytes",
        "leaderboard call: made",
        windows ? "call completed: the call made, result 1104 of 16 bytes"
                : "call completed: the call made, result 1104 of 12 bytes",
        "call result: got, failed 0",
        "leaderboard: found 1, handle 4660",
        // Natively the client calls the status function inside RunCallbacks, so the second
        // report runs inside the first; through the bridge each runs after the client's call
        // returns, one after the other, never one inside another.
        windows ? "connection status: set 1, begin 7 old 3, end 7, begin 8 old 3, end 8"
                : "connection status: set 1, begin 7 old 3, begin 8 old 3, end 8, end 7",
        // Custom signaling would hand the client the game's objects: the bridge refuses it.
        windows ? "custom signaling: 0" : "custom signaling: 99",
        "beacons: 1: 1 100, 1 101, 0",
        "shutdown: done",
    };
    std::vector<std::string> printed = lines_of(out);
    for (const std::string& line : expected) {
        EXPECT_NE(std::find(printed.begin(), printed.end(), line), printed.end())
            << "missing \"" << line << "\" in:\n"
            << out;
    }
    EXPECT_EQ(out.find("stand-in: custom signaling reached the client") == std::string::npos,
              windows)
        << out;
}

// The install folder's line: its path and whether the game sees it.
std::string install_dir_line(const std::string& out) {
    for (const std::string& line : lines_of(out)) {
        if (line.rfind("install dir: ", 0) == 0) return line;
    }
    return "";
}

// Why the Steam API tests cannot run here; "" when they can.
std::string steam_api_unavailable() {
    if (!base::exists(kSteamworks + "/dist/win64/steam_api64.dll") ||
        !base::exists(kSteamworks + "/dist/linux64/libsteam_api.so")) {
        return "needs the npm package " + kPackage + " in " + kSteamworks +
               " (scripts/setup fetches it with npm pack)";
    }
    return "";
}

TEST(SteamApi, TheStandInClientAnswersValvesLinuxSteamApi) {
    std::string why = steam_api_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    // libsteam_api.so loads ~/.steam/sdk64/steamclient.so and counts Steam as running while
    // ~/.steam/steam.pid names a live process (this one).
    std::string home = dir / "home";
    testing::make_dir(home + "/.steam/sdk64");
    testing::make_link(PELTO_STANDIN_CLIENT, home + "/.steam/sdk64/steamclient.so");
    write_text(home + "/.steam/steam.pid", std::to_string(::getpid()));
    std::string game = dir / "game";
    testing::make_dir(game);
    ASSERT_EQ(
        base::copy_file(kSteamworks + "/dist/linux64/libsteam_api.so", game + "/libsteam_api.so"),
        0);
    std::map<std::string, std::string> env = testing::base_env(home);
    env["SteamAppId"] = "480";
    env["STEAM_COMPAT_INSTALL_PATH"] = game;
    testing::RunOptions options;
    options.cwd = game;
    RunResult result =
        testing::run_program(PELTO_API_GAME, {game + "/libsteam_api.so"}, env, options);
    EXPECT_EQ(result.exit_code(), 0) << result.out << result.err;
    expect_answers(result.out, false);
    EXPECT_EQ(install_dir_line(result.out), "install dir: " + game + " (length " +
                                                std::to_string(game.size() + 1) + ", exists 1)");
}

// A temporary HOME with a Steam installation whose linux64/steamclient.so is the stand-in, a
// compatibilitytools.d, the game with Valve's steam_api64.dll beside it, and pelto installed
// there by install.py.
class SteamApiUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = testing::wine_unavailable_reason();
        if (why.empty()) why = steam_api_unavailable();
        if (why.empty() && (std::string(PELTO_API_GAME_EXE).empty() ||
                            std::string(PELTO_LSTEAMCLIENT_DLL).empty())) {
            why = "the Windows Steam API game or lsteamclient.dll was not built";
        }
        if (!why.empty()) GTEST_SKIP() << why;
        root = std::make_unique<TempDir>();
        for (const std::string& d : {home(), tmp(), steam() + "/linux64", game_dir(), compat()})
            testing::make_dir(d);
        ASSERT_EQ(base::copy_file(PELTO_STANDIN_CLIENT, steam() + "/linux64/steamclient.so"), 0);
        ASSERT_EQ(base::copy_file(PELTO_API_GAME_EXE, game_dir() + "/api_game.exe"), 0);
        ASSERT_EQ(base::copy_file(kSteamworks + "/dist/win64/steam_api64.dll",
                                  game_dir() + "/steam_api64.dll"),
                  0);
        std::map<std::string, std::string> env = this->env();
        std::vector<std::string> args = {std::string(PELTO_SOURCE_DIR) + "/install.py", "--build",
                                         PELTO_BUILD_DIR, "--dest", tool()};
        if (copies_wine()) args.push_back("--copy-wine");
        RunResult installed = testing::run_program("/usr/bin/python3", args, env);
        ASSERT_EQ(installed.exit_code(), 0) << installed.out << installed.err;
    }

    // Whether the tool gets a copy of Wine of its own (which finds the bridge in its own
    // module folder, and its Linux half in the copy's unix folder).
    virtual bool copies_wine() const { return false; }

    void TearDown() override {
        if (!root) return;
        testing::wait_until([&] { return testing::processes_of_prefix(prefix()).empty(); });
        for (pid_t pid : testing::processes_of_prefix(prefix())) ::kill(pid, SIGKILL);
        root.reset();
    }

    std::string home() const { return *root / "home"; }
    std::string tmp() const { return *root / "tmp"; }
    std::string steam() const { return home() + "/.local/share/Steam"; }
    std::string tool() const { return *root / "tools/pelto"; }
    std::string game_dir() const { return *root / "library/steamapps/common/API Game"; }
    std::string compat() const { return *root / "compat"; }
    std::string prefix() const { return compat() + "/pfx"; }

    std::map<std::string, std::string> env() const {
        std::map<std::string, std::string> env = testing::base_env(home());
        env["TMPDIR"] = tmp();
        return env;
    }

    // pelto as Steam runs it for app 480, started in the game's folder.
    RunResult launch() const {
        std::map<std::string, std::string> env = this->env();
        env["STEAM_COMPAT_DATA_PATH"] = compat();
        env["STEAM_COMPAT_CLIENT_INSTALL_PATH"] = steam();
        env["STEAM_COMPAT_INSTALL_PATH"] = game_dir();
        env["STEAM_COMPAT_LIBRARY_PATHS"] = *root / "library";
        env["SteamAppId"] = "480";
        env["HOST_LC_ALL"] = "C.UTF-8";
        env["WINEDEBUG"] = "-all";
        testing::RunOptions options;
        options.cwd = game_dir();
        return testing::run_program(
            tool() + "/pelto", {"waitforexitandrun", game_dir() + "/api_game.exe"}, env, options);
    }

    std::unique_ptr<TempDir> root;
};

TEST_F(SteamApiUnderWine, AWindowsGameGetsTheClientsAnswersThroughTheBridge) {
    for (const char* half : {"lsteamclient.dll", "lsteamclient.so"}) {
        EXPECT_TRUE(base::exists(tool() + "/lib/wine/x86_64-windows/" + half)) << half;
    }
    RunResult result = launch();
    std::string out = read_text("/tmp/pelto/wine_stdout.log");
    std::string err = read_text("/tmp/pelto/wine_stderr.log");
    EXPECT_EQ(result.exit_code(), 0) << out << err << result.err;
    expect_answers(out, true);
    // The install folder reaches the game as a Windows path that exists for it.
    std::string line = install_dir_line(out);
    EXPECT_TRUE(line.size() > 16 && line[14] == ':' && line[15] == '\\') << line;
    EXPECT_NE(line.find(", exists 1)"), std::string::npos) << line;
    // steam_api also asks for an interface version no SDK of the tables declares: the game gets
    // none, and one line says so.
    EXPECT_NE(err.find("lsteamclient: the game asked for the interface SteamClient017, which "
                       "this bridge does not know"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("lsteamclient: the game uses custom P2P signaling, which this bridge "
                       "cannot pass to the Steam client; those connections fail"),
              std::string::npos)
        << err;
    // The prefix's Steam folder has the bridge where steam_api looks.
    EXPECT_TRUE(base::exists(prefix() + "/drive_c/Program Files (x86)/Steam/steamclient64.dll"));

    // A Steam client library that cannot be loaded: one WARN line before the launch, and the
    // game starts as without Steam (its SteamAPI_Init fails).
    write_text(steam() + "/linux64/steamclient.so", "not a library");
    result = launch();
    out = read_text("/tmp/pelto/wine_stdout.log");
    std::string warning = "[WARN]   Steam client library " + steam() +
                          "/linux64/steamclient.so cannot be loaded (it is not an ELF file) — "
                          "games that use the Steam API run without Steam";
    EXPECT_NE(result.err.find(warning), std::string::npos) << result.err;
    EXPECT_EQ(result.exit_code(), 1) << out;
    EXPECT_NE(out.find("callback struct sizes: 24 24 16"), std::string::npos) << out;
    EXPECT_EQ(out.find("init: 0 "), std::string::npos) << out;
}

class SteamApiWithACopiedWine : public SteamApiUnderWine {
protected:
    bool copies_wine() const override { return true; }
};

TEST_F(SteamApiWithACopiedWine, TheBridgeIsFoundInTheToolsOwnWine) {
    RunResult result = launch();
    std::string out = read_text("/tmp/pelto/wine_stdout.log");
    EXPECT_EQ(result.exit_code(), 0) << out << read_text("/tmp/pelto/wine_stderr.log");
    expect_answers(out, true);
}

}  // namespace
}  // namespace pelto
