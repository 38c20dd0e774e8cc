// wineboot under the real Wine, for a prefix made without a template: a first wineboot that
// fails (the loader's start failure, made by a wrapper around bin/wine) or that the player
// stops leaves the prefix so that the next launch builds it whole; another launch's failed
// wineboot never ends a game that plays in the prefix, and a successful one hands over to its
// game at once, while that game plays on.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/posix.hpp"
#include "support/test_support.hpp"
#include "support/wine_fixture.hpp"

namespace pelto {
namespace {

using testing::read_text;
using testing::RunResult;
using testing::write_text;

const char kCurrentVersion[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";

// The keys of a registry file: its lines that open one.
size_t keys_of(const std::string& registry) {
    std::istringstream lines(read_text(registry));
    size_t keys = 0;
    for (std::string line; std::getline(lines, line);) keys += !line.empty() && line[0] == '[';
    return keys;
}

// bin/wine of the fixture's tool, wrapped: while `mark` does not exist, "wine wineboot" fails
// at once as the loader does when it cannot start, and leaves the mark.
void fail_first_wineboot(const testing::WineFixture& wine, const std::string& mark) {
    std::string loader = wine.tool_dir() + "/bin/wine";
    ASSERT_EQ(::rename(loader.c_str(), (loader + ".real").c_str()), 0);
    testing::write_script(loader, "if [ \"$1\" = wineboot ] && [ ! -e '" + mark +
                                      "' ]; then : > '" + mark + "'; exit 1; fi\nexec '" + loader +
                                      ".real' \"$@\"\n");
}

// The game's launch that reads the key every game reads as it starts.
RunResult read_version(const testing::WineFixture& wine) {
    return wine.run_game({"read-registry", kCurrentVersion, "CurrentBuild", "exit", "0"});
}

class WinebootWithoutTemplate : public testing::WineTest {
protected:
    bool fixture_builds_prefix() const override { return false; }
};

TEST_F(WinebootWithoutTemplate, AFailedOrStoppedFirstWinebootIsMendedByTheNextLaunch) {
    // The reference: an undisturbed first launch (its session's end writes the registry).
    ASSERT_EQ(read_version(*wine).exit_code(), 0);
    size_t undisturbed = keys_of(wine->prefix() + "/system.reg");
    ASSERT_GT(undisturbed, 5000u);

    // A first launch whose wineboot fails, then a normal one.
    {
        testing::WineFixture failing(false);
        ASSERT_EQ(failing.error(), "");
        fail_first_wineboot(failing, failing.root() + "/failed-once");
        RunResult first = failing.run_game({"exit", "0"});
        EXPECT_TRUE(first.has_line("[ERROR]  wineboot --init failed with exit code 1"))
            << first.err;
        RunResult second = read_version(failing);
        EXPECT_EQ(second.exit_code(), 0) << second.err;
        EXPECT_NE(read_text("/tmp/pelto/wine_stdout.log").find("CurrentBuild="), std::string::npos);
        size_t mended = keys_of(failing.prefix() + "/system.reg");
        EXPECT_NEAR(static_cast<double>(mended), static_cast<double>(undisturbed), 20.0);
    }

    // A first launch that the player stops during wineboot, then a normal one.
    {
        testing::WineFixture stopped(false);
        ASSERT_EQ(stopped.error(), "");
        testing::RunOptions options;
        options.on_started = [&](pid_t pelto) {
            // Once wineboot has begun the registry (its server holds the prefix), stop.
            testing::wait_until(
                [&] {
                    for (pid_t pid : testing::processes_of_prefix(stopped.prefix())) {
                        for (const std::string& arg : testing::cmdline_of(pid)) {
                            if (arg.find("wineboot") != std::string::npos) return true;
                        }
                    }
                    return false;
                },
                60000);
            ::usleep(1500 * 1000);
            ::kill(pelto, SIGTERM);
        };
        RunResult first = stopped.run_game({"exit", "0"}, {}, options);
        EXPECT_NE(first.exit_code(), 0);
        RunResult second = read_version(stopped);
        EXPECT_EQ(second.exit_code(), 0) << second.err;
        size_t mended = keys_of(stopped.prefix() + "/system.reg");
        EXPECT_NEAR(static_cast<double>(mended), static_cast<double>(undisturbed), 20.0);
    }
}

TEST_F(WinebootWithoutTemplate, AnotherLaunchsWinebootNeitherEndsNorHoldsUpThePlayingGame) {
    // Launch A sets the prefix up and plays; while it plays the prefix loses its deployment
    // record, so that launch B sets it up again with wineboot.
    ASSERT_EQ(wine->run_game({"exit", "0"}).exit_code(), 0);
    fail_first_wineboot(*wine, wine->root() + "/failed-once");
    std::atomic<bool> a_done{false};
    RunResult a;
    std::thread player([&] {
        a = wine->run_game({"sleep", "25000", "stdout", "A played on", "exit", "7"});
        a_done = true;
    });
    ASSERT_TRUE(testing::wait_until([&] {
        for (pid_t pid : testing::processes_of_prefix(wine->prefix())) {
            for (const std::string& arg : testing::cmdline_of(pid)) {
                if (arg.find("test_game.exe") != std::string::npos) return true;
            }
        }
        return false;
    }));
    base::remove_file(wine->prefix() + "/.pelto_deployed");
    // B's wineboot fails: A's game goes on.
    RunResult b = wine->run_game({"exit", "0"});
    EXPECT_TRUE(b.has_line("[ERROR]  wineboot --init failed with exit code 1")) << b.err;
    EXPECT_FALSE(a_done.load());
    // B's wineboot succeeds: its game starts and ends while A's still plays.
    base::remove_file(wine->prefix() + "/.pelto_deployed");
    b = wine->run_game({"stdout", "B played", "exit", "0"});
    EXPECT_EQ(b.exit_code(), 0) << b.err;
    EXPECT_FALSE(a_done.load()) << "A's game ended before B's started";
    player.join();
    EXPECT_EQ(a.exit_code(), 7) << a.err;
}

}  // namespace
}  // namespace pelto
