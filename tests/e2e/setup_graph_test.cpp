// Prefix preparation through the built binary with a stand-in Wine: the eight setup tasks,
// the deployment cache across launches, the Steam bridge and the sweep of dead wineserver
// directories. The loader and the wineserver are shell scripts, so each launch is quick and
// its effects on the prefix can be checked exactly.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "base/posix.hpp"
#include "support/test_support.hpp"

namespace pelto {
namespace {

using testing::read_text;
using testing::RunResult;
using testing::TempDir;
using testing::write_script;
using testing::write_text;

// The launcher installed as a compatibility tool beside its steam.exe bridge, a stand-in Wine
// with DXVK DLLs, a HOME with Steam's client and legacycompat directories.
class SetupGraphLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        tool = tree / "tool";
        ASSERT_EQ(base::make_dirs(tool), 0);
        ASSERT_EQ(base::copy_file(testing::pelto_binary(), tool + "/pelto"), 0);
        write_text(tool + "/lib/wine/x86_64-windows/steam.exe", "bridge steam.exe");

        wine = tree / "wine";
        write_script(wine + "/bin/wine", "exit 0\n");
        write_script(wine + "/bin/wineserver", "exit 2\n");
        write_text(wine + "/lib/wine/x86_64-unix/ntdll.so", "");
        write_text(wine + "/lib/wine/dxvk/x86_64-windows/d3d11.dll", "dxvk d3d11");
        write_text(wine + "/lib/wine/dxvk/x86_64-windows/dxgi.dll", "dxvk dxgi");
        testing::make_dir(wine + "/share/wine");

        std::string home = tree / "home";
        write_text(home + "/.local/share/Steam/linux64/steamclient.so", "");
        write_text(home + "/.local/share/Steam/legacycompat/steamclient64.dll", "client64");
        env = testing::base_env(home);
        env["PELTO_WINE_DIR"] = wine;
        env["PELTO_VERBOSE"] = "1";
        env["STEAM_COMPAT_DATA_PATH"] = tree / "compat";
        pfx = tree / "compat/pfx";
    }

    RunResult launch() {
        return testing::run_program(tool + "/pelto", {"waitforexitandrun", tree / "game.exe"}, env);
    }

    // The task names of the timing line, or nothing when there is no timing line.
    static std::optional<std::vector<std::string>> timed_tasks(const RunResult& result) {
        for (const std::string& line : result.log_lines()) {
            if (line.rfind("[DEBUG]  timing: discover=", 0) != 0) continue;
            size_t open = line.find('['), close = line.rfind(']');
            open = line.find('[', open + 1);
            if (open == std::string::npos || close == std::string::npos || close < open)
                return std::nullopt;
            std::vector<std::string> names;
            std::string list = line.substr(open + 1, close - open - 1);
            size_t pos = 0;
            while (pos < list.size()) {
                size_t end = std::min(list.find(' ', pos), list.size());
                std::string entry = list.substr(pos, end - pos);
                size_t equals = entry.find('=');
                if (equals == std::string::npos || entry.size() < equals + 4 ||
                    entry.compare(entry.size() - 2, 2, "ms") != 0) {
                    return std::nullopt;
                }
                names.push_back(entry.substr(0, equals));
                pos = end + 1;
            }
            return names;
        }
        return std::nullopt;
    }

    static size_t line_index(const RunResult& result, const std::string& prefix) {
        auto lines = result.log_lines();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].rfind(prefix, 0) == 0) return i;
        }
        return lines.size();
    }

    TempDir tree;
    std::string tool, wine, pfx;
    std::map<std::string, std::string> env;
};

