// The environment under which wine64 runs the game.
#pragma once

#include <string>
#include <vector>

#include "launcher/components/nvidia.hpp"
#include "launcher/core/context.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/tasks/setup_tasks.hpp"

namespace pelto::launcher::session {

struct EnvVar {
    const char* name;
    std::string value;
};
using WineEnv = std::vector<EnvVar>;

/// Roots of the system files the builder probes; tests point them at a temporary tree.
struct SystemRoots {
    std::string egl_vendor_file = "/usr/share/glvnd/egl_vendor.d/10_nvidia.json";
    std::string root = "/";  // prefix for the system Wine's "/usr/lib/wine"
};

/// The ordered environment list for the game (names unique, order of application), for the
/// prefix user `user`, the DLLs in place and the NVIDIA driver; what it takes from the
/// launcher's own environment is read now (the custom variables are in place by then).
WineEnv build_wine_env(const core::LaunchContext& context, const core::WineInstall& wine,
                       const tasks::DllNames& dlls, const std::string& user,
                       const components::NvidiaDriver& nvidia, const SystemRoots& roots = {});

/// The WINEDLLOVERRIDES text for the four DLL name lists and the launcher's SteamGameId.
std::string dll_overrides(const tasks::DllNames& dlls);

}  // namespace pelto::launcher::session
