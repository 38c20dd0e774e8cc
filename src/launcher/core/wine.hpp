// Finding a Wine build and the DXVK/VKD3D-Proton source, and building Wine commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/process.hpp"
#include "launcher/core/wine_runtime.hpp"

namespace pelto::launcher::core {

struct WineInstall {
    std::string wine_root;
    std::string wine64;      // wine_loader_path(wine_root)
    std::string wineserver;  // wineserver_path(wine_root)
    std::optional<std::string> proton_files;
    std::string dxvk_source_root;
};

/// The paths under `root` where a Wine build holds `what` ("loader", "server", "unix64",
/// "modules64", "modules32", "data"), in the order they are looked for: the table
/// "wine_layout.inc", which install.py reads too. Empty for a name the table lacks.
std::vector<std::string> wine_layout_paths(const std::string& root, std::string_view what);

/// True when "{dir}/lib/wine/x86_64-unix/wine" or "{dir}/bin/wine" exists.
bool is_wine_tree(const std::string& dir);
/// "{root}/lib/wine/x86_64-unix/{name}": a module of the unix side of 64-bit Wine.
std::string wine_unix_module(const std::string& root, std::string_view name);
/// "{root}/lib/wine/x86_64-unix/wine" when it exists, else "{root}/bin/wine".
std::string wine_loader_path(const std::string& root);
/// "{root}/bin/wineserver" when it exists, else "/usr/bin/wineserver".
std::string wineserver_path(const std::string& root);

/// The Wine root: `wine_dir` (PELTO_WINE_DIR), the launcher's own directory, `usr_root`
/// ("/usr"), Proton Experimental, any "Proton*" in the Steam library; "/nonexistent/wine" when
/// none. `own_exe` is nothing when the launcher's own path could not be read.
std::string find_wine_root(const std::optional<std::string>& wine_dir,
                           const std::optional<std::string>& own_exe, const std::string& home,
                           const std::string& usr_root = "/usr");

/// The "files" directory of an installed Proton that has "lib/wine"; nothing when none.
std::optional<std::string> find_proton_files(const std::string& home);

/// Where DXVK and VKD3D-Proton DLLs come from; logs at most one line.
std::string choose_dxvk_source(const std::string& home, const std::string& wine_root,
                               const std::optional<std::string>& proton_files);

/// True when `path` is a Windows program that runs only as a 32-bit process: a PE file for
/// 32-bit x86 that is not a .NET program for any CPU (whose CLR header says IL only, and
/// neither "32-bit required" nor "32-bit preferred"). False for a 64-bit program and for what
/// is no readable regular PE file (a Windows path, say).
bool needs_32bit_wine(const std::string& path);

/// True when the Wine build at `wine_root` has 32-bit Windows modules: "i386-windows/ntdll.dll"
/// in its "lib/wine", in Debian's "lib/i386-linux-gnu/wine" or in a multilib "lib32/wine".
bool has_32bit_modules(const std::string& wine_root);

/// A command for the Wine loader `program` that runs with `wine_env`, after checking the Wine
/// tree (two WARN lines when incomplete).
base::Command wine_command(const std::string& program, const std::string& wine_root,
                           const WineProcessEnv& wine_env);

}  // namespace pelto::launcher::core
