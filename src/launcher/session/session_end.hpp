// Around the game's lifetime: stale crash dumps before it, the end of the Wine session after
// it, and the exit note in the game's stderr log.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "launcher/core/wine_runtime.hpp"
#include "launcher/session/game_logs.hpp"
#include "launcher/session/launch.hpp"
#include "launcher/session/launch_plan.hpp"
#include "launcher/session/trace.hpp"

namespace pelto::launcher::session {

/// Removes *.dmp and *.mdmp files below the save folders of the profile of `user`; returns how
/// many. Never descends into a directory outside the prefix.
unsigned clean_crash_dumps(const std::string& prefix, const std::string& user);

/// Waits for the prefix's wineserver ("-w") or, when interrupted, tears the session down. The
/// wait is bounded once the game's process group is gone (a WARN line, then the teardown).
void end_session(const LaunchPlan& plan, pid_t game_pid);

/// Everything after the game ended with `wait_status`: the end of the Wine session, what the
/// game and Wine wrote until then in the player's log, and the exit note.
void end_game_session(const LaunchPlan& plan, RunningGame& game, int wait_status);

/// True when a Wine process (one whose program is Wine's loader or preloader, not its server)
/// runs with WINEPREFIX={prefix} (its processes under `proc_root`): one that left the game's
/// group (a game its launcher started detached), or the game of another launch of the
/// prefix. The server is then left alone.
bool other_wine_processes(const std::string& prefix, const std::string& proc_root = "/proc");

/// Runs "wineserver -k" for the server `wine_env` locates: every Wine process of the prefix and
/// its server end. Runs after a stop request too; a server that cannot be run is one WARN line.
void stop_wine_session(const std::string& wineserver, const core::WineProcessEnv& wine_env);

/// The text noted for a raw wait status: "exit: 0 (clean)", "exit: 3 (error)", ...
std::string exit_note_text(int wait_status);

/// Appends the exit note to the game's stderr log when it was opened, and copies the log into
/// the incident directory when `incident` is given.
void note_exit(const GameLogs& logs, int wait_status, const IncidentCopy* incident);

}  // namespace pelto::launcher::session
