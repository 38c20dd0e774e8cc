// The optional outside tracing tool `brantle`, started beside the game.
#pragma once

#include <string>

#include "launcher/session/launch.hpp"

namespace pelto::launcher::session {

/// True when PELTO_TRACE is exactly "1".
bool trace_requested();

/// The trace name of a game executable: its stem, at most 15 bytes; "wine" when none.
std::string trace_name(const std::string& exe);

/// Starts the observer and returns "{log_dir}/incidents/{name}-game-stderr.log".
std::string start_trace_observer(const LaunchPlan& plan, const std::string& exe);

}  // namespace pelto::launcher::session
