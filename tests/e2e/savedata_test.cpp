// Save-data protection and the trace observer around a real game under the real Wine: the
// test game deletes and rewrites save files in its profile, and a stand-in `brantle` on PATH
// records how pelto started it.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "base/posix.hpp"
#include "launcher/prefix/user.hpp"
#include "support/test_support.hpp"
#include "support/wine_fixture.hpp"

namespace pelto {
namespace {

using testing::read_text;
using testing::RunResult;
using testing::WineTest;
using testing::write_text;

const std::string kMissingLine =
    "[WARN]   1 save files were missing after game exit — restored from backup";

bool has_line_starting(const RunResult& result, const std::string& start) {
    auto lines = result.log_lines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

class SaveDataWine : public WineTest {};
class TraceWine : public WineTest {};

TEST_F(SaveDataWine, DeletedSaveFilesComeBackAfterTheGame) {
    std::string game_dir = launcher::prefix::user_profile_dir(wine->prefix(), "steamuser") +
                           "/AppData/Roaming/Pelto Test";
    write_text(game_dir + "/keep.sav", "keep");
    write_text(game_dir + "/deleted.sav", "precious progress");
    write_text(game_dir + "/rewritten.sav", "old");
    std::string backup = wine->compat() + "/save_backup";

    RunResult first = wine->run_game(
        {"delete-file", testing::z_drive_path(game_dir + "/deleted.sav"), "write-file",
         testing::z_drive_path(game_dir + "/rewritten.sav"), "new", "exit", "0"});
    EXPECT_EQ(first.exit_code(), 0) << first.err;
    EXPECT_TRUE(first.has_line(kMissingLine)) << first.err;
    EXPECT_EQ(read_text(game_dir + "/deleted.sav"), "precious progress");
    EXPECT_EQ(read_text(game_dir + "/rewritten.sav"), "new");
    EXPECT_EQ(read_text(game_dir + "/keep.sav"), "keep");
    // Something had to be restored: the backup stays until the next launch.
    EXPECT_TRUE(base::is_dir(backup + "/AppData/Roaming/Pelto Test"));
    EXPECT_TRUE(base::exists(backup + "/manifest.txt"));

    // A launch where nothing goes missing leaves no backup behind.
    RunResult second = wine->run_game({"exit", "0"}, {{"PELTO_VERBOSE", "1"}});
    EXPECT_EQ(second.exit_code(), 0) << second.err;
    EXPECT_TRUE(has_line_starting(second, "[DEBUG]  save data check: 0 files restored, "))
        << second.err;
    // wineboot linked Documents into HOME: a folder the backup cannot protect, named as such.
    for (const std::string& line : second.log_lines()) {
        if (line.rfind("[WARN]   save", 0) != 0) continue;
        EXPECT_EQ(line, "[WARN]   save backup: " + wine->prefix() +
                            "/drive_c/users/steamuser/Documents leads out of the prefix — its save "
                            "files are not protected");
    }
    EXPECT_FALSE(base::lstat_path(backup));
}

// A stand-in observer: records its arguments and BRANTLE_NTDLL_PATH, complains on stderr.
const char* kStandIn = R"(#!/bin/sh
{
  for a in "$@"; do echo "arg=$a"; done
  echo "ntdll=${BRANTLE_NTDLL_PATH-unset}"
} > "$BRANTLE_RECORD.tmp"
echo "observer complaint" >&2
mv "$BRANTLE_RECORD.tmp" "$BRANTLE_RECORD"
)";

TEST_F(TraceWine, ObserverStartsBesideTheGame) {
    const std::string incidents = "/tmp/pelto/incidents";
    base::remove_tree(incidents);
    std::string bin = wine->root() + "/observer-bin";
    write_text(bin + "/brantle", kStandIn);
    ::chmod((bin + "/brantle").c_str(), 0755);
    std::string record = wine->root() + "/brantle-record";

    RunResult traced = wine->run_game({"stderr", "game trouble", "exit", "0"},
                                      {{"PATH", bin + ":" + wine->env().at("PATH")},
                                       {"PELTO_TRACE", "1"},
                                       {"PELTO_TRACE_OUT", "1"},
                                       {"BRANTLE_RECORD", record}});
    EXPECT_EQ(traced.exit_code(), 0) << traced.err;
    ASSERT_TRUE(testing::wait_until([&] { return base::exists(record); }, 60000));
    std::string expected_ntdll = wine->tool_dir() + "/lib/wine/x86_64-unix/ntdll.so";
    EXPECT_EQ(read_text(record),
              "arg=--trace\narg=test_game,steam.exe,wineserver\narg=--headless\n"
              "arg=--trace-out\narg=" +
                  incidents +
                  "/test_game-io.bin\n"
                  "ntdll=" +
                  expected_ntdll + "\n");
    EXPECT_TRUE(traced.has_line("[INFO]   brantle observer: --trace-out → " + incidents +
                                "/test_game-io.bin"))
        << traced.err;
    auto lines = traced.log_lines();
    std::regex spawned(R"(\[INFO\]   brantle observer spawned \(pid \d+\) tracing "test_game" → )" +
                       incidents + "/test_game-stderr.log");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return std::regex_match(line, spawned);
    })) << traced.err;
    EXPECT_EQ(read_text(incidents + "/test_game-stderr.log"), "observer complaint\n");
    std::string copy = read_text(incidents + "/test_game-game-stderr.log");
    EXPECT_NE(copy.find("game trouble\n"), std::string::npos) << copy;

    // Without brantle the game still runs, and its stderr log is still collected.
    base::remove_tree(incidents);
    RunResult untraced =
        wine->run_game({"stdout", "still here", "exit", "0"}, {{"PELTO_TRACE", "1"}});
    EXPECT_EQ(untraced.exit_code(), 0) << untraced.err;
    EXPECT_TRUE(
        untraced.has_line("[WARN]   brantle observer spawn failed: No such file or directory "
                          "(os error 2) (install brantle or unset PELTO_TRACE)"))
        << untraced.err;
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "still here\n");
    EXPECT_TRUE(base::exists(incidents + "/test_game-game-stderr.log"));
}

}  // namespace
}  // namespace pelto
