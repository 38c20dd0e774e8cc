// The real-Wine test harness. It lays out a compatibility tool the way users have it installed
// (a copy of the built pelto with a Wine tree beside it, made of links into Debian's Wine), a
// compatibility data directory holding a ready prefix, a temporary HOME, and runs the test
// game through that pelto. Everything Wine creates, its server directories included, stays
// inside the fixture's temporary directory, and every Wine process of the prefix is ended
// when the fixture goes away.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace pelto::testing {

/// Whether fixtures start with a ready prefix (made by wineboot once per test binary and
/// copied per test) rather than an empty compatibility data directory in which pelto creates
/// the prefix itself. The copy is the cheaper start; turn this off to have every test begin
/// with pelto's own prefix creation. A fixture can also choose for itself (see WineTest).
inline constexpr bool kFixtureBuildsPrefix = true;

/// Where the Wine tree's links point. The defaults are Debian 12's wine64 package.
struct WineSource {
    std::string loader = "/usr/lib/wine/wine64";
    std::string wineserver = "/usr/lib/wine/wineserver64";
    std::string lib_dir = "/usr/lib/x86_64-linux-gnu/wine";  // x86_64-unix, x86_64-windows, ...
    std::string lib_dir32 = "/usr/lib/i386-linux-gnu/wine";  // i386-windows of the 32-bit half
    std::string share_dir = "/usr/share/wine";
};

/// Path of the built Windows test game; "" when the tests were configured without mingw-w64.
std::string test_game_exe();
/// Path of the test game built as a 32-bit program; "" without the 32-bit compiler.
std::string test_game32_exe();
/// Path of the built Steam bridge steam.exe (a Wine builtin); "" when not built.
std::string steam_bridge_exe();

/// Why the real-Wine tests cannot run on this machine; "" when they can.
std::string wine_unavailable_reason(const WineSource& source = {});

/// Lays out the Wine tree of an installed tool under `root`: bin/wine, bin/wineserver,
/// lib/wine/{x86_64-unix,x86_64-windows,i386-windows} with the bridge steam.exe, share/wine.
/// i386-windows is that of the 64-bit half (Debian's holds no 32-bit modules): a new prefix
/// then costs only the 64-bit module sync.
/// Returns "" or what went wrong.
std::string make_wine_tree(const std::string& root, const WineSource& source = {});

/// The Windows form of a Unix path through drive Z: ("/a/b" gives "Z:\a\b").
std::string z_drive_path(const std::string& unix_path);

/// Processes whose environment holds WINEPREFIX={prefix} exactly; none when none is found.
std::vector<pid_t> processes_of_prefix(const std::string& prefix,
                                       const std::string& proc_root = "/proc");
/// Processes whose parent is `parent`; none when it has no children.
std::vector<pid_t> children_of(pid_t parent, const std::string& proc_root = "/proc");
/// The raw argument vector of `pid` from its cmdline file, trailing empty arguments dropped;
/// empty when it cannot be read.
std::vector<std::string> cmdline_of(pid_t pid, const std::string& proc_root = "/proc");

/// Every prefix a fixture of this process has used, the shared pristine one included.
std::vector<std::string> fixture_prefixes();

/// Gives this process and its children private versions of the machine-wide directories the
/// launcher writes, "/tmp/pelto" and "/tmp/.wine-{uid}": directories under `private_root` are
/// bind-mounted over them in a mount namespace of the process's own, so test runs that happen
/// at the same time cannot overwrite each other's game logs. Call it while the process has a
/// single thread. Returns "" or why it could not be done (the shared directories stay in use).
std::string use_private_shared_dirs(const std::string& private_root);

/// Polls `done` every 50 ms until it holds or `limit_ms` passed; returns its last value.
/// The limit is a safety net against hangs, never a measure of speed.
bool wait_until(const std::function<bool()>& done, long limit_ms = 180000);

/// One installed tool, one compatibility data directory and one HOME in a temporary tree.
class WineFixture {
public:
    /// Lays everything out; with `builds_prefix` the compatibility data directory already
    /// holds a ready prefix, otherwise it is empty.
    explicit WineFixture(bool builds_prefix = kFixtureBuildsPrefix, const WineSource& source = {});
    ~WineFixture();
    WineFixture(const WineFixture&) = delete;
    WineFixture& operator=(const WineFixture&) = delete;

    /// "" when the fixture is ready, otherwise what failed while it was laid out.
    const std::string& error() const { return error_; }

    const std::string& root() const { return root_.path(); }
    /// The installed tool: "{root}/tool", holding "pelto", "bin/", "lib/wine/", "share/wine".
    std::string tool_dir() const { return root_ / "tool"; }
    std::string pelto() const { return root_ / "tool/pelto"; }
    std::string home() const { return root_ / "home"; }
    /// STEAM_COMPAT_DATA_PATH.
    std::string compat() const { return root_ / "compat"; }
    std::string prefix() const { return root_ / "compat/pfx"; }
    /// TMPDIR of every Wine process: Debian's Wine puts its server directories there.
    std::string tmp_dir() const { return root_ / "tmp"; }
    /// The test game, in a directory whose name holds a space.
    std::string game_exe() const { return root_ / "games/Test Game/test_game.exe"; }

    /// The environment pelto runs with: PATH, HOME, TMPDIR, STEAM_COMPAT_DATA_PATH and
    /// HOST_LC_ALL=C.UTF-8 (so Wine reads arguments as UTF-8).
    std::map<std::string, std::string> env() const;

    /// Writes "env_config" beside the tool's pelto.
    void write_env_config(const std::string& text) const;

    /// Runs `pelto waitforexitandrun {game_exe} {game_args...}` with `env()` plus `extra_env`.
    RunResult run_game(const std::vector<std::string>& game_args,
                       const std::map<std::string, std::string>& extra_env = {},
                       const RunOptions& options = {}) const;

    /// Waits (generously) for every process of the prefix to end by itself; returns the
    /// command lines of those still running afterwards.
    std::vector<std::string> leftover_processes(long limit_ms = 60000) const;

    /// Ends the prefix's Wine session: "wineserver -k", then SIGKILL to every process that
    /// still runs with this prefix, and waits until they are gone.
    void stop_wine() const;

private:
    TempDir root_;
    std::string error_;
};

/// A GoogleTest fixture that owns a `WineFixture` as `wine`; skips the test when the real
/// Wine or the Windows programs are missing, and checks at the end that nothing was left
/// running in the prefix.
class WineTest : public ::testing::Test {
protected:
    /// Whether the fixture starts with a ready prefix; override to start without one.
    virtual bool fixture_builds_prefix() const { return kFixtureBuildsPrefix; }
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<WineFixture> wine;
};

}  // namespace pelto::testing
