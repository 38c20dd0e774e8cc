#include "launcher/components/wineserver.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

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

std::string script(const std::string& path, const std::string& body, mode_t mode = 0755) {
    write_text(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), mode);
    return path;
}

TEST(Wineserver, PrestartReportsHowTheServerProgramEnded) {
    TempDir dir;
    std::string pfx = dir / "pfx";
    // The stand-in records what it was given: the prefix and where its streams go.
    std::string started = script(dir / "started",
                                 "in=$(readlink /proc/$$/fd/0)\n"
                                 "out=$(readlink /proc/$$/fd/1)\n"
                                 "err=$(readlink /proc/$$/fd/2)\n"
                                 "echo \"$WINEPREFIX $in $out $err\" > " +
                                     dir.path() +
                                     "/seen\n"
                                     "exit 0\n");
    // The server program with the prefix in its environment, as the launch gives it.
    auto server = [&](const std::string& program) {
        base::Command command;
        command.program = program;
        command.set_env("WINEPREFIX", pfx);
        return command;
    };
    Lines lines = capture_log([&] { prestart_wineserver(server(started), pfx); });
    EXPECT_EQ(lines, (Lines{"[DEBUG]  wineserver: started ahead for " + pfx}));
    EXPECT_EQ(read_text(dir / "seen"), pfx + " /dev/null /dev/null /dev/null\n");

    struct Case {
        std::string body;
        mode_t mode;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"exit 2\n", 0755, "[DEBUG]  wineserver: already running for " + pfx},
        {"exit 3\n", 0755,
         "[DEBUG]  wineserver: prestart exited exit status: 3; Wine will start its own"},
        {"kill -KILL $$\n", 0755,
         "[DEBUG]  wineserver: prestart exited signal: 9 (SIGKILL); Wine will start its own"},
        {"exit 0\n", 0644,
         "[WARN]   wineserver: prestart failed: Permission denied (os error 13); Wine will start "
         "its own"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string program = script(dir / ("server" + std::to_string(n++)), c.body, c.mode);
        lines = capture_log([&] { prestart_wineserver(server(program), pfx); });
        EXPECT_EQ(lines, (Lines{c.line})) << c.body;
    }
    lines = capture_log([&] { prestart_wineserver(server(dir / "no-such-wineserver"), pfx); });
    EXPECT_EQ(lines, (Lines{"[WARN]   wineserver: prestart failed: No such file or directory (os "
                            "error 2); Wine will start its own"}));
}

// A Unix socket bound at `path`; listening only when asked. Closing it leaves the file.
class BoundSocket {
public:
    BoundSocket(const std::string& path, bool listening) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 (!listening || ::listen(fd_, 4) == 0);
    }
    ~BoundSocket() { ::close(fd_); }
    bool ok() const { return bound_; }

private:
    int fd_ = -1;
    bool bound_ = false;
};

TEST(Wineserver, SweepRemovesOnlyTheUsersDeadServerDirectories) {
    TempDir tmp;
    std::string user_dir = tmp / (".wine-" + std::to_string(::getuid()));

    // Nothing to sweep: no user directory at all.
    EXPECT_TRUE(capture_log([&] { sweep_stale_server_dirs(tmp.path()); }).empty());

    std::string dead = user_dir + "/server-dead";
    make_dir(dead);
    {
        BoundSocket gone(dead + "/socket", false);
        ASSERT_TRUE(gone.ok());
    }
    write_text(dead + "/lock", "");
    write_text(dead + "/deeper/file", "x");
    // A link inside the stale directory to something outside must not be followed.
    write_text(tmp / "outside/precious", "keep me");
    make_link(tmp / "outside", dead + "/escape");
    make_link(tmp / "outside/precious", dead + "/escape-file");

    std::string live = user_dir + "/server-live";
    make_dir(live);
    BoundSocket listening(live + "/socket", true);
    ASSERT_TRUE(listening.ok());

    std::string no_socket = user_dir + "/server-starting";
    write_text(no_socket + "/lock", "");

    // A plain file named "socket" accepts nothing either.
    std::string plain = user_dir + "/server-plain";
    write_text(plain + "/socket", "");

    // Someone else's directory and a link to a dead directory elsewhere are not ours.
    std::string foreign = user_dir + "/server-foreign";
    write_text(foreign + "/socket", "");
    ASSERT_EQ(::lchown(foreign.c_str(), 12345, 12345), 0);
    write_text(tmp / "elsewhere/socket", "");
    make_link(tmp / "elsewhere", user_dir + "/server-link");
    write_text(user_dir + "/stray-file", "");

    Lines lines = capture_log([&] { sweep_stale_server_dirs(tmp.path()); });
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (Lines{"[DEBUG]  Removing stale server dir: " + dead,
                            "[DEBUG]  Removing stale server dir: " + plain}));
    EXPECT_FALSE(base::lstat_path(dead));
    EXPECT_FALSE(base::lstat_path(plain));
    EXPECT_EQ(read_text(tmp / "outside/precious"), "keep me");
    EXPECT_TRUE(base::exists(live + "/socket"));
    EXPECT_TRUE(base::exists(no_socket + "/lock"));
    EXPECT_TRUE(base::exists(foreign + "/socket"));
    EXPECT_TRUE(base::exists(tmp / "elsewhere/socket"));
    EXPECT_TRUE(base::lstat_path(user_dir + "/server-link"));

    // A live server whose listen queue is full (frozen, not accepting): the sweep does not
    // wait for it, and its directory stays.
    std::string frozen = user_dir + "/server-frozen";
    make_dir(frozen);
    BoundSocket full(frozen + "/socket", true);
    ASSERT_TRUE(full.ok());
    std::vector<base::Fd> waiting;
    while (waiting.size() < 64) {
        base::Fd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        struct sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::string path = frozen + "/socket";
        std::memcpy(address.sun_path, path.c_str(), path.size());
        if (::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            break;
        waiting.push_back(std::move(client));
    }
    EXPECT_TRUE(capture_log([&] { sweep_stale_server_dirs(tmp.path()); }).empty());
    EXPECT_TRUE(base::exists(frozen + "/socket"));
}

TEST(Wineserver, SweepLeavesAPlantedUserDirectoryAlone) {
    TempDir tmp;
    std::string user_dir = tmp / (".wine-" + std::to_string(::getuid()));
    write_text(tmp / "target/server/socket", "");
    make_link(tmp / "target", user_dir);
    EXPECT_TRUE(capture_log([&] { sweep_stale_server_dirs(tmp.path()); }).empty());
    EXPECT_TRUE(base::exists(tmp / "target/server/socket"));

    // A socket path that does not fit a socket address cannot answer: stale.
    base::remove_file(user_dir);
    std::string long_dir = user_dir + "/" + std::string(110, 'w');
    write_text(long_dir + "/socket", "");
    Lines lines = capture_log([&] { sweep_stale_server_dirs(tmp.path()); });
    EXPECT_EQ(lines, (Lines{"[DEBUG]  Removing stale server dir: " + long_dir}));
}

}  // namespace
}  // namespace pelto::launcher::components
