// What every Wine process the launcher starts runs with, whether it builds the prefix or runs
// the game: the environment that leads them all to the prefix's one wineserver, the module and
// library search paths of a Wine build, the debug channels and the preload list.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/process.hpp"

namespace pelto::launcher::core {

/// What every Wine process of a launch (wineboot, the prestarted server, the game, "wineserver
/// -w" and "-k") runs with, decided once before the first of them starts: they all find the one
/// wineserver of the prefix through the prefix and the TMPDIR that the custom environment file
/// gives the game (Debian's Wine keeps its server directory there).
struct WineProcessEnv {
    std::string prefix;
    std::optional<std::string> tmpdir;  // from env_config; nothing: the launcher's own is kept
    /// What they inherit: the launcher's environment as it started, before the custom
    /// variables (the game's own list adds those), so that a game whose environment is too
    /// large to start still has its server ended.
    std::shared_ptr<const std::vector<std::string>> inherited;
    /// The launcher's WINEDLLOVERRIDES (valid UTF-8): the player's, which every one of them
    /// keeps, with Wine's menu builder off.
    std::optional<std::string> dll_overrides = std::nullopt;

    /// The changes on top of `inherited` that every one of them runs with.
    std::vector<base::EnvChange> changes() const;
};

/// A command for `program` with `wine_env`'s inherited environment and changes; the caller
/// adds the rest.
base::Command wine_process_command(const std::string& program, const WineProcessEnv& wine_env);

/// The DLL override every Wine process of a launch runs with: Wine's menu builder, which would
/// write menu entries and file associations into the player's home, never starts.
inline constexpr const char* kMenuBuilderOff = "winemenubuilder.exe=d";

/// `overrides` (a WINEDLLOVERRIDES text) as written, with kMenuBuilderOff added unless one of
/// its items names the menu builder ("winemenubuilder" or "winemenubuilder.exe", in any case).
std::string keep_menu_builder_off(const std::string& overrides);

/// How the launcher starts the prefix's wineserver ahead of its Wine processes: persistent for
/// 0 s, it ends as soon as its last Wine process has gone (Wine's normal shutdown, the
/// registry saved) instead of lingering 3 s while Steam still shows the game as running.
inline constexpr const char* kStartServer = "-p0";

/// The wineserver with the one argument `flag` (kStartServer; "-w", which waits for the
/// prefix's server to end; "-k", which ends it and its processes) for the prefix of
/// `wine_env`, its streams on the null device.
base::Command wineserver_command(const std::string& wineserver, const WineProcessEnv& wine_env,
                                 const char* flag);

/// The rows every Wine process of a launch that runs through Wine's loader starts with, wineboot
/// and the game alike (each adds its own): the prefix and its server, the loader and its module
/// and library paths, the prefix's user, the player's DLL overrides with the menu builder off,
/// the debug channels and the preload list. Built by `wine_rows`.
struct WineRows {
    std::string prefix;                  // WINEPREFIX: the path itself, whatever bytes it holds
    std::string wineserver;              // WINESERVER: the same
    std::string loader;                  // WINELOADER: the same
    std::string dll_path;                // WINEDLLPATH
    std::string user;                    // USER
    std::string library_path;            // LD_LIBRARY_PATH
    std::string dll_overrides;           // WINEDLLOVERRIDES
    std::string debug;                   // WINEDEBUG
    std::optional<std::string> preload;  // LD_PRELOAD; nothing: removed from the child
    std::optional<std::string> tmpdir;   // TMPDIR of env_config; nothing: the inherited one

    /// The rows as changes, in this order.
    std::vector<base::EnvChange> changes() const;
};

/// The inputs of `wine_rows`, by name.
struct WineRowInputs {
    const std::string& wine_root;
    const std::string& wine64;  // the loader
    const std::string& wineserver;
    const WineProcessEnv& wine_env;
    const std::string& user;                                    // the prefix user name, found once
    std::optional<std::string> ld_library_path = std::nullopt;  // the launcher's
    std::optional<std::string> winedebug = std::nullopt;        // the launcher's
    std::optional<std::string> ld_preload = std::nullopt;       // the launcher's
    bool trace_opcodes = false;
    bool verbose = false;           // the player's switch
    std::string system_root = "/";  // prefixes the system Wine's "/usr/lib/wine"
};

/// The rows of `in`.
WineRows wine_rows(const WineRowInputs& in);

/// WINEDLLPATH: the existing Wine module directories joined with ":" ("" when none).
/// `root` prefixes the system Wine's "/usr/lib/wine" ("/" in production).
std::string wine_dll_search_path(const std::string& wine_root, const std::string& root = "/");
/// LD_LIBRARY_PATH: the Wine library directories, then `inherited` (the launcher's
/// LD_LIBRARY_PATH) when it is set, even empty.
std::string library_search_path(const std::string& wine_root,
                                const std::optional<std::string>& inherited);
/// WINEDEBUG: `inherited` (the launcher's WINEDEBUG) when set, else by tracing and verbosity.
std::string wine_debug_value(const std::optional<std::string>& inherited, bool trace_opcodes,
                             bool verbose);
/// `preload` (the launcher's LD_PRELOAD) without empty items and without the Steam overlay.
std::string filtered_ld_preload(const std::optional<std::string>& preload);

}  // namespace pelto::launcher::core
