// Folder launcher/core: what a launch discovers (context, Wine build, custom environment) and
// what every Wine process runs with; imports only base.
//
// What the launcher learns from Steam's environment: the compatibility data directory, the
// Steam installation, the program to start and the launcher's own path.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/posix.hpp"

namespace pelto::launcher::core {

struct LaunchContext {
    std::string verb;
    base::Clock::time_point started;
    std::string home;  // HOME, "" when unset or not UTF-8
    std::string steam_dir;
    std::string compat_data;  // STEAM_COMPAT_DATA_PATH, "" when unset or not UTF-8
    std::string app_id;       // SteamAppId, for the log only
    std::string prefix;       // "{compat_data}/pfx"
    std::string exe;          // raw bytes as Steam passed them
    std::vector<std::string> args;
    std::string own_exe;
};

/// The first of STEAM_COMPAT_CLIENT_INSTALL_PATH, "{home}/.steam/root" and
/// "{home}/.local/share/Steam" that holds "linux64/steamclient.so"; otherwise WARN and
/// "{home}/.steam/root".
std::string find_steam_dir(const std::string& home);

/// True for a compatibility data path ending in "/0" or "/0/" (Steam's probe prefix).
bool is_compatdata_zero(const std::string& compat_data);

/// True when the executable is one of Steam's utility programs that are never launched.
bool is_steam_utility(const std::string& exe);

/// The launcher's own executable path from "/proc/self/exe"; sets `error` on failure.
std::optional<std::string> read_own_exe(int& error);

}  // namespace pelto::launcher::core
