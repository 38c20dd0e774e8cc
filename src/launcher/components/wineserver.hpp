// The prefix's wineserver, started ahead of the game so that its Wine processes find it
// running, and the sweep of server directories whose server has gone away.
#pragma once

#include <string>
#include <vector>

#include "base/process.hpp"

namespace pelto::launcher::components {

/// Runs `wineserver` for `prefix`, with the changes that locate the launch's server, and waits
/// for it to hand over to its background server; returns nothing and logs the outcome (a
/// failure means Wine starts its own server).
void prestart_wineserver(const std::string& wineserver, const std::string& prefix,
                         const std::vector<base::EnvChange>& server_env);

/// Removes each directory of "{tmp_root}/.wine-{uid}" that the user owns and whose "socket"
/// no longer accepts a connection; a missing user directory does nothing.
void sweep_stale_server_dirs(const std::string& tmp_root = "/tmp");

}  // namespace pelto::launcher::components
