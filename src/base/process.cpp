#include "base/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "base/log.hpp"
#include "base/posix.hpp"

extern char** environ;

namespace pelto::base {

namespace {

std::string_view name_of(std::string_view entry) {
    size_t eq = entry.find('=');
    return eq == std::string_view::npos ? entry : entry.substr(0, eq);
}

// Adds the file action that connects `stream` to descriptor `target`.
int add_stream(posix_spawn_file_actions_t& actions, const Stream& stream, int target) {
    switch (stream.kind) {
        case Stream::Kind::Inherit: return 0;
        case Stream::Kind::Null:
            return posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_RDWR, 0);
        case Stream::Kind::Fd:
            // glibc clears close-on-exec when the descriptor is duplicated onto itself.
            return posix_spawn_file_actions_adddup2(&actions, stream.fd, target);
    }
    return 0;
}

// The stoppable children `run_and_wait` is waiting for, so that a signal handler can end
// them: a fixed table of lock-free words, since a handler may neither allocate nor lock.
constexpr size_t kChildSlots = 32;
std::atomic<pid_t> g_children[kChildSlots];
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// Puts `pid` into a free slot; returns the slot, or kChildSlots when the table is full (the
// child then ends on its own, which only makes a stop slower).
size_t remember_child(pid_t pid) {
    for (size_t slot = 0; slot < kChildSlots; ++slot) {
        pid_t empty = 0;
        if (g_children[slot].compare_exchange_strong(empty, pid)) return slot;
    }
    return kChildSlots;
}

void forget_child(size_t slot) {
    if (slot < kChildSlots) g_children[slot].store(0);
}

// Waits until `pid` has ended without reaping it, so that its pid is not reused while a signal
// handler may still send it a signal; at most `limit_ms` when that is 0 or more (ETIMEDOUT
// when it still runs). Returns errno or 0.
int wait_for_exit(pid_t pid, long limit_ms) {
    Fd pidfd(limit_ms >= 0 ? open_pidfd(pid) : -1);
    Clock::time_point start = Clock::now();
    while (true) {
        siginfo_t info{};
        int flags = WEXITED | WNOWAIT | (limit_ms >= 0 ? WNOHANG : 0);
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, flags) == 0) {
            if (info.si_pid == pid) return 0;
        } else if (errno != EINTR) {
            return errno;
        }
        if (limit_ms < 0) continue;
        uint64_t waited = elapsed_ms(start);
        if (waited >= static_cast<uint64_t>(limit_ms)) return ETIMEDOUT;
        int slice =
            static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(limit_ms) - waited, 50));
        if (pidfd.valid()) {
            struct pollfd ended {
                pidfd.get(), POLLIN, 0
            };
            (void)::poll(&ended, 1, slice);
        } else {
            sleep_ms(slice);
        }
    }
}

}  // namespace

void request_stop(int signo) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, signo);
    for (std::atomic<pid_t>& child : g_children) {
        pid_t pid = child.load();
        if (pid > 0) ::kill(pid, SIGKILL);
    }
}

int stop_signal() { return g_stop_signal.load(); }

void end_by_signal(int signo) {
    end_log_copy();
    ::signal(signo, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signo);
    std::_Exit(128 + signo);
}

std::vector<std::string> current_environment() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

std::vector<std::string> child_environment(const std::vector<EnvChange>& changes,
                                           const std::vector<std::string>* inherit) {
    // Each name's last change decides: the inherited entries of a changed name go, and the
    // changed names follow in the order of their last changes. One pass over each list, so a
    // launch with many custom variables costs time in proportion to their number.
    std::unordered_map<std::string_view, size_t> last_change;
    last_change.reserve(changes.size());
    for (size_t i = 0; i < changes.size(); ++i) last_change[changes[i].name] = i;
    std::vector<std::string> entries;
    if (inherit != nullptr) {
        for (const std::string& entry : *inherit) {
            if (!last_change.contains(name_of(entry))) entries.push_back(entry);
        }
    } else {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            if (!last_change.contains(name_of(*entry))) entries.emplace_back(*entry);
        }
    }
    for (size_t i = 0; i < changes.size(); ++i) {
        const EnvChange& change = changes[i];
        if (change.value && last_change[change.name] == i) {
            entries.push_back(change.name + "=" + *change.value);
        }
    }
    return entries;
}

