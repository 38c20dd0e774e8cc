#include "launcher/session/launch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>

#include "base/log.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "base/tree_walk.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/session/session_end.hpp"
#include "launcher/session/trace.hpp"

namespace pelto::launcher::session {

namespace {

using base::concat;
using base::lossy_utf8;

// Shared with the signal handler: single lock-free words.
std::atomic<bool> g_session_interrupted{false};
std::atomic<int> g_game_pidfd{-1};
std::atomic<pid_t> g_game_pid{0};
std::atomic<bool> g_game_signalled{false};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
              std::atomic<pid_t>::is_always_lock_free);

// Warns about the two Direct3D translation DLLs the game cannot do without.
void check_deployment(const std::string& prefix) {
    std::string system32 = base::join_path(prefix, "drive_c/windows/system32");
    bool missing = false;
    for (auto [file, what] : {std::pair{"d3d11.dll", "d3d11.dll (DXVK)"},
                              std::pair{"d3d12.dll", "d3d12.dll (VKD3D-Proton)"}}) {
        if (!base::exists(base::join_path(system32, file))) {
            base::log_error(concat("FATAL: ", what, " not deployed"));
            missing = true;
        }
    }
    if (missing) base::log_error("Check DXVK/VKD3D source dirs. Game will crash without these.");
}

// Where the game starts. Steam starts the launcher where the game is to run (the folder its
// launch configuration names, else its top folder; a shortcut's "Start In") and expects it
// kept; a launch from elsewhere, a terminal say, starts the game in its executable's folder.
std::optional<std::string> game_working_dir(const core::LaunchContext& context) {
    if (context.working_dir) {
        if (context.shortcut) return context.working_dir;
        auto install = context.game_install_path.empty()
                           ? std::nullopt
                           : base::canonical(context.game_install_path);
        if (install && base::path_inside(*context.working_dir, *install))
            return context.working_dir;
    }
    // A relative path names the game from the launcher's own folder, which it must keep: from
    // the executable's folder the bridge would not find it.
    auto parent = base::parent_dir(context.exe);
    if (parent && !parent->empty() && context.exe.front() == '/' && base::is_dir(*parent)) {
        return *parent;
    }
    return std::nullopt;  // the launcher's own
}

// The game behind the Steam bridge, in a session of its own, with its whole environment.
base::Command build_game_command(const LaunchPlan& plan) {
    const std::string& exe = plan.context.exe;
    const std::vector<std::string>& args = plan.context.args;
    base::Command command =
        core::wine_command(plan.wine.wine64, plan.wine.wine_root, plan.wine_env);
    command.args.reserve(args.size() + 2);
    command.args.push_back("C:\\windows\\system32\\steam.exe");
    command.args.push_back(exe);
    command.args.insert(command.args.end(), args.begin(), args.end());
    command.cwd = game_working_dir(plan.context);
    command.env = plan.env;
    command.new_session = true;
    return command;
}

}  // namespace

bool session_interrupted() { return g_session_interrupted.load(); }

void on_signal(int signo) {
    int saved_errno = errno;
    // Before the game: whatever the setup has started is killed, and the launcher stops.
    base::request_stop(signo);
    g_session_interrupted.store(true);
    // The game gets SIGTERM; a second signal while it still runs kills it, so a player's
    // second "Stop" always works.
    int pidfd = g_game_pidfd.load();
    pid_t pid = g_game_pid.load();
    bool running = pidfd >= 0 || pid > 0;
    int forwarded = running && g_game_signalled.exchange(true) ? SIGKILL : SIGTERM;
    if (pidfd >= 0) ::syscall(SYS_pidfd_send_signal, pidfd, forwarded, nullptr, 0);
    if (pid > 0) ::kill(-pid, forwarded);
    errno = saved_errno;
}

void install_stop_handler() {
    for (int signo : base::kStopSignals) ::signal(signo, on_signal);
}

void check_before_launch(const LaunchPlan& plan) {
    const std::string& exe = plan.context.exe;
    std::string exe_text = lossy_utf8(exe);
    if (!base::exists(exe)) {
        base::log_warn(
            concat("game exe not found at ", exe_text, " (may be a Windows path — continuing)"));
    }
    base::log_info(concat("launching: ", exe_text));
    if (plan.use_wined3d) {
        base::log_info(
            "PELTO_USE_WINED3D=1: the game uses Wine's own Direct3D, not DXVK or VKD3D-Proton");
    } else {
        check_deployment(plan.context.prefix);
    }
    clean_crash_dumps(plan.context.prefix, plan.user);
}

std::optional<RunningGame> start_game(const LaunchPlan& plan) {
    base::Command command = build_game_command(plan);
    RunningGame game;
    game.logs = open_game_logs(plan.context.log_dir);
    if (game.logs.err.valid()) command.err = base::Stream::from_fd(game.logs.err.get());
    if (game.logs.out.valid()) command.out = base::Stream::from_fd(game.logs.out.get());
    base::log_debug("timing: spawn at ", base::elapsed_ms(plan.context.started),
                    "ms after the launcher started");
    // The stop handler has been in place since the start of the launch.
    if (int error = base::spawn(command, game.pid); error != 0) {
        base::log_error(concat("Failed to exec wine64: ", base::error_text(error)));
        return std::nullopt;
    }
    g_game_pidfd.store(base::open_pidfd(game.pid));
    g_game_pid.store(game.pid);
    // A signal between the spawn and here found no game to pass SIGTERM to.
    if (session_interrupted() && !g_game_signalled.exchange(true)) ::kill(-game.pid, SIGTERM);
    if (plan.trace) {
        // Beside the game, with the game's environment.
        game.incident_copy =
            start_trace_observer(plan.context.log_dir, plan.context.exe, plan.wine.wine_root,
                                 plan.trace_out, {plan.wine_env.inherited, command.env});
    }
    return game;
}

std::optional<int> wait_for_game(const RunningGame& game) {
    if (int pidfd = g_game_pidfd.load(); pidfd >= 0) {
        struct pollfd ready {
            pidfd, POLLIN, 0
        };
        while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
        }
    }
    int status = 0;
    int wait_error = base::wait_child(game.pid, status);
    // Reaped: its pid may now be anyone's, so a later signal must not be sent to it.
    g_game_pid.store(0);
    if (int pidfd = g_game_pidfd.exchange(-1); pidfd >= 0) ::close(pidfd);
    if (wait_error != 0) {
        base::log_error(concat("Failed to wait for wine64: ", base::error_text(wait_error)));
        return std::nullopt;
    }
    return status;
}

int exit_status(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) {
        base::log_warn(concat("wine64 killed by signal ", WTERMSIG(wait_status)));
    }
    return 1;
}

}  // namespace pelto::launcher::session
