// The optional outside tracing tool `brantle`, started beside the game.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/posix.hpp"
#include "base/process.hpp"

namespace pelto::launcher::session {

/// The trace name of a game executable: its stem, at most 15 bytes; "wine" when none.
std::string trace_name(const std::string& exe);

/// Where the game's stderr log is copied at the session end.
struct IncidentCopy {
    base::Fd dir;      // the incident directory; invalid when it cannot be used
    std::string name;  // "{name}-game-stderr.log"
    std::string path;  // "{log_dir}/incidents/{name}-game-stderr.log", for the log
};

/// The environment the observer runs with: the game's, `changes` on top of `inherited`. It is
/// looked up through that environment's PATH.
struct ObserverEnv {
    std::shared_ptr<const std::vector<std::string>> inherited;
    std::vector<base::EnvChange> changes;
};

/// Starts the observer for the game `exe` of the Wine build at `wine_root`, with its files in
/// "{log_dir}/incidents" (a trace file too with `trace_out`), and returns where the game's
/// stderr log is to be copied.
IncidentCopy start_trace_observer(const std::string& log_dir, const std::string& exe,
                                  const std::string& wine_root, bool trace_out,
                                  const ObserverEnv& env);

}  // namespace pelto::launcher::session
