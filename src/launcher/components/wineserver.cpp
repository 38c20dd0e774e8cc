#include "launcher/components/wineserver.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"

namespace pelto::launcher::components {

namespace {

// The server program hands over to its background server within milliseconds; one that has
// not returned after this long is wedged and must not hold up the launch.
constexpr long kPrestartLimitMs = 5'000;

// "exit status: 3", or "signal: 9 (SIGKILL)" with " (core dumped)" when there is a core.
std::string status_text(int status) {
    if (WIFEXITED(status)) return base::concat("exit status: ", WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        int signal = WTERMSIG(status);
        std::string text = base::concat("signal: ", signal);
        if (const char* abbreviation = ::sigabbrev_np(signal)) {
            text += base::concat(" (SIG", abbreviation, ")");
        }
        if (WCOREDUMP(status)) text += " (core dumped)";
        return text;
    }
    return base::concat("wait status: ", status);
}

// Whether a server answers on the Unix socket at `path`. The connection is tried without
// waiting: a live server whose listen queue is full would otherwise block the launch. A
// connection that cannot finish at once, or is cut short by a signal, counts as an answer:
// keeping a stale directory costs less than removing a live one.
bool server_answers(const std::string& path) {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    base::Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid()) return false;
    if (::connect(socket.get(), reinterpret_cast<const struct sockaddr*>(&address),
                  sizeof address) == 0) {
        return true;
    }
    return errno == EINTR || errno == EAGAIN || errno == EINPROGRESS;
}

}  // namespace

void prestart_wineserver(base::Command command, const std::string& prefix) {
    command.in = command.out = command.err = base::Stream::null();
    int status = 0;
    int error = base::run_and_wait(command, status, kPrestartLimitMs);
    if (error == ETIMEDOUT) {
        base::log_warn(base::concat("wineserver: prestart did not return within ",
                                    kPrestartLimitMs / 1000, " s; Wine will start its own"));
        return;
    }
    if (error != 0) {
        base::log_warn(base::concat("wineserver: prestart failed: ", base::error_text(error),
                                    "; Wine will start its own"));
        return;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        base::log_debug("wineserver: started ahead for ", base::as_text(prefix));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
        base::log_debug("wineserver: already running for ", base::as_text(prefix));
    } else if (base::verbose()) {
        base::log_debug("wineserver: prestart exited ", status_text(status),
                        "; Wine will start its own");
    }
}

void sweep_stale_server_dirs(const std::string& tmp_root) {
    const uid_t uid = ::getuid();
    std::string user_dir = base::concat(tmp_root, "/.wine-", static_cast<unsigned long>(uid));
    // The user directory itself must be the user's own, not a link planted in "/tmp".
    auto owner = base::lstat_path(user_dir);
    if (!owner || !S_ISDIR(owner->st_mode) || owner->st_uid != uid) return;
    int error = 0;
    auto entries = base::list_dir(user_dir, error);
    if (error != 0) return;
    for (const base::DirEntry& entry : entries) {
        std::string server_dir = base::join_path(user_dir, entry.name);
        // Only the user's own real directories: "/tmp" is shared, and a link or a directory
        // planted by someone else is not ours to delete.
        auto own = base::lstat_path(server_dir);
        if (!own || !S_ISDIR(own->st_mode) || own->st_uid != uid) continue;
        std::string socket_path = base::join_path(server_dir, "socket");
        if (!base::exists(socket_path)) continue;
        if (server_answers(socket_path)) continue;
        base::log_debug("Removing stale server dir: ", base::as_text(server_dir));
        base::remove_tree(server_dir);
    }
}

}  // namespace pelto::launcher::components
