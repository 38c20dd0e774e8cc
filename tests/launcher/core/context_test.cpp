#include "launcher/core/context.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/posix.hpp"
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

TEST(LaunchContext, SteamClientLibraryThatCannotBeLoadedIsOneWarning) {
    TempDir steam;
    std::string library = steam / "linux64/steamclient.so";
    auto warning = [&](const std::string& why) {
        return std::vector<std::string>{"[WARN]   Steam client library " + library +
                                        " cannot be loaded (" + why +
                                        ") — games that use the Steam API run without Steam"};
    };
    std::string found = "unset";
    auto check = [&] { return capture_log([&] { found = steam_client_library(steam.path()); }); };

    EXPECT_EQ(check(), warning("it is missing"));
    EXPECT_EQ(found, "");
    // A FIFO is refused without waiting for a writer; a directory, a broken file and a 32-bit
    // library are no library for a 64-bit game.
    testing::make_dir(steam / "linux64");
    ASSERT_EQ(::mkfifo(library.c_str(), 0600), 0);
    EXPECT_EQ(check(), warning("Invalid argument (os error 22)"));
    ::unlink(library.c_str());
    testing::make_dir(library);
    EXPECT_EQ(check(), warning("Is a directory (os error 21)"));
    ::rmdir(library.c_str());
    write_text(library, "not a library");
    EXPECT_EQ(check(), warning("it is not an ELF file"));
    write_text(library, std::string("\x7f"
                                    "ELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x03\0\x03\0",
                                    20));
    EXPECT_EQ(check(), warning("it is not a 64-bit x86-64 shared library"));

    ASSERT_EQ(base::copy_file(PELTO_STANDIN_CLIENT, library), 0);
    EXPECT_TRUE(check().empty());
    EXPECT_EQ(found, library);
}

}  // namespace
}  // namespace pelto::launcher::core
