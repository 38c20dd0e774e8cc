// The environment under which wine64 runs the game, and the values shared with wineboot.
#pragma once

#include <string>
#include <vector>

namespace pelto::launcher::session {

struct EnvVar {
    const char* name;
    std::string value;
};
using WineEnv = std::vector<EnvVar>;

/// Roots of the system files the builder probes; tests point them at a temporary tree.
struct SystemRoots {
    std::string nvidia_version = "/proc/driver/nvidia/version";
    std::string egl_vendor_file = "/usr/share/glvnd/egl_vendor.d/10_nvidia.json";
    std::string root = "/";  // prefix for the NVIDIA library directories and "/usr/lib/wine"
};

/// The ordered environment list for the game (names unique, order of application).
WineEnv build_wine_env(const std::string& wine_root, const std::string& prefix,
                       const std::vector<std::string>& dxvk_names,
                       const std::vector<std::string>& vkd3d_names,
                       const std::vector<std::string>& nvapi_names,
                       const std::vector<std::string>& dlss_names,
                       const SystemRoots& roots = {});

/// The WINEDLLOVERRIDES text for the four DLL name lists and the launcher's SteamGameId.
std::string dll_overrides(const std::vector<std::string>& dxvk_names,
                          const std::vector<std::string>& vkd3d_names,
                          const std::vector<std::string>& nvapi_names,
                          const std::vector<std::string>& dlss_names);

/// WINEDLLPATH: the existing Wine module directories joined with ":" ("" when none).
std::string wine_dll_search_path(const std::string& wine_root, const std::string& root = "/");
/// LD_LIBRARY_PATH: the Wine library directories and the launcher's own LD_LIBRARY_PATH.
std::string library_search_path(const std::string& wine_root);
/// WINEDEBUG: the launcher's value, else by tracing and verbosity.
std::string wine_debug_value(bool trace_opcodes);
/// The launcher's LD_PRELOAD without empty items and without the Steam overlay library.
std::string filtered_ld_preload();
/// The app id the game receives: SteamGameId, SteamAppId or STEAM_COMPAT_APP_ID, first set.
std::string game_app_id();

}  // namespace pelto::launcher::session