TEST_F(SetupGraphLaunch, FirstLaunchDeploysAndTheSecondIsACacheHit) {
    RunResult first = launch();
    ASSERT_EQ(first.exit_code(), 0) << first.err;
    auto tasks = timed_tasks(first);
    ASSERT_TRUE(tasks) << first.err;
    ASSERT_EQ(tasks->size(), 8u) << first.err;
    EXPECT_EQ((*tasks)[0], "registry");
    EXPECT_EQ((*tasks)[1], "prefix");
    std::vector<std::string> sorted = *tasks;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"bridge", "dlss", "dxvk", "nvapi", "prefix",
                                                "registry", "vkd3d", "wineserver"}));
    EXPECT_TRUE(first.has_line("[DEBUG]  deployment cache written"));
    EXPECT_FALSE(first.has_line("[DEBUG]  cache hit: every component current"));
    EXPECT_TRUE(first.has_line("[DEBUG]  DXVK: deployed 2 DLLs (0 already current)"));
    EXPECT_TRUE(first.has_line("[DEBUG]  wineserver: already running for " + pfx));
    EXPECT_EQ(read_text(pfx + "/drive_c/windows/system32/d3d11.dll"), "dxvk d3d11");
    EXPECT_EQ(read_text(pfx + "/drive_c/Program Files (x86)/Steam/steamclient64.dll"), "client64");
    std::string record = read_text(pfx + "/.pelto_deployed");
    EXPECT_EQ(record.rfind("v6:", 0), 0u) << record;

    // Nothing changed: every stamp matches, the DXVK set is not even looked at, and the record
    // stays as it was. What env_config holds is said after the setup, before the timing line.
    write_text(tool + "/env_config", "GOOD=1\nJUST_A_WORD\n");
    RunResult second = launch();
    ASSERT_EQ(second.exit_code(), 0) << second.err;
    EXPECT_TRUE(second.has_line("[DEBUG]  cache hit: every component current")) << second.err;
    std::vector<size_t> order = {
        line_index(second, "[DEBUG]  cache hit"),
        line_index(second, "[WARN]   env_config: ignoring malformed line: JUST_A_WORD"),
        line_index(second, "[DEBUG]  env_config: loaded 1 custom variable(s)"),
        line_index(second, "[DEBUG]  timing: ")};
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()) &&
                order.back() < second.log_lines().size())
        << second.err;
    EXPECT_FALSE(second.has_line("[DEBUG]  deployment cache written"));
    EXPECT_EQ(line_index(second, "[DEBUG]  DXVK"), second.log_lines().size());
    ASSERT_TRUE(timed_tasks(second));
    EXPECT_EQ(timed_tasks(second)->size(), 8u);
    EXPECT_EQ(read_text(pfx + "/.pelto_deployed"), record);

    // A new Steam client tree: the record is rewritten, the other skips still hold.
    std::string legacycompat = tree / "home/.local/share/Steam/legacycompat";
    ASSERT_EQ(base::rename_path(legacycompat, legacycompat + ".old"), 0);
    write_text(legacycompat + "/steamclient64.dll", "client64 v2");
    RunResult third = launch();
    EXPECT_TRUE(third.has_line("[DEBUG]  deployment cache written")) << third.err;
    EXPECT_EQ(line_index(third, "[DEBUG]  DXVK"), third.log_lines().size());
    EXPECT_EQ(read_text(pfx + "/drive_c/Program Files (x86)/Steam/steamclient64.dll"),
              "client64 v2");
    EXPECT_NE(read_text(pfx + "/.pelto_deployed"), record);
}

TEST_F(SetupGraphLaunch, MalformedRecordMeansAFullDeployment) {
    ASSERT_EQ(launch().exit_code(), 0);
    std::string record = read_text(pfx + "/.pelto_deployed");
    for (const std::string& bad : {std::string("v6:1,2,3"), record + ",5", " " + record,
                                   std::string("v6:\xff"), std::string("")}) {
        // A DLL gone from the prefix comes back only on a full deployment: a record taken as
        // valid would hide its loss until the source tree changes.
        base::remove_file(pfx + "/drive_c/windows/system32/d3d11.dll");
        write_text(pfx + "/.pelto_deployed", bad);
        RunResult result = launch();
        EXPECT_EQ(result.exit_code(), 0) << result.err;
        EXPECT_TRUE(result.has_line("[DEBUG]  deployment cache written")) << bad;
        EXPECT_FALSE(result.has_line("[DEBUG]  cache hit: every component current")) << bad;
        EXPECT_EQ(read_text(pfx + "/.pelto_deployed"), record) << bad;
        EXPECT_EQ(read_text(pfx + "/drive_c/windows/system32/d3d11.dll"), "dxvk d3d11") << bad;
    }
    // A directory in the record's place: unreadable, and it cannot be replaced either.
    base::remove_file(pfx + "/.pelto_deployed");
    testing::make_dir(pfx + "/.pelto_deployed/inside");
    RunResult result = launch();
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_TRUE(
        result.has_line("[WARN]   Cannot write deployment cache: Is a directory (os error "
                        "21); next launch will re-deploy"))
        << result.err;
    EXPECT_FALSE(result.has_line("[DEBUG]  deployment cache written"));
}

