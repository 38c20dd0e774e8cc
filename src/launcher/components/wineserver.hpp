// The prefix's wineserver, started ahead of the game so that its Wine processes find it
// running, and the sweep of server directories whose server has gone away.
#pragma once

#include <string>
#include <vector>

#include "base/process.hpp"

namespace pelto::launcher::components {

/// Runs `server` (the wineserver program with the environment of every Wine process of the
/// launch) for `prefix` and waits for it to hand over to its background server; returns
/// nothing and logs the outcome (a failure means Wine starts its own server).
void prestart_wineserver(base::Command server, const std::string& prefix);

/// Removes each directory of "{tmp_root}/.wine-{uid}" that the user owns and whose "socket"
/// no longer accepts a connection; a missing user directory does nothing.
void sweep_stale_server_dirs(const std::string& tmp_root = "/tmp");

}  // namespace pelto::launcher::components
