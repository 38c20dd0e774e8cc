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
                       const std::vector<std::string>& dlss_names, const SystemRoots& roots = {});

/// The WINEDLLOVERRIDES text for the four DLL name lists and the launcher's SteamGameId.
std::string dll_overrides(const std::vector<std::string>& dxvk_names,
                          const std::vector<std::string>& vkd3d_names,
                          const std::vector<std::string>& nvapi_names,
                          const std::vector<std::string>& dlss_names);

/// The app id the game receives: SteamGameId, SteamAppId or STEAM_COMPAT_APP_ID, first set.
std::string game_app_id();

}  // namespace pelto::launcher::session
