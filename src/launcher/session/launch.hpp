// Starting the game behind the Steam bridge in a session of its own, and waiting for it while
// SIGINT and SIGTERM are passed on to it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "launcher/core/launch_lock.hpp"
#include "launcher/session/game_logs.hpp"
#include "launcher/session/launch_plan.hpp"
#include "launcher/session/trace.hpp"

namespace pelto::launcher::session {

/// The game once it has been started.
struct RunningGame {
    pid_t pid = -1;
    GameLogs logs;                              // its output files in the log directory
    std::optional<IncidentCopy> incident_copy;  // where its stderr log goes when traced
};

/// Says what is about to start, warns when the executable or the Direct3D DLLs are missing,
/// and removes the crash dumps of earlier runs.
void check_before_launch(const LaunchPlan& plan);

/// Starts the game (and the observer when tracing); nothing, after an ERROR line and with the
/// prefix's Wine session ended, when it cannot be started.
std::optional<RunningGame> start_game(const LaunchPlan& plan);

/// Waits until the game has ended; its raw wait status, or nothing after an ERROR line when
/// it cannot be waited for.
std::optional<int> wait_for_game(const RunningGame& game);

/// The launcher's exit status for the game's raw wait status: its exit code, or 1 when it was
/// killed (a WARN line) or stopped.
int exit_status(int wait_status);

/// The handler of the stop signals, from the start of a launch: during the setup it kills the
/// setup's children and asks the driver to stop; during the game it sends SIGTERM to the
/// game's process group, and SIGKILL on a second signal.
void on_signal(int signo);

/// Installs `on_signal` for every stop signal.
void install_stop_handler();

/// True once SIGINT or SIGTERM reached the launcher during the session.
bool session_interrupted();

}  // namespace pelto::launcher::session
