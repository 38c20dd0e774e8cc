// Around the game's lifetime: stale crash dumps before it, the end of the Wine session after
// it, and the exit note in the game's stderr log.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "launcher/session/launch.hpp"

namespace pelto::launcher::session {

/// Removes *.dmp and *.mdmp files below the profile's save folders; returns how many.
/// Never descends into a directory outside the prefix.
unsigned clean_crash_dumps(const std::string& prefix);

/// Waits for the prefix's wineserver ("-w") or, when interrupted, tears the session down.
void end_session(const LaunchPlan& plan, pid_t game_pid);

/// The text noted for a raw wait status: "exit: 0 (clean)", "exit: 3 (error)", ...
std::string exit_note_text(int wait_status);

/// Appends the exit note to the stderr log, and copies the log to the incident path.
void note_exit(const std::string& stderr_log, int wait_status,
               const std::optional<std::string>& incident_copy);

}  // namespace pelto::launcher::session
