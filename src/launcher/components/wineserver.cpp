#include "launcher/components/wineserver.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "launcher/core/log.hpp"
#include "launcher/core/posix.hpp"
#include "launcher/core/process.hpp"
#include "launcher/core/text.hpp"

namespace pelto::launcher::components {

namespace {

// "exit status: 3", or "signal: 9 (SIGKILL)" with " (core dumped)" when there is a core.
std::string status_text(int status) {
    if (WIFEXITED(status)) return core::concat("exit status: ", WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        int signal = WTERMSIG(status);
        std::string text = core::concat("signal: ", signal);
        if (const char* abbreviation = ::sigabbrev_np(signal)) {
            text += core::concat(" (SIG", abbreviation, ")");
        }
        if (WCOREDUMP(status)) text += " (core dumped)";
        return text;
    }
    return core::concat("wait status: ", status);
}

// Whether a server answers on the Unix socket at `path`. EINTR is counted as an answer: a
// connection cut short by a signal says nothing about the server, and keeping a stale
// directory costs less than removing a live one.
bool server_answers(const std::string& path) {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    core::Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return false;
    if (::connect(socket.get(), reinterpret_cast<const struct sockaddr*>(&address),
                  sizeof address) == 0) {
        return true;
    }
    return errno == EINTR;
}

}  // namespace

void prestart_wineserver(const std::string& wineserver, const std::string& prefix) {
    core::Command command;
    command.program = wineserver;
    command.set_env("WINEPREFIX", prefix);
    command.in = command.out = command.err = core::Stream::null();
    int status = 0;
    if (int error = core::run_and_wait(command, status); error != 0) {
        core::log_warn(core::concat("wineserver: prestart failed: ", core::error_text(error),
                                    "; Wine will start its own"));
        return;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        core::log_debug(core::concat("wineserver: started ahead for ", core::lossy_utf8(prefix)));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
        core::log_debug(core::concat("wineserver: already running for ", core::lossy_utf8(prefix)));
    } else if (core::verbose()) {
        core::log_debug(core::concat("wineserver: prestart exited ", status_text(status),
                                     "; Wine will start its own"));
    }
}

void sweep_stale_server_dirs(const std::string& tmp_root) {
    const uid_t uid = ::getuid();
    std::string user_dir = core::concat(tmp_root, "/.wine-", static_cast<unsigned long>(uid));
    // The user directory itself must be the user's own, not a link planted in "/tmp".
    auto owner = core::lstat_path(user_dir);
    if (!owner || !S_ISDIR(owner->st_mode) || owner->st_uid != uid) return;
    int error = 0;
    auto entries = core::list_dir(user_dir, error);
    if (error != 0) return;
    for (const core::DirEntry& entry : entries) {
        std::string server_dir = core::join_path(user_dir, entry.name);
        // Only the user's own real directories: "/tmp" is shared, and a link or a directory
        // planted by someone else is not ours to delete.
        auto own = core::lstat_path(server_dir);
        if (!own || !S_ISDIR(own->st_mode) || own->st_uid != uid) continue;
        std::string socket_path = core::join_path(server_dir, "socket");
        if (!core::exists(socket_path)) continue;
        if (server_answers(socket_path)) continue;
        core::log_debug(core::concat("Removing stale server dir: ", core::lossy_utf8(server_dir)));
        core::remove_tree(server_dir);
    }
}

}  // namespace pelto::launcher::components
