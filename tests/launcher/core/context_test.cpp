#include "launcher/core/context.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace pelto::launcher::core {
namespace {

using testing::capture_log;
using testing::TempDir;
using testing::write_text;

TEST(LaunchContext, CompatdataZeroAndSteamUtilities) {
    EXPECT_TRUE(is_compatdata_zero("/x/compatdata/0"));
    EXPECT_TRUE(is_compatdata_zero("/x/compatdata/0/"));
    EXPECT_TRUE(is_compatdata_zero("/0"));
    EXPECT_FALSE(is_compatdata_zero("/x/compatdata/10"));
    EXPECT_FALSE(is_compatdata_zero("0"));
    EXPECT_FALSE(is_compatdata_zero("/"));

    EXPECT_TRUE(is_steam_utility("/s/common/Steamworks Shared/D3DDriverQuery64.exe"));
    EXPECT_TRUE(is_steam_utility("C:\\tools\\iScriptEvaluator.exe"));
    EXPECT_TRUE(is_steam_utility("/games/IScriptEvaluator/\xFFgame.exe"));
    EXPECT_FALSE(is_steam_utility("/games/game.exe"));
}

TEST(LaunchContext, SteamDirectorySearch) {
    TempDir home;
    TempDir client;  // a client path without linux64/steamclient.so is ignored
    write_text(home / ".local/share/Steam/linux64/steamclient.so", "");
    std::string found;
    auto lines = capture_log([&] { found = find_steam_dir(home.path(), client.path()); });
    EXPECT_EQ(found, home / ".local/share/Steam");
    EXPECT_TRUE(lines.empty());

    write_text(client / "linux64/steamclient.so", "");
    EXPECT_EQ(find_steam_dir(home.path(), client.path()), client.path());

    TempDir empty_home;
    lines = capture_log([&] { found = find_steam_dir(empty_home.path(), std::nullopt); });
    EXPECT_EQ(found, empty_home / ".steam/root");
    std::vector<std::string> expected = {
        "[WARN]   Steam directory not found — game may not connect to Steam"};
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace pelto::launcher::core
