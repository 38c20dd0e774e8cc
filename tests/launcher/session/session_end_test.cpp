#include "launcher/session/session_end.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "base/posix.hpp"
#include "base/process.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::session {
namespace {

using testing::capture_log;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

TEST(SessionEnd, CrashDumpsAreCleanedOnlyInsideThePrefix) {
    TempDir tree;
    std::string pfx = tree / "compat/pfx";
    std::string profile = pfx + "/drive_c/users/steamuser";
    write_text(profile + "/Documents/My Games/x/Crash.DMP", "");
    write_text(profile + "/AppData/Local/y/a.mdmp", "");
    write_text(profile + "/AppData/Local/y/b.dmp.txt", "");
    write_text(profile + "/AppData/Local/y/.dmp", "");
    write_text(profile + "/x.dmp", "");  // outside the four folders
    // Wine links profile folders into the real home: a dump there is the user's own file.
    write_text(tree / "home/Music/keep.dmp", "");
    testing::make_link(tree / "home/Music", profile + "/AppData/Roaming/outside");
    // A link cycle and a link to a folder inside the prefix.
    testing::make_link("..", profile + "/AppData/LocalLow/loop");
    write_text(pfx + "/drive_c/shared/inside.dmp", "");
    testing::make_link(pfx + "/drive_c/shared", profile + "/AppData/LocalLow/shared");

    unsigned count = 0;
    auto lines = capture_log([&] { count = clean_crash_dumps(pfx, "steamuser"); });
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(lines, std::vector<std::string>{"[DEBUG]  cleaned 3 stale crash dump(s)"});
    EXPECT_FALSE(base::exists(profile + "/Documents/My Games/x/Crash.DMP"));
    EXPECT_FALSE(base::exists(profile + "/AppData/Local/y/a.mdmp"));
    EXPECT_FALSE(base::exists(pfx + "/drive_c/shared/inside.dmp"));
    EXPECT_TRUE(base::exists(profile + "/AppData/Local/y/b.dmp.txt"));
    EXPECT_TRUE(base::exists(profile + "/AppData/Local/y/.dmp"));
    EXPECT_TRUE(base::exists(profile + "/x.dmp"));
    EXPECT_TRUE(base::exists(tree / "home/Music/keep.dmp"));

    // A missing profile is nothing to do.
    EXPECT_EQ(clean_crash_dumps(tree / "nothing/pfx", "steamuser"), 0u);
}

TEST(SessionEnd, ExitNoteAndIncidentCopy) {
    EXPECT_EQ(exit_note_text(0), "exit: 0 (clean)");
    EXPECT_EQ(exit_note_text(1 << 8), "exit: 1 (error)");
    EXPECT_EQ(exit_note_text(9), "killed by signal 9");
    EXPECT_EQ(exit_note_text(0x137f), "unknown exit");  // stopped by SIGSTOP

    TempDir tree;
    GameLogs logs = open_game_logs(tree / "logs");
    ASSERT_TRUE(logs.err.valid());
    ASSERT_EQ(base::write_all(logs.err.get(), "game output"), 0);
    IncidentCopy incident;  // no usable incident directory: nothing is copied, and it says so
    incident.name = "game-game-stderr.log";
    incident.path = tree / "logs/incidents/game-game-stderr.log";
    auto lines = capture_log([&] { note_exit(logs, 3 << 8, &incident); });
    std::string log = tree / "logs/wine_stderr.log";
    EXPECT_EQ(read_text(log), "game output\n[pelto] exit: 3 (error)\n");
    std::vector<std::string> expected = {"[DEBUG]  stderr log: " + log,
                                         "[DEBUG]  incident game stderr: not copied, " +
                                             (tree / "logs/incidents") + " cannot be used"};
    EXPECT_EQ(lines, expected);

    incident.dir = open_log_dir(logs.dir.get(), "incidents", tree / "logs/incidents");
    lines = capture_log([&] { note_exit(logs, 0, &incident); });
    EXPECT_EQ(read_text(incident.path),
              "game output\n[pelto] exit: 3 (error)\n\n[pelto] exit: 0 (clean)\n");
    EXPECT_EQ(lines.back(), "[DEBUG]  incident game stderr: " + incident.path);

    // Without an opened stderr log there is no note and no copy.
    base::remove_file(log);
    EXPECT_TRUE(capture_log([&] { note_exit(GameLogs{}, 0, &incident); }).empty());
    EXPECT_FALSE(base::exists(log));
}

TEST(SessionEnd, OtherWineProcessesOfThePrefixAreSeen) {
    TempDir tree;
    std::string prefix = tree / "compat/pfx";
    EXPECT_FALSE(other_wine_processes(prefix));
    // Wine processes of the prefix (played by sleep under the names Wine's loader and
    // preloader have) count; its server, and a process that only has the prefix in its
    // environment (a player's shell, a script), do not.
    testing::make_dir(tree / "bin");
    struct Case {
        std::string name;
        bool counts;
    };
    for (const Case& c : {Case{"wine64", true}, Case{"wine64-preloader", true},
                          Case{"wineserver64", false}, Case{"bash", false}}) {
        std::string program = tree / ("bin/" + c.name);
        ASSERT_EQ(base::copy_file("/bin/sleep", program), 0);
        base::Command command;
        command.program = program;
        command.args = {"30"};
        command.set_env("WINEPREFIX", prefix);
        pid_t pid = -1;
        ASSERT_EQ(base::spawn(command, pid), 0);
        // Until the exec is complete: its program is named before its environment is in place.
        std::string proc = "/proc/" + std::to_string(pid);
        auto exec_done = [&] {
            std::string environ;
            return base::read_link(proc + "/exe") == program &&
                   base::read_file(proc + "/environ", environ) == 0 && !environ.empty();
        };
        for (int i = 0; i < 200 && !exec_done(); ++i) base::sleep_ms(10);
        EXPECT_EQ(other_wine_processes(prefix), c.counts) << c.name;
        EXPECT_FALSE(other_wine_processes(prefix + "-another"));
        ::kill(pid, SIGKILL);
        int status = 0;
        base::wait_child(pid, status);
        EXPECT_FALSE(other_wine_processes(prefix));
    }
}

TEST(SessionEnd, WaitsForTheServerOrTearsDownWhenItCannotStart) {
    TempDir tree;
    std::string wine = tree / "wine";
    // A wineserver that records how it was called and exits at once.
    testing::write_script(wine + "/bin/wineserver",
                          "echo \"$1 $WINEPREFIX\" >> " + (tree / "calls") + "\n");
    LaunchPlan plan;
    plan.wine.wineserver = wine + "/bin/wineserver";
    plan.context.prefix = tree / "pfx";
    plan.wine_env.prefix = plan.context.prefix;
    auto lines = capture_log([&] { end_session(plan, 0); });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(read_text(tree / "calls"), "-w " + plan.context.prefix + "\n");

    // A server program that cannot be started: both WARN lines, the session end still returns.
    write_text(wine + "/bin/wineserver", "#!/nonexistent/interpreter\n");
    lines = capture_log([&] { end_session(plan, 0); });
    std::vector<std::string> expected = {
        "[WARN]   session: wineserver -w failed: No such file or directory (os error 2)",
        "[WARN]   session: wineserver -k failed: No such file or directory (os error 2)"};
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace pelto::launcher::session