TEST_F(SetupGraphLaunch, ADeploymentThatDidNotCompleteIsDoneAgain) {
    // wineboot fails on the first launch only; a directory stands where DXVK's d3d11.dll goes.
    std::string booted = tree / "booted";
    write_script(wine + "/bin/wine", "[ \"$1\" = wineboot ] && [ ! -e '" + booted +
                                         "' ] && touch '" + booted + "' && exit 1\nexit 0\n");
    testing::make_dir(pfx + "/drive_c/windows/system32/d3d11.dll");
    RunResult first = launch();
    EXPECT_TRUE(first.has_line("[ERROR]  wineboot --init failed with exit code 1")) << first.err;
    EXPECT_TRUE(
        first.has_line("[WARN]   DXVK: failed to copy d3d11.dll: Is a directory (os "
                       "error 21)"))
        << first.err;

    // Both are done again on the next launch, then the record says everything is current.
    base::remove_tree(pfx + "/drive_c/windows/system32/d3d11.dll");
    RunResult second = launch();
    EXPECT_TRUE(second.has_line("[DEBUG]  No default_pfx template, running wineboot --init..."))
        << second.err;
    EXPECT_FALSE(second.has_line("[ERROR]  wineboot --init failed with exit code 1"));
    EXPECT_TRUE(second.has_line("[DEBUG]  DXVK: deployed 1 DLLs (1 already current)"))
        << second.err;
    EXPECT_EQ(read_text(pfx + "/drive_c/windows/system32/d3d11.dll"), "dxvk d3d11");
    RunResult third = launch();
    EXPECT_TRUE(third.has_line("[DEBUG]  cache hit: every component current")) << third.err;
    EXPECT_FALSE(third.has_line("[DEBUG]  No default_pfx template, running wineboot --init..."));
}

TEST_F(SetupGraphLaunch, TwoLaunchesOfOnePrefixTakeTurns) {
    // Another launch of the directory, played by the test: it protects the save data and is
    // setting the prefix up.
    write_text(pfx + "/drive_c/users/steamuser/Documents/Game/slot.sav", "progress");
    int error = 0;
    base::Fd other = base::open_regular(tree / "compat/.pelto_lock", O_RDWR | O_CREAT, 0644, error);
    ASSERT_TRUE(other.valid());
    ASSERT_EQ(base::try_lock_byte(other.get(), 0), 0);
    ASSERT_EQ(base::try_lock_byte(other.get(), 1), 0);
    ASSERT_EQ(base::write_all(other.get(), std::to_string(::getpid()) + "\n"), 0);

    testing::RunOptions options;
    bool waited = false;
    options.on_started = [&](pid_t) {
        // This launch waits for the other one's setup before it touches the prefix.
        base::sleep_ms(500);
        waited = !base::exists(pfx + "/.pelto_deployed");
        base::unlock_byte(other.get(), 0);
    };
    RunResult second = testing::run_program(tool + "/pelto",
                                            {"waitforexitandrun", tree / "game.exe"}, env, options);
    EXPECT_EQ(second.exit_code(), 0) << second.err;
    EXPECT_TRUE(waited);
    EXPECT_TRUE(base::exists(pfx + "/.pelto_deployed"));
    // It said at once whom it waited for.
    EXPECT_TRUE(second.has_line("[INFO]   waiting for another launch of this prefix (pid " +
                                std::to_string(::getpid()) +
                                ") to finish setting it up (at most 120 s)"))
        << second.err;
    // It leaves the save data to the other launch: no snapshot of its own, one WARN.
    EXPECT_TRUE(
        second.has_line("[WARN]   save backup: another launch of this prefix is running "
                        "— its save data is protected by that launch"))
        << second.err;
    EXPECT_FALSE(base::lstat_path(tree / "compat/save_backup"));

    // A game that cannot be started while the other launch runs: the prefix's Wine session,
    // which the other launch's game uses, is left alone; once it has ended, it is ended.
    std::string calls = tree / "server-calls";
    write_script(wine + "/bin/wineserver", "echo \"$1\" >> '" + calls + "'\nexit 2\n");
    write_script(wine + "/bin/wine", "exit 0\n");
    write_text(wine + "/bin/wine", "#!/nonexistent/interpreter\n");
    ASSERT_EQ(base::try_lock_byte(other.get(), 2, true), 0);
    EXPECT_EQ(launch().exit_code(), 1);
    EXPECT_EQ(read_text(calls).find("-k"), std::string::npos) << read_text(calls);
    base::unlock_byte(other.get(), 2);
    EXPECT_EQ(launch().exit_code(), 1);
    EXPECT_NE(read_text(calls).find("-k"), std::string::npos) << read_text(calls);
    write_script(wine + "/bin/wine", "exit 0\n");

    // Once the other launch has ended, the next launch protects the save data again.
    other.reset();
    RunResult third = launch();
    EXPECT_TRUE(third.has_line("[DEBUG]  save data snapshot: 1 files, 8 bytes")) << third.err;
}