void set_environment(const std::vector<EnvChange>& changes) {
    // The new environment is built once and put in place of the old one: a setenv per
    // variable searches the whole environment each time. Every generation stays for the rest
    // of the process, as an environment must (values taken from an old one may still be in
    // use).
    struct Generation {
        std::vector<std::string> entries;
        std::vector<char*> table;
    };
    static std::vector<std::unique_ptr<Generation>> generations;
    auto generation = std::make_unique<Generation>();
    generation->entries = child_environment(changes);
    generation->table.reserve(generation->entries.size() + 1);
    for (std::string& entry : generation->entries) generation->table.push_back(entry.data());
    generation->table.push_back(nullptr);
    environ = generation->table.data();
    generations.push_back(std::move(generation));
}

int spawn(const Command& command, pid_t& pid) {
    pid = -1;
    if (command.program.find('\0') != std::string::npos) return EINVAL;
    // Everything the child needs is built before the spawn.
    std::vector<std::string> env_entries = child_environment(command.env, command.inherit.get());
    std::vector<char*> envp;
    envp.reserve(env_entries.size() + 1);
    for (std::string& e : env_entries) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string program = command.program;
    std::vector<std::string> arg_copies = command.args;
    std::vector<char*> argv;
    argv.push_back(program.data());
    for (std::string& a : arg_copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);

    int error = 0;
    error = error ? error : add_stream(actions, command.in, STDIN_FILENO);
    error = error ? error : add_stream(actions, command.out, STDOUT_FILENO);
    error = error ? error : add_stream(actions, command.err, STDERR_FILENO);
    if (!error && command.cwd) {
        error = posix_spawn_file_actions_addchdir_np(&actions, command.cwd->c_str());
    }

    // The child never inherits a blocked signal; SIGPIPE, which the launcher ignores, is
    // reset for every child, and the game also gets the default stop signals.
    sigset_t empty_mask, defaults;
    sigemptyset(&empty_mask);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    if (command.new_session) {
        for (int signo : kStopSignals) sigaddset(&defaults, signo);
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (command.new_session) flags |= POSIX_SPAWN_SETSID;
    if (!error) error = posix_spawnattr_setsigmask(&attr, &empty_mask);
    if (!error) error = posix_spawnattr_setsigdefault(&attr, &defaults);
    if (!error) error = posix_spawnattr_setflags(&attr, flags);

    if (!error) {
        if (command.search_path) {
            error = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
        } else {
            error = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (error) pid = -1;
    return error;
}

int wait_child(pid_t pid, int& status) {
    while (true) {
        if (::waitpid(pid, &status, 0) == pid) return 0;
        if (errno != EINTR) return errno;
    }
}

int open_pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int run_and_wait(const Command& command, int& status, long limit_ms) {
    if (command.stoppable && stop_signal() != 0) return ECANCELED;
    pid_t pid = -1;
    int error = spawn(command, pid);
    if (error != 0) return error;
    size_t slot = command.stoppable ? remember_child(pid) : kChildSlots;
    // A stop that came between the check and the table entry has missed this child.
    if (command.stoppable && stop_signal() != 0) ::kill(pid, SIGKILL);
    error = wait_for_exit(pid, limit_ms);
    if (error == ETIMEDOUT) ::kill(pid, SIGKILL);
    // Out of the table before it is reaped: its pid cannot have been reused yet.
    forget_child(slot);
    if (error != 0 && error != ETIMEDOUT) return error;
    int reaped = wait_child(pid, status);
    if (error == 0) error = reaped;
    if (error == 0 && command.stoppable && stop_signal() != 0 && WIFSIGNALED(status) &&
        WTERMSIG(status) == SIGKILL) {
        error = ECANCELED;  // ended by the stop request, not by itself
    }
    return error;
}

int run_and_capture(Command command, std::string& out, int& status, long limit_ms,
                    size_t max_bytes) {
    out.clear();
    // An anonymous file rather than a pipe: the child never blocks on a reader.
    Fd capture(::memfd_create("pelto-capture", MFD_CLOEXEC));
    if (!capture.valid()) return errno;
    command.out = Stream::from_fd(capture.get());
    int error = run_and_wait(command, status, limit_ms);
    if (error != 0) return error;
    out.resize(max_bytes);
    ssize_t got;
    do {
        got = ::pread(capture.get(), out.data(), max_bytes, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        out.clear();
        return errno;
    }
    out.resize(static_cast<size_t>(got));
    return 0;
}

}  // namespace pelto::base
