#include "launcher/session/trace.hpp"

#include <sys/stat.h>
#include <sys/wait.h>

#include <map>

#include <gtest/gtest.h>

#include "base/posix.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::session {
namespace {

using testing::capture_log;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

TEST(Trace, NameIsTheExecutableStemCutToFifteenBytes) {
    EXPECT_EQ(trace_name("/games/TheVeryLongGameName.exe"), "TheVeryLongGame");
    EXPECT_EQ(trace_name("/games/Short.exe"), "Short");
    EXPECT_EQ(trace_name("/games/a.b.exe"), "a.b");
    EXPECT_EQ(trace_name("/games/game."), "game");
    EXPECT_EQ(trace_name("game"), "game");
    // A Windows path has no "/": the whole text is the file name.
    EXPECT_EQ(trace_name("C:\\Games\\SomeGame\\x.exe"), "C:\\Games\\SomeGa");
    // A name whose only dot comes first has no extension.
    EXPECT_EQ(trace_name("/games/.hidden"), ".hidden");
    // Repeated slashes and "." components do not count; ".." or no name at all gives "wine".
    EXPECT_EQ(trace_name("/games//x.exe/."), "x");
    EXPECT_EQ(trace_name("/games/.."), "wine");
    EXPECT_EQ(trace_name(".."), "wine");
    EXPECT_EQ(trace_name("/"), "wine");
    EXPECT_EQ(trace_name(""), "wine");
    // A stem that is not UTF-8 gives "wine"; an invalid extension alone does not matter.
    EXPECT_EQ(trace_name("/games/\xff\xfe.exe"), "wine");
    EXPECT_EQ(trace_name("/games/game.\xff"), "game");
    // Each kept byte becomes the character with that code point.
    EXPECT_EQ(trace_name("/games/\xC3\xA9t\xC3\xA9.exe"), "\xC3\x83\xC2\xA9t\xC3\x83\xC2\xA9");
}

// A stand-in observer that records its arguments, environment and streams, then complains
// on its standard error.
const char* kStandIn = R"(#!/bin/sh
out=$(readlink /proc/$$/fd/1)
err=$(readlink /proc/$$/fd/2)
{
  echo "pid=$$"
  for a in "$@"; do echo "arg=$a"; done
  echo "ntdll=${BRANTLE_NTDLL_PATH-unset}"
  echo "out=$out"
  echo "err=$err"
} > "$BRANTLE_RECORD.tmp"
echo "observer complaint" >&2
mv "$BRANTLE_RECORD.tmp" "$BRANTLE_RECORD"
)";

// What the launch gives the observer: the game's environment among it.
struct ObserverSetup {
    std::string log_dir, wine_root;
    bool trace_out = false;
    ObserverEnv env = {};
};

struct Observed {
    std::vector<std::string> log;
    std::string game_copy;
    std::map<std::string, std::vector<std::string>> record;  // key -> values in order
};

// Starts the observer with `plan` and waits until the stand-in has written its record, then
// reaps it (the launcher itself never does).
Observed observe(const ObserverSetup& plan, const std::string& exe, const std::string& record) {
    Observed seen;
    seen.log = capture_log([&] {
        seen.game_copy =
            start_trace_observer(plan.log_dir, exe, plan.wine_root, plan.trace_out, plan.env).path;
    });
    for (int i = 0; i < 2000 && !base::exists(record); ++i) base::sleep_ms(5);
    std::string text = read_text(record);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        size_t eq = line.find('=');
        seen.record[line.substr(0, eq)].push_back(line.substr(eq + 1));
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    if (!seen.record["pid"].empty()) {
        int status = 0;
        ::waitpid(std::stoi(seen.record["pid"][0]), &status, 0);
    }
    base::remove_file(record);
    return seen;
}