TEST_F(SetupGraphLaunch, ALockThatIsNotAFile) {
    // A FIFO or a link at the lock's name is replaced by a lock file, never followed.
    std::string lock = tree / "compat/.pelto_lock";
    testing::make_dir(tree / "compat");
    ASSERT_EQ(::mkfifo(lock.c_str(), 0644), 0);
    RunResult result = launch();
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_TRUE(result.has_line("[WARN]   launch lock: " + lock +
                                " was a special file — replaced by a lock file"))
        << result.err;
    auto status = base::lstat_path(lock);
    EXPECT_TRUE(status && S_ISREG(status->st_mode));
    base::remove_file(lock);
    write_text(tree / "elsewhere", "keep");
    testing::make_link(tree / "elsewhere", lock);
    result = launch();
    EXPECT_TRUE(
        result.has_line("[WARN]   launch lock: " + lock + " was a link — replaced by a lock file"))
        << result.err;
    EXPECT_EQ(read_text(tree / "elsewhere"), "keep");

    // A directory there: no lock, said once, and without the lock the launch cannot prove that
    // no other launch's game plays in the prefix, so it never ends the Wine session.
    base::remove_file(lock);
    testing::make_dir(lock);
    std::string calls = tree / "server-calls";
    write_script(wine + "/bin/wineserver", "echo \"$1\" >> '" + calls + "'\nexit 2\n");
    write_text(wine + "/bin/wine", "#!/nonexistent/interpreter\n");
    result = launch();
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_TRUE(result.has_line("[WARN]   launch lock: cannot use " + lock +
                                ": Is a directory (os error 21) — two launches of this game "
                                "cannot take turns"))
        << result.err;
    EXPECT_EQ(read_text(calls).find("-k"), std::string::npos) << read_text(calls);
}

TEST_F(SetupGraphLaunch, SpecialFilesWhereFilesAreReadNeitherBlockNorExhaustIt) {
    ASSERT_EQ(launch().exit_code(), 0);
    std::string config = tool + "/env_config", record = pfx + "/.pelto_deployed";
    for (const std::string& path : {config, record}) {
        for (bool fifo : {true, false}) {
            base::remove_file(path);
            if (fifo) {
                ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
            } else {
                testing::make_link("/dev/zero", path);
            }
            RunResult result = launch();
            EXPECT_EQ(result.exit_code(), 0) << path << (fifo ? " as a FIFO" : " as /dev/zero");
        }
        base::remove_file(path);
    }
    // A file far larger than any real one is not read.
    write_text(config, "A=1\n");
    ASSERT_EQ(::truncate(config.c_str(), off_t{65} << 20), 0);
    RunResult result = launch();
    EXPECT_EQ(result.exit_code(), 0);
    EXPECT_TRUE(result.has_line("[WARN]   " + config + " is larger than 67108864 bytes — not read"))
        << result.err;
}

TEST_F(SetupGraphLaunch, DanglingSteamExeLinkIsReplaced) {
    std::string system32 = pfx + "/drive_c/windows/system32";
    testing::make_dir(tree / "gone");
    testing::make_link(tree / "gone/steam.exe", system32 + "/steam.exe");
    RunResult result = launch();
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    auto st = base::lstat_path(system32 + "/steam.exe");
    ASSERT_TRUE(st);
    EXPECT_TRUE(S_ISREG(st->st_mode));
    EXPECT_EQ(read_text(system32 + "/steam.exe"), "bridge steam.exe");
    EXPECT_EQ(read_text(pfx + "/drive_c/windows/syswow64/steam.exe"), "bridge steam.exe");
    EXPECT_FALSE(base::exists(tree / "gone/steam.exe"));
}

// A socket file at `path`, bound and then closed (nobody will answer), or kept listening.
class SocketAt {
public:
    SocketAt(const std::string& path, bool listening) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        ok_ = path.size() < sizeof address.sun_path &&
              ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              (!listening || ::listen(fd_, 4) == 0);
        if (!listening) close();
    }
    ~SocketAt() { close(); }
    bool ok() const { return ok_; }

