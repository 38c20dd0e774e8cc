// The environment under which wine64 runs the game: one function of the records the launch
// has found (and of a few files it probes, such as the EasyAntiCheat runtime). Nothing here
// reads the process environment; what the launcher inherited, with the custom variables of
// env_config laid over it, comes in as a snapshot.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/process.hpp"
#include "launcher/components/nvidia.hpp"
#include "launcher/core/env_snapshot.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "launcher/tasks/setup_tasks.hpp"

namespace pelto::launcher::session {

/// One variable of the game's environment; a value of nothing removes it from the child.
using EnvVar = base::EnvChange;
/// The game's environment on top of what it inherits, in order of application.
using WineEnv = std::vector<EnvVar>;

/// Roots of the system files the builder probes; tests point them at a temporary tree.
struct SystemRoots {
    std::string egl_vendor_file = "/usr/share/glvnd/egl_vendor.d/10_nvidia.json";
    std::string root = "/";  // prefix for the system Wine's "/usr/lib/wine"
};

/// Everything the game's environment is made of, set by name.
struct GameEnvInputs {
    const core::WineInstall& wine;
    const core::WineProcessEnv& wine_env;  // the prefix and the server's TMPDIR
    const std::string& user;               // the prefix user name, found once
    const tasks::DllNames& dlls;           // the DLLs in place, by task
    const core::EnvSnapshot& env;          // the launcher's, with the custom variables laid over
    const core::Home& home;                // HOME of that environment
    const std::string& app_id;             // the app id the game gets (`game_app_id`)
    const components::NvidiaDriver& nvidia;
    bool verbose = false;  // the player's switch: Wine's +process,err channels
    bool trace_opcodes = false;
    bool use_wined3d = false;  // PELTO_USE_WINED3D: no native overrides for DXVK or VKD3D-Proton
    std::vector<base::EnvChange> shader_caches = {};  // `shader_cache_env`
    std::string steam_client = {};  // the Steam client for Linux the bridge loads; "" for none
    SystemRoots roots = {};
};

/// The game's whole environment, in order of application: the rows of the Wine environment
/// (those every Wine process of the launch runs with among them), the launch-time additions
/// and, last, the custom variables of env_config, each of which replaces a computed value of
/// its name (a WINEDLLOVERRIDES of theirs is passed as written, with Wine's menu builder off
/// unless it names it). Every name appears once.
WineEnv build_game_env(const GameEnvInputs& inputs);

/// The WINEDLLOVERRIDES text for the four DLL name lists and the game id `steam_game_id`.
std::string dll_overrides(const tasks::DllNames& dlls,
                          const std::optional<std::string>& steam_game_id);

/// `computed` (a WINEDLLOVERRIDES text) less every item that names a DLL `player`'s items name,
/// then `player`'s items in their order. Names compare as Wine compares them, ASCII case and a
/// trailing ".dll" ignored; an item may name several ("winmm,version=n,b"). A malformed item
/// of the player's (no "=", no name) is passed on as written, with one WARN line for all.
std::string merge_dll_overrides(const std::string& computed, const std::string& player);

}  // namespace pelto::launcher::session
