#include "launcher/session/session_end.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "base/tree_walk.hpp"
#include "launcher/prefix/user.hpp"
#include "launcher/savedata/save_data.hpp"

namespace pelto::launcher::session {

namespace {

using base::concat;

bool is_crash_dump(std::string_view name) {
    std::string text = base::lossy_utf8(name);
    size_t dot = text.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    std::string extension = base::ascii_lower(std::string_view(text).substr(dot + 1));
    return extension == "dmp" || extension == "mdmp";
}

// How long "wineserver -w" may still wait once the game's process group is gone and no other
// Wine process uses the prefix. Wine's server lingers about 3 s after its last client; this
// leaves several times that for Wine's own services to shut down and the registry to be
// written to a slow disk. A server that no Wine process ever reached (a loader that failed
// early) would otherwise be waited for for ever, and Steam would show the game running long
// after it has gone.
constexpr long kServerAfterGameMs = 20'000;

// "wineserver -k" normally returns at once; a server that is wedged must not hold the end
// of the launch up.
constexpr long kKillLimitMs = 10'000;

base::Command session_end_command(const std::string& wineserver,
                                  const core::WineProcessEnv& wine_env, const char* flag) {
    base::Command command = core::wineserver_command(wineserver, wine_env, flag);
    // The clean-up runs after a stop request as well.
    command.stoppable = false;
    return command;
}

// Ends whatever is left of the game's process group, then asks Wine to kill the prefix's
// processes and server.
void tear_down(const LaunchPlan& plan, pid_t game_pid) {
    if (game_pid > 0) {
        ::kill(-game_pid, SIGTERM);
        auto deadline = base::Clock::now() + std::chrono::milliseconds(500);
        while (base::Clock::now() < deadline && ::kill(-game_pid, 0) == 0) base::sleep_ms(10);
        ::kill(-game_pid, SIGKILL);
    }
    // Another launch's game playing in the prefix would end with the Wine session.
    if (core::may_end_wine_session(plan.lock))
        stop_wine_session(plan.wine.wineserver, plan.wine_env);
}

// True when the lock shows another launch of the prefix running: the Wine session, which its
// game keeps going, is that launch's to wait for and to end.
bool another_launch_plays(const core::LaunchLock* lock) {
    return lock != nullptr && lock->file.valid() && core::another_launch_running(*lock);
}

// True once no process of the game's group is left.
bool group_gone(pid_t game_pid) {
    return game_pid <= 0 || (::kill(-game_pid, 0) != 0 && errno == ESRCH);
}

}  // namespace

unsigned clean_crash_dumps(const std::string& prefix, const std::string& user) {
    std::string profile = prefix::user_profile_dir(prefix, user);
    if (!base::exists(profile)) return 0;
    unsigned removed = 0;
    base::WalkVisitor visitor;
    visitor.file = [&](const base::WalkItem& item) {
        if (is_crash_dump(base::file_name(item.path)) && base::remove_file(item.path) == 0)
            ++removed;
    };
    // Games leave their dumps where they keep their saves.
    for (std::string_view folder : savedata::kSaveFolders) {
        base::walk_inside(base::join_path(profile, folder), prefix, visitor);
    }
    if (removed > 0) base::log_debug("cleaned ", removed, " stale crash dump(s)");
    return removed;
}

bool other_wine_processes(const std::string& prefix, const std::string& proc_root) {
    std::string wanted = concat("WINEPREFIX=", prefix);
    for (const base::DirEntry& entry : base::list_dir(proc_root)) {
        if (entry.name.empty() || entry.name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string dir = base::join_path(proc_root, entry.name);
        std::string variables;
        if (base::read_file(base::join_path(dir, "environ"), variables) != 0) continue;
        std::vector<std::string_view> entries = base::split(variables, '\0');
        if (std::find(entries.begin(), entries.end(), wanted) == entries.end()) continue;
        // Wine runs every Windows process through its loader or preloader ("wine",
        // "wine64", "wine64-preloader", ...): a process under another program that merely
        // has the prefix in its environment (a player's shell, a script) is no part of the
        // session, and a server does not keep its own session going.
        auto program = base::read_link(base::join_path(dir, "exe"));
        if (!program) continue;
        std::string_view name = base::file_name(*program);
        if (name.starts_with("wine") && !name.starts_with("wineserver")) return true;
    }
    return false;
}

void stop_wine_session(const std::string& wineserver, const core::WineProcessEnv& wine_env) {
    int status = 0;
    int error =
        base::run_and_wait(session_end_command(wineserver, wine_env, "-k"), status, kKillLimitMs);
    if (error == ETIMEDOUT) {
        base::log_warn(
            concat("session: wineserver -k did not return within ", kKillLimitMs / 1000, " s"));
    } else if (error != 0) {
        base::log_warn(concat("session: wineserver -k failed: ", base::error_text(error)));
    }
}

void end_session(const LaunchPlan& plan, pid_t game_pid) {
    if (!session_interrupted()) {
        pid_t waiter = -1;
        if (int error =
                base::spawn(session_end_command(plan.wine.wineserver, plan.wine_env, "-w"), waiter);
            error != 0) {
            base::log_warn(concat("session: wineserver -w failed: ", base::error_text(error)));
        } else {
            // Waiting on a process descriptor wakes as soon as "-w" ends instead of at the next
            // 50 ms tick; the tick still bounds how late an interruption is noticed.
            base::Fd waiter_fd(base::open_pidfd(waiter));
            std::optional<base::Clock::time_point> gone_since;
            while (true) {
                bool overdue = gone_since && base::elapsed_ms(*gone_since) >=
                                                 static_cast<uint64_t>(kServerAfterGameMs);
                if (overdue && other_wine_processes(plan.context.prefix)) {
                    // Someone's Wine process still plays in the prefix: wait on, look again.
                    gone_since = base::Clock::now();
                    overdue = false;
                }
                if (overdue) {
                    base::log_warn(concat("session: wineserver still running ",
                                          kServerAfterGameMs / 1000,
                                          " s after the game ended — ending the session"));
                }
                bool others = gone_since && another_launch_plays(plan.lock);
                if (others) {
                    base::log_debug(
                        "session: another launch of this prefix is running — its "
                        "Wine session is left to it");
                }
                if (session_interrupted() || overdue || others) {
                    ::kill(waiter, SIGKILL);
                    int ignored = 0;
                    base::wait_child(waiter, ignored);
                    break;
                }
                int status = 0;
                pid_t done = ::waitpid(waiter, &status, WNOHANG);
                if (done == waiter) return;  // the prefix's server ended on its own
                if (done < 0 && errno != EINTR) break;
                if (!gone_since && group_gone(game_pid)) gone_since = base::Clock::now();
                if (waiter_fd.valid()) {
                    struct pollfd ended {
                        waiter_fd.get(), POLLIN, 0
                    };
                    (void)::poll(&ended, 1, 50);
                } else {
                    base::sleep_ms(50);
                }
            }
        }
    }
    tear_down(plan, game_pid);
}

void end_game_session(const LaunchPlan& plan, RunningGame& game, int wait_status) {
    copy_game_output_to_log(game.logs);
    end_session(plan, game.pid);
    copy_game_output_to_log(game.logs);  // what Wine's other processes wrote until the end
    note_exit(game.logs, wait_status, game.incident_copy ? &*game.incident_copy : nullptr);
}

std::string exit_note_text(int wait_status) {
    if (WIFEXITED(wait_status)) {
        int code = WEXITSTATUS(wait_status);
        return code == 0 ? "exit: 0 (clean)" : concat("exit: ", code, " (error)");
    }
    if (WIFSIGNALED(wait_status)) return concat("killed by signal ", WTERMSIG(wait_status));
    return "unknown exit";
}

void note_exit(const GameLogs& logs, int wait_status, const IncidentCopy* incident) {
    base::write_log_copy(concat("[pelto] ", exit_note_text(wait_status), "\n"));
    if (!logs.err.valid()) return;
    // Into this launch's own file, which another launch may have taken the name from by now.
    (void)base::write_all(logs.err.get(), concat("\n[pelto] ", exit_note_text(wait_status), "\n"));
    base::log_debug(
        concat("stderr log: ", base::as_text(base::join_path(logs.dir_path, kStderrLogName))));
    if (incident == nullptr) return;
    if (!incident->dir.valid()) {
        // The launch has said why the incident directory cannot be used.
        base::log_debug("incident game stderr: not copied, ",
                        base::as_text(base::parent_dir(incident->path).value_or("")),
                        " cannot be used");
        return;
    }
    int error = base::copy_into(logs.err.get(), incident->dir.get(), incident->name);
    if (error != 0) {
        base::log_warn(concat("incident game stderr copy failed: ", base::error_text(error)));
    } else {
        base::log_debug("incident game stderr: ", base::as_text(incident->path));
    }
}

}  // namespace pelto::launcher::session