private:
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
    bool ok_ = false;
};

TEST_F(SetupGraphLaunch, NothingIsWrittenThroughALinkThatLeavesThePrefix) {
    // A player who shares the Windows Steam installation of a dual boot links a folder of the
    // prefix to it; here also system32, and a folder in the middle of a path.
    write_text(wine + "/lib/wine/x86_64-windows/ntdll.dll", "ntdll");
    write_text(wine + "/lib/wine/x86_64-windows/kernel32.dll", "kernel32");
    std::string dual_boot = tree / "windows/Program Files (x86)";
    std::string system32_elsewhere = tree / "windows/system32";
    testing::make_dir(dual_boot);
    testing::make_dir(system32_elsewhere);
    testing::make_link("../../../windows/Program Files (x86)",
                       pfx + "/drive_c/Program Files (x86)");
    testing::make_link(system32_elsewhere, pfx + "/drive_c/windows/system32");
    RunResult result = launch();
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_TRUE(base::list_dir(dual_boot).empty());
    EXPECT_TRUE(base::list_dir(system32_elsewhere).empty());
    std::string relative_link =
        pfx + "/drive_c/Program Files (x86) is a link that leads out of " + pfx;
    std::string absolute_link =
        pfx + "/drive_c/windows/system32 is a link that leads out of " + pfx;
    for (const std::string& line :
         {"[WARN]   PE sync: not writing into " + pfx +
              "/drive_c/windows/system32: " + absolute_link,
          "[WARN]   Steam client: not writing into " + pfx +
              "/drive_c/Program Files (x86)/Steam: " + relative_link,
          "[WARN]   DXVK: not writing into " + pfx + "/drive_c/windows/system32: " + absolute_link,
          "[WARN]   steam.exe: not writing into " + pfx +
              "/drive_c/windows/system32: " + absolute_link}) {
        EXPECT_TRUE(result.has_line(line)) << line << "\n" << result.err;
    }
    // What the prefix has of its own is written as always.
    EXPECT_EQ(read_text(pfx + "/drive_c/windows/syswow64/steam.exe"), "bridge steam.exe");

    // An absolute link to a folder of the same prefix is followed as a relative one is.
    std::string system32 = pfx + "/drive_c/windows/system32-real";
    testing::make_dir(system32);
    base::remove_file(pfx + "/drive_c/windows/system32");
    testing::make_link(system32, pfx + "/drive_c/windows/system32");
    result = launch();
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_EQ(read_text(system32 + "/d3d11.dll"), "dxvk d3d11");
    EXPECT_EQ(read_text(system32 + "/kernel32.dll"), "kernel32");
    EXPECT_EQ(result.err.find("FATAL: d3d11.dll"), std::string::npos) << result.err;
}

TEST_F(SetupGraphLaunch, DeadWineserverDirectoryIsSwept) {
    // The sweep looks at the real user directory in /tmp; the test's entries carry the name of
    // its temporary tree so they cannot meet anyone else's.
    std::string user_dir = "/tmp/.wine-" + std::to_string(::getuid());
    std::string tag(base::file_name(tree.path()));
    std::string dead = user_dir + "/" + tag + "-dead", live = user_dir + "/" + tag + "-live";
    testing::make_dir(dead + "/sub");
    testing::make_dir(live);
    write_text(dead + "/sub/lock", "");
    write_text(tree / "outside/keep", "keep");
    testing::make_link(tree / "outside", dead + "/link");
    SocketAt gone(dead + "/socket", false);
    SocketAt answering(live + "/socket", true);
    ASSERT_TRUE(gone.ok());
    ASSERT_TRUE(answering.ok());

    RunResult result = launch();
    bool dead_left = base::lstat_path(dead).has_value();
    bool live_left = base::exists(live + "/socket");
    base::remove_tree(dead);
    base::remove_tree(live);

    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_TRUE(result.has_line("[DEBUG]  Removing stale server dir: " + dead)) << result.err;
    EXPECT_FALSE(dead_left);
    EXPECT_TRUE(live_left);
    EXPECT_EQ(read_text(tree / "outside/keep"), "keep");
    // The sweep comes after the timing line, right before the game.
    EXPECT_LT(line_index(result, "[DEBUG]  timing: "),
              line_index(result, "[DEBUG]  Removing stale server dir: " + dead));
}

}  // namespace
}  // namespace pelto
