// What every Wine process the launcher starts runs with, whether it builds the prefix or runs
// the game: the module and library search paths of a Wine build, the debug channels and the
// preload list.
#pragma once

#include <string>

namespace pelto::launcher::core {

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
