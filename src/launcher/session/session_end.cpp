#include "launcher/session/session_end.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "base/tree_walk.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/prefix/user.hpp"

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

base::Command wineserver_command(const LaunchPlan& plan, const char* flag) {
    base::Command command;
    command.program = core::wineserver_path(plan.wine_root);
    command.args = {flag};
    command.set_env("WINEPREFIX", plan.prefix);
    command.in = command.out = command.err = base::Stream::null();
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
    int status = 0;
    if (int error = base::run_and_wait(wineserver_command(plan, "-k"), status); error != 0) {
        base::log_warn(concat("session: wineserver -k failed: ", base::error_text(error)));
    }
}

}  // namespace

unsigned clean_crash_dumps(const std::string& prefix) {
    std::string profile = prefix::user_profile_dir(prefix);
    if (!base::exists(profile)) return 0;
    unsigned removed = 0;
    base::WalkVisitor visitor;
    visitor.file = [&](const base::WalkItem& item) {
        if (is_crash_dump(base::file_name(item.path)) && base::remove_file(item.path) == 0)
            ++removed;
    };
    for (const char* folder :
         {"AppData/Roaming", "AppData/Local", "AppData/LocalLow", "Documents"}) {
        base::walk_inside(base::join_path(profile, folder), prefix, visitor);
    }
    if (removed > 0) base::log_debug(concat("cleaned ", removed, " stale crash dump(s)"));
    return removed;
}

void end_session(const LaunchPlan& plan, pid_t game_pid) {
    if (!session_interrupted()) {
        pid_t waiter = -1;
        if (int error = base::spawn(wineserver_command(plan, "-w"), waiter); error != 0) {
            base::log_warn(concat("session: wineserver -w failed: ", base::error_text(error)));
        } else {
            // Waiting on a process descriptor wakes as soon as "-w" ends instead of at the next
            // 50 ms tick; the tick still bounds how late an interruption is noticed.
            base::Fd waiter_fd(static_cast<int>(::syscall(SYS_pidfd_open, waiter, 0)));
            while (true) {
                if (session_interrupted()) {
                    ::kill(waiter, SIGKILL);
                    int ignored = 0;
                    base::wait_child(waiter, ignored);
                    break;
                }
                int status = 0;
                pid_t done = ::waitpid(waiter, &status, WNOHANG);
                if (done == waiter) return;  // the prefix's server ended on its own
                if (done < 0 && errno != EINTR) break;
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

std::string exit_note_text(int wait_status) {
    if (WIFEXITED(wait_status)) {
        int code = WEXITSTATUS(wait_status);
        return code == 0 ? "exit: 0 (clean)" : concat("exit: ", code, " (error)");
    }
    if (WIFSIGNALED(wait_status)) return concat("killed by signal ", WTERMSIG(wait_status));
    return "unknown exit";
}

void note_exit(const std::string& stderr_log, int wait_status,
               const std::optional<std::string>& incident_copy) {
    // Appended without following a link: the shared log directory may hold someone's link.
    (void)base::append_file(stderr_log, concat("\n[pelto] ", exit_note_text(wait_status), "\n"));
    base::log_debug(concat("stderr log: ", base::lossy_utf8(stderr_log)));
    if (!incident_copy) return;
    // The incident directory is in the machine-wide /tmp/pelto: a planted link is not followed.
    if (int copy_error = base::copy_file(stderr_log, *incident_copy, base::CopyTarget::ReplaceLink);
        copy_error != 0) {
        base::log_warn(concat("incident game stderr copy failed: ", base::error_text(copy_error)));
    } else {
        base::log_debug(concat("incident game stderr: ", base::lossy_utf8(*incident_copy)));
    }
}

}  // namespace pelto::launcher::session
