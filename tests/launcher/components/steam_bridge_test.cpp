#include "launcher/components/steam_bridge.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/posix.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::components {
namespace {

using pelto::testing::capture_log;
using pelto::testing::make_dir;
using pelto::testing::make_link;
using pelto::testing::read_text;
using pelto::testing::TempDir;
using pelto::testing::write_text;
using Lines = std::vector<std::string>;

// A launcher installation with both bridge programs, a Steam directory and a prefix path.
struct Layout {
    TempDir dir;
    std::string install_dir = dir / "tool";
    std::string steam = dir / "steam";
    std::string pfx = dir / "pfx";
    std::string system32 = pfx + "/drive_c/windows/system32";
    std::string syswow64 = pfx + "/drive_c/windows/syswow64";
    std::string client = pfx + "/drive_c/Program Files (x86)/Steam";

    Layout() {
        write_text(install_dir + "/pelto", "#!/bin/sh\n");
        write_text(dir / "tool/lib/wine/x86_64-windows/steam.exe", "bridge steam.exe");
        write_text(dir / "tool/lib/wine/x86_64-windows/lsteamclient.dll", "bridge lsteamclient");
    }
    void add_legacycompat() {
        for (const char* name : {"steamclient64.dll", "steamclient.dll",
                                 "GameOverlayRenderer64.dll", "SteamService.exe", "Steam.dll"}) {
            write_text(steam + "/legacycompat/" + name, std::string("legacy ") + name);
        }
    }
};

bool is_regular_file(const std::string& path) {
    auto st = base::lstat_path(path);
    return st && S_ISREG(st->st_mode);
}

TEST(SteamBridge, WithoutLegacycompatTheBridgeStandsInForTheClient) {
    Layout l;
    write_text(l.system32 + "/steamclient64.dll", "stale copy");
    Lines lines = capture_log([&] { deploy_steam_client(l.steam, l.pfx, l.install_dir); });
    EXPECT_EQ(lines,
              (Lines{"[WARN]   Steam legacycompat not found at " + l.steam + "/legacycompat"}));
    // The game's steam_api64.dll finds the bridge where the registry sends it, and nothing else
    // of Steam's client.
    EXPECT_EQ(read_text(l.client + "/steamclient64.dll"), "bridge lsteamclient");
    std::vector<base::DirEntry> in_client = base::list_dir(l.client);
    ASSERT_EQ(in_client.size(), 1u);
    EXPECT_EQ(in_client[0].name, "steamclient64.dll");
    EXPECT_EQ(read_text(l.system32 + "/steamclient64.dll"), "stale copy");
    EXPECT_EQ(read_text(l.system32 + "/steam.exe"), "bridge steam.exe");
    EXPECT_EQ(read_text(l.syswow64 + "/steam.exe"), "bridge steam.exe");
    EXPECT_EQ(read_text(l.system32 + "/lsteamclient.dll"), "bridge lsteamclient");
}

TEST(SteamBridge, ClientFilesAreCopiedOnceAndTheStaleCopyGoes) {
    Layout l;
    l.add_legacycompat();
    write_text(l.system32 + "/steamclient64.dll", "stale copy");

    Lines lines = capture_log([&] { deploy_steam_client(l.steam, l.pfx, l.install_dir); });
    EXPECT_EQ(lines, (Lines{"[DEBUG]  Steam client: removed the bridge copy in system32",
                            "[DEBUG]  Steam client: deployed 5 files (0 already current)"}));
    EXPECT_FALSE(base::lstat_path(l.system32 + "/steamclient64.dll"));
    EXPECT_EQ(read_text(l.client + "/steamclient64.dll"), "legacy steamclient64.dll");
    EXPECT_EQ(read_text(l.client + "/GameOverlayRenderer64.dll"),
              "legacy GameOverlayRenderer64.dll");
    // The service executable becomes the prefix client's steam.exe; the system directories
    // get the launcher's bridge instead.
    EXPECT_EQ(read_text(l.client + "/steam.exe"), "legacy SteamService.exe");
    EXPECT_FALSE(base::exists(l.client + "/SteamService.exe"));
    EXPECT_EQ(read_text(l.system32 + "/steam.exe"), "bridge steam.exe");
    EXPECT_EQ(read_text(l.syswow64 + "/steam.exe"), "bridge steam.exe");

    lines = capture_log([&] { deploy_steam_client(l.steam, l.pfx, l.install_dir); });
    EXPECT_EQ(lines, (Lines{"[DEBUG]  Steam client: 5 files already current"}));

    // One file missing from legacycompat and one changed there.
    base::remove_file(l.steam + "/legacycompat/Steam.dll");
    write_text(l.steam + "/legacycompat/steamclient.dll", "a newer, longer client");
    lines = capture_log([&] { deploy_steam_client(l.steam, l.pfx, l.install_dir); });
    EXPECT_EQ(lines, (Lines{"[DEBUG]  Steam client: deployed 1 files (3 already current)"}));
    EXPECT_EQ(read_text(l.client + "/steamclient.dll"), "a newer, longer client");

    // Without legacycompat's steamclient64.dll the bridge takes its place; once legacycompat
    // brings one again, Steam's own is back.
    base::remove_file(l.steam + "/legacycompat/steamclient64.dll");
    capture_log([&] { deploy_steam_client(l.steam, l.pfx, l.install_dir); });
    EXPECT_EQ(read_text(l.client + "/steamclient64.dll"), "bridge lsteamclient");
    write_text(l.steam + "/legacycompat/steamclient64.dll", "legacy steamclient64.dll");
    capture_log([&] { deploy_steam_client(l.steam, l.pfx, l.install_dir); });
    EXPECT_EQ(read_text(l.client + "/steamclient64.dll"), "legacy steamclient64.dll");
}

TEST(SteamBridge, LinksAtTheSteamExeDestinations) {
    Layout l;
    // A dangling link in system32 becomes a regular file; nothing appears at its target.
    make_dir(l.dir / "gone");
    make_link(l.dir / "gone/steam.exe", l.system32 + "/steam.exe");
    // A link to an existing file inside the prefix is written through; one that leads outside
    // the prefix is replaced, and the file it leads to is left alone.
    write_text(l.pfx + "/real/steam.exe", "old");
    make_link(l.pfx + "/real/steam.exe", l.syswow64 + "/steam.exe");
    write_text(l.dir / "outside/lsteamclient.dll", "someone else's");
    make_link(l.dir / "outside/lsteamclient.dll", l.system32 + "/lsteamclient.dll");
    write_text(l.dir / "tool/lib/wine/x86_64-windows/lsteamclient.dll", "bridge dll");

    Lines lines = capture_log([&] {
        deploy_steam_exe_bridge(l.install_dir, l.pfx);
        deploy_lsteamclient(l.install_dir, l.pfx);
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(is_regular_file(l.system32 + "/steam.exe"));
    EXPECT_EQ(read_text(l.system32 + "/steam.exe"), "bridge steam.exe");
    EXPECT_FALSE(base::exists(l.dir / "gone/steam.exe"));
    EXPECT_TRUE(base::read_link(l.syswow64 + "/steam.exe").has_value());
    EXPECT_EQ(read_text(l.pfx + "/real/steam.exe"), "bridge steam.exe");
    EXPECT_TRUE(is_regular_file(l.system32 + "/lsteamclient.dll"));
    EXPECT_EQ(read_text(l.dir / "outside/lsteamclient.dll"), "someone else's");
}

TEST(SteamBridge, MissingSourcesAndUnwritablePrefix) {
    Layout l;
    base::remove_file(l.dir / "tool/lib/wine/x86_64-windows/steam.exe");
    base::remove_file(l.dir / "tool/lib/wine/x86_64-windows/lsteamclient.dll");
    Lines lines = capture_log([&] {
        deploy_steam_exe_bridge(l.install_dir, l.pfx);
        deploy_lsteamclient(l.install_dir, l.pfx);
        deploy_steam_exe_bridge("", l.pfx);  // no installation directory
        deploy_lsteamclient("", l.pfx);
    });
    EXPECT_EQ(lines,
              (Lines{"[WARN]   steam_bridge not found — games requiring Steam API will fail",
                     "[WARN]   steam_bridge not found — games requiring Steam API will fail"}));
    EXPECT_FALSE(base::exists(l.pfx));

    // A file where the prefix's drive_c should be.
    Layout blocked;
    blocked.add_legacycompat();
    write_text(blocked.pfx + "/drive_c", "not a directory");
    lines =
        capture_log([&] { deploy_steam_client(blocked.steam, blocked.pfx, blocked.install_dir); });
    EXPECT_EQ(lines,
              (Lines{"[ERROR]  Cannot create Steam client dir: Not a directory (os error 20)",
                     "[WARN]   steam.exe: failed to deploy to " + blocked.system32 +
                         ": Not a directory (os error 20)",
                     "[WARN]   steam.exe: failed to deploy to " + blocked.syswow64 +
                         ": Not a directory (os error 20)",
                     "[WARN]   lsteamclient.dll: failed to deploy to system32: Not a directory "
                     "(os error 20)"}));
}

}  // namespace
}  // namespace pelto::launcher::components
