// What every Wine process the launcher starts runs with, whether it builds the prefix or runs
// the game: the module and library search paths of a Wine build, the debug channels and the
// preload list.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/process.hpp"

namespace pelto::launcher::core {

/// How every Wine process of a launch (wineboot, the prestarted server, the game, "wineserver
/// -w" and "-k") finds the one wineserver of the prefix: decided once, before the first of them
/// starts, from the prefix and the TMPDIR that the custom environment file gives the game
/// (Debian's Wine keeps its server directory there).
struct ServerEnv {
    std::string prefix;
    std::optional<std::string> tmpdir;  // from env_config; nothing: the launcher's own is kept
    /// What the wineserver commands after the game inherit: the launcher's environment before
    /// the custom variables, so that a game whose environment is too large to start still has
    /// its server ended. Null: the launcher's environment at the spawn.
    std::shared_ptr<const std::vector<std::string>> inherited;

    /// The changes that put a Wine process with this server.
    std::vector<base::EnvChange> changes() const;
};

/// WINEDLLPATH: the existing Wine module directories joined with ":" ("" when none).
/// `root` prefixes the system Wine's "/usr/lib/wine" ("/" in production).
std::string wine_dll_search_path(const std::string& wine_root, const std::string& root = "/");
/// LD_LIBRARY_PATH: the Wine library directories and the launcher's own LD_LIBRARY_PATH.
std::string library_search_path(const std::string& wine_root);
/// WINEDEBUG: the launcher's value, else by tracing and verbosity.
std::string wine_debug_value(bool trace_opcodes);
/// The launcher's LD_PRELOAD without empty items and without the Steam overlay library.
std::string filtered_ld_preload();

}  // namespace pelto::launcher::core