TEST(Trace, ObserverCommandEnvironmentAndStreams) {
    TempDir tree;
    write_text(tree / "bin/brantle", kStandIn);
    ::chmod((tree / "bin/brantle").c_str(), 0755);
    // The game's environment: the observer is found through its PATH (the launcher's own,
    // which the test process keeps, has no brantle) and inherits it.
    auto inherited = std::make_shared<const std::vector<std::string>>(
        std::vector<std::string>{"PATH=/usr/bin:/bin", "BRANTLE_RECORD=" + (tree / "record")});
    ObserverSetup plan{
        tree / "logs", tree / "wine", false, {inherited, {{"PATH", tree / "bin:/usr/bin:/bin"}}}};
    std::string incidents = tree / "logs/incidents";

    Observed seen = observe(plan, "/games/TheVeryLongGameName.exe", tree / "record");
    EXPECT_EQ(seen.game_copy, incidents + "/TheVeryLongGame-game-stderr.log");
    EXPECT_EQ(seen.record["arg"],
              (std::vector<std::string>{"--trace", "TheVeryLongGame,steam.exe,wineserver",
                                        "--headless"}));
    EXPECT_EQ(seen.record["ntdll"], std::vector<std::string>{"unset"});
    EXPECT_EQ(seen.record["out"], std::vector<std::string>{"/dev/null"});
    EXPECT_EQ(seen.record["err"],
              std::vector<std::string>{incidents + "/TheVeryLongGame-stderr.log"});
    EXPECT_EQ(read_text(incidents + "/TheVeryLongGame-stderr.log"), "observer complaint\n");
    ASSERT_EQ(seen.log.size(), 1u);
    EXPECT_EQ(seen.log[0], "[INFO]   brantle observer spawned (pid " + seen.record["pid"].at(0) +
                               ") tracing \"TheVeryLongGame\" → " + incidents +
                               "/TheVeryLongGame-stderr.log");

    // With the trace file requested and the Wine tree's ntdll.so present.
    plan.trace_out = true;
    write_text(tree / "wine/lib/wine/x86_64-unix/ntdll.so", "");
    seen = observe(plan, "C:\\x.exe", tree / "record");
    EXPECT_EQ(seen.record["arg"],
              (std::vector<std::string>{"--trace", "C:\\x,steam.exe,wineserver", "--headless",
                                        "--trace-out", incidents + "/C:\\x-io.bin"}));
    EXPECT_EQ(seen.record["ntdll"],
              std::vector<std::string>{tree / "wine/lib/wine/x86_64-unix/ntdll.so"});
    ASSERT_EQ(seen.log.size(), 2u);
    EXPECT_EQ(seen.log[0],
              "[INFO]   brantle observer: --trace-out → " + incidents + "/C:\\x-io.bin");

    // Without ntdll.so an inherited value passes unchanged.
    plan.trace_out = false;
    plan.env.changes.push_back({"BRANTLE_NTDLL_PATH", "/inherited/ntdll.so"});
    base::remove_file(tree / "wine/lib/wine/x86_64-unix/ntdll.so");
    seen = observe(plan, "/games/g.exe", tree / "record");
    EXPECT_EQ(seen.record["arg"],
              (std::vector<std::string>{"--trace", "g,steam.exe,wineserver", "--headless"}));
    EXPECT_EQ(seen.record["ntdll"], std::vector<std::string>{"/inherited/ntdll.so"});

    // When the incident directory cannot be made, the observer still runs, its errors unkept.
    plan.log_dir = tree / "logfile";
    write_text(tree / "logfile", "a file where the log directory belongs");
    seen = observe(plan, "/games/g.exe", tree / "record");
    EXPECT_EQ(seen.game_copy, tree / "logfile/incidents/g-game-stderr.log");
    EXPECT_EQ(seen.record["err"], std::vector<std::string>{"/dev/null"});

    // A link planted as the incident directory is refused for every incident file: the trace
    // file is not asked for through it, and the lines say where things really go.
    plan.log_dir = tree / "shared";
    write_text(tree / "elsewhere/keep", "");
    testing::make_link(tree / "elsewhere", tree / "shared/incidents");
    plan.trace_out = true;
    seen = observe(plan, "/games/g.exe", tree / "record");
    EXPECT_EQ(seen.record["arg"],
              (std::vector<std::string>{"--trace", "g,steam.exe,wineserver", "--headless"}));
    EXPECT_EQ(seen.record["err"], std::vector<std::string>{"/dev/null"});
    std::string shown = tree / "shared/incidents";
    EXPECT_EQ(seen.log,
              (std::vector<std::string>{
                  "[WARN]   not using " + shown +
                      " for the game's logs: it is a link, a file or someone else's "
                      "directory",
                  "[INFO]   brantle observer: no trace file: " + shown + " cannot be used",
                  "[INFO]   brantle observer spawned (pid " + seen.record["pid"].at(0) +
                      ") tracing \"g\" → /dev/null"}));
    EXPECT_EQ(base::list_dir(tree / "elsewhere").size(), 1u);
}

TEST(Trace, MissingObserverIsAWarningOnly) {
    TempDir tree;
    testing::make_dir(tree / "empty-bin");
    ObserverEnv env{nullptr, {{"PATH", tree / "empty-bin"}}};
    std::string game_copy;
    auto lines = capture_log([&] {
        game_copy =
            start_trace_observer(tree / "logs", "/games/game.exe", tree / "wine", false, env).path;
    });
    EXPECT_EQ(lines, std::vector<std::string>{
                         "[WARN]   brantle observer spawn failed: No such file or directory "
                         "(os error 2) (install brantle or unset PELTO_TRACE)"});
    // The game's stderr log is still copied at the end of the session.
    EXPECT_EQ(game_copy, tree / "logs/incidents/game-game-stderr.log");
    EXPECT_TRUE(base::is_dir(tree / "logs/incidents"));
}

}  // namespace
}  // namespace pelto::launcher::session
