// The one builder of child processes. A `Command` carries raw byte-string arguments, ordered
// changes on top of the inherited environment, a working directory and the three standard
// streams; `spawn` starts it with posix_spawn, so the launcher never forks. The game's command
// also asks for a new session and default SIGINT/SIGTERM dispositions before the exec.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelto::base {

/// One environment change: set `name` to `value`, or remove `name` when `value` is empty.
struct EnvChange {
    std::string name;
    std::optional<std::string> value;
};

/// Where a child's standard stream goes.
struct Stream {
    enum class Kind { Inherit, Null, Fd } kind = Kind::Inherit;
    int fd = -1;  // for Kind::Fd: a descriptor of the launcher, duplicated onto the stream

    static Stream inherit() { return {}; }
    static Stream null() { return {Kind::Null, -1}; }
    static Stream from_fd(int fd) { return {Kind::Fd, fd}; }
};

struct Command {
    std::string program;            // the file to execute (searched on PATH when `search_path`)
    std::vector<std::string> args;  // arguments after argv[0]; argv[0] is `program`
    std::vector<EnvChange> env;     // applied in order; a later change of a name wins
    /// The entries ("NAME=value") the changes apply to; the launcher's own environment at
    /// the spawn when null.
    std::shared_ptr<const std::vector<std::string>> inherit;
    std::optional<std::string> cwd;  // working directory of the child
    Stream in, out, err;
    bool new_session = false;  // setsid() and default SIGINT/SIGTERM in the child
    bool search_path = false;  // look `program` up through PATH
    /// For `run_and_wait`: the child is killed by a stop request, and none is started after
    /// one. Off for the commands that clean up after a stop.
    bool stoppable = true;

    /// Appends a "set" change.
    void set_env(std::string name, std::string value) {
        env.push_back({std::move(name), std::move(value)});
    }
    /// Appends a "remove" change.
    void remove_env(std::string name) { env.push_back({std::move(name), std::nullopt}); }
};

/// The environment a child receives: `inherit` (the launcher's own when null) with the changes
/// applied.
std::vector<std::string> child_environment(const std::vector<EnvChange>& changes,
                                           const std::vector<std::string>* inherit = nullptr);

/// The launcher's own environment as it is now, "NAME=value" entries in order.
std::vector<std::string> current_environment();

/// Applies the changes to the launcher's own environment at once, in time linear in the size
/// of the environment. Names and values must fit an environment (no NUL byte, no "=" in a
/// name, no empty name). Call it only while no other thread of the launcher runs.
void set_environment(const std::vector<EnvChange>& changes);

/// Starts `command`; stores the child's pid. Returns errno (also for a failed exec) or 0.
int spawn(const Command& command, pid_t& pid);

/// Waits for `pid` to end (EINTR retried); stores the raw wait status. Returns errno or 0.
int wait_child(pid_t pid, int& status);

/// Spawns `command` and waits for it; stores the raw wait status. Returns errno or 0. With a
/// `limit_ms` of 0 or more a child still running after that long is killed (SIGKILL), reaped,
/// and ETIMEDOUT returned. A stoppable command gives ECANCELED after a stop request, whether
/// it was not started or was killed by it.
int run_and_wait(const Command& command, int& status, long limit_ms = -1);

/// `run_and_wait` for a command whose standard output is captured: `out` receives at most
/// `max_bytes` of it (the command's `out` stream is replaced). Returns errno or 0.
int run_and_capture(Command command, std::string& out, int& status, long limit_ms,
                    size_t max_bytes = 4096);

/// The signals that stop a launch: SIGINT and SIGTERM, and SIGHUP and SIGQUIT, which come when
/// Steam's session or terminal goes away.
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

/// A process file descriptor for the child `pid` (close-on-exec); -1 when none can be had.
int open_pidfd(pid_t pid);

/// Asks the launcher to stop because of signal `signo`: every stoppable child that
/// `run_and_wait` is waiting for is killed (SIGKILL), and no new one is started. Only
/// async-signal-safe calls: meant for a signal handler.
void request_stop(int signo);
/// The signal of the stop request; 0 when there is none.
int stop_signal();

/// Ends the process the way `signo` ends it by default, after closing the log copy.
[[noreturn]] void end_by_signal(int signo);

}  // namespace pelto::base
