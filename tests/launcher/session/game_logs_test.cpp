#include "launcher/session/game_logs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/posix.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::session {
namespace {

using testing::capture_log;
using testing::make_dir;
using testing::make_link;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

TEST(GameLogs, NothingPlantedInTheSharedDirectoryIsFollowedOrWaitedOn) {
    TempDir tree;
    write_text(tree / "victim/wine_stderr.log", "precious");
    write_text(tree / "victim/wine_stdout.log", "precious");
    std::string warning_tail =
        " for the game's logs: it is a link, a file or someone else's directory";

    // The log directory as a link, as a file, or as someone else's directory: not used, one
    // WARN line, nothing written anywhere.
    make_link(tree / "victim", tree / "linked");
    write_text(tree / "file", "a file");
    make_dir(tree / "foreign");
    ASSERT_EQ(::chown((tree / "foreign").c_str(), 65534, 65534), 0);
    for (std::string dir : {tree / "linked", tree / "file", tree / "foreign"}) {
        GameLogs logs;
        auto lines = capture_log([&] { logs = open_game_logs(dir); });
        EXPECT_FALSE(logs.dir.valid() || logs.out.valid() || logs.err.valid()) << dir;
        EXPECT_EQ(lines, std::vector<std::string>{"[WARN]   not using " + dir + warning_tail});
    }
    EXPECT_EQ(read_text(tree / "victim/wine_stderr.log"), "precious");
    EXPECT_TRUE(base::list_dir(tree / "foreign").empty());

    // In a good directory: a FIFO or a link at a log's name is replaced by the launch's own
    // file, without blocking and without touching the link's target; a directory there leaves
    // that stream inherited. An earlier launch's file stays that launch's.
    std::string logs_dir = tree / "logs";
    make_dir(logs_dir);
    ASSERT_EQ(::mkfifo((logs_dir + "/wine_stderr.log").c_str(), 0666), 0);
    make_link(tree / "victim/wine_stdout.log", logs_dir + "/wine_stdout.log");
    GameLogs logs;
    EXPECT_TRUE(capture_log([&] { logs = open_game_logs(logs_dir); }).empty());
    EXPECT_TRUE(logs.dir.valid() && logs.err.valid() && logs.out.valid());
    for (const char* name : {"/wine_stderr.log", "/wine_stdout.log"}) {
        auto status = base::lstat_path(logs_dir + name);
        EXPECT_TRUE(status && S_ISREG(status->st_mode)) << name;
    }
    EXPECT_EQ(read_text(tree / "victim/wine_stdout.log"), "precious");
    ASSERT_EQ(base::write_all(logs.err.get(), "first launch\n"), 0);
    GameLogs second = open_game_logs(logs_dir);
    ASSERT_EQ(base::write_all(second.err.get(), "second launch\n"), 0);
    ASSERT_EQ(base::write_all(logs.err.get(), "first again\n"), 0);
    EXPECT_EQ(read_text(logs_dir + "/wine_stderr.log"), "second launch\n");
    char kept[64] = {};
    EXPECT_EQ(::pread(logs.err.get(), kept, sizeof kept, 0), 25);
    EXPECT_STREQ(kept, "first launch\nfirst again\n");
    base::remove_file(logs_dir + "/wine_stderr.log");
    make_dir(logs_dir + "/wine_stderr.log");
    logs = open_game_logs(logs_dir);
    EXPECT_FALSE(logs.err.valid());
    EXPECT_TRUE(logs.out.valid());
    EXPECT_EQ(base::list_dir(logs_dir).size(), 2u);  // no scratch file left behind

    // The incident directory follows the same rule.
    make_link(tree / "victim", logs_dir + "/incidents");
    auto lines = capture_log([&] {
        EXPECT_FALSE(open_log_dir(logs.dir.get(), "incidents", logs_dir + "/incidents").valid());
    });
    EXPECT_EQ(lines, std::vector<std::string>{"[WARN]   not using " + logs_dir + "/incidents" +
                                              warning_tail});
}

}  // namespace
}  // namespace pelto::launcher::session
