// Folder launcher/core: what a launch discovers (context, Wine build, custom environment) and
// what every Wine process runs with. Its place among the folders: src/layers.txt.
//
// What the launcher learns from Steam's environment: the compatibility data directory, the
// Steam installation, the program to start and the launcher's own path.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/posix.hpp"
#include "launcher/core/env_snapshot.hpp"

namespace pelto::launcher::core {

/// HOME as the launch read it, with the fallback that each of its uses has when it is unset
/// or not valid UTF-8: the uses were settled one by one, and they differ.
struct Home {
    std::optional<std::string> value;

    /// For the per-user paths of Steam and of the tool ("{home}/.steam/root", ...): ""
    /// without HOME, which makes them relative to the working directory.
    std::string for_user_paths() const { return value.value_or(""); }
    /// Where the user's own Wine registry is looked for ("{home}/.wine"): "/root" without HOME.
    std::string for_stock_registry() const { return value.value_or("/root"); }
    /// The home Wine gives the game (WINEHOMEDIR) and its EasyAntiCheat runtime's:
    /// "/home/user" without HOME.
    std::string for_wine() const { return value.value_or("/home/user"); }
};

/// What a launch knows of itself once discovery is complete; read-only afterwards.
struct LaunchContext {
    std::string verb;
    base::Clock::time_point started;
    EnvSnapshot env;  // the launcher's environment as it started, before env_config
    Home home;
    // The player's switch for DEBUG lines and Wine's +process,err channels: PELTO_VERBOSE=1 or
    // the marker file "{home}/.cache/pelto/trace_verbose". A log file adds DEBUG lines, never
    // Wine's channels.
    bool verbose = false;
    std::string steam_dir;
    std::string steam_client;       // "{steam_dir}/linux64/steamclient.so" when it can be loaded
    std::string compat_data;        // STEAM_COMPAT_DATA_PATH, "" when unset or not UTF-8
    std::string app_id;             // SteamAppId, for the log only
    std::string game_app_id;        // the app id the game receives (`game_app_id`)
    std::string prefix;             // "{compat_data}/pfx"
    std::string game_install_path;  // STEAM_COMPAT_INSTALL_PATH, "" when unset or not UTF-8
    std::optional<std::string> working_dir;  // the launcher's own, where Steam started it
    bool shortcut = false;  // STEAM_COMPAT_APP_ID "0": a non-Steam shortcut, started in its folder
    std::string library_paths;  // STEAM_COMPAT_LIBRARY_PATHS, the same
    std::string exe;            // raw bytes as Steam passed them
    std::vector<std::string> args;
    std::string own_exe;
    std::string install_dir;  // the directory of `own_exe`: the tool's files lie there
    std::string log_dir;      // where the game's output goes ("/tmp/pelto")
};

/// The player's verbosity switch from the launcher's environment `env` and its HOME.
bool verbose_switch(const EnvSnapshot& env, const std::optional<std::string>& home);

/// The directory of the game's output logs and the incident files.
inline constexpr const char* kLogDir = "/tmp/pelto";

/// The first of `client_install_path` (STEAM_COMPAT_CLIENT_INSTALL_PATH), "{home}/.steam/root"
/// and "{home}/.local/share/Steam" that holds "linux64/steamclient.so"; otherwise WARN and
/// "{home}/.steam/root".
std::string find_steam_dir(const std::string& home,
                           const std::optional<std::string>& client_install_path);

/// The Steam client for Linux, "{steam_dir}/linux64/steamclient.so", when it looks loadable (a
/// readable 64-bit x86-64 ELF shared library); otherwise one WARN line naming it and "": a game
/// that uses the Steam API then runs as without Steam.
std::string steam_client_library(const std::string& steam_dir);

/// True for a compatibility data path ending in "/0" or "/0/" (Steam's probe prefix).
bool is_compatdata_zero(const std::string& compat_data);

/// True when the executable is one of Steam's utility programs that are never launched.
bool is_steam_utility(const std::string& exe);

/// The launcher's own executable path from "/proc/self/exe"; sets `error` on failure.
std::optional<std::string> read_own_exe(int& error);

/// The app id the game receives: SteamGameId, SteamAppId or STEAM_COMPAT_APP_ID of `env`, the
/// first that is set (even empty); "" when none is.
std::string game_app_id(const EnvSnapshot& env);

}  // namespace pelto::launcher::core
