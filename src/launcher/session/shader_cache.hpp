// The game's shader caches in the folder Steam keeps for the game's shaders
// (STEAM_COMPAT_SHADER_PATH, "steamapps/shadercache/{app id}"), which Steam fills ahead and
// removes with the game, instead of beside the game's executable or in the player's home.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/process.hpp"
#include "launcher/core/env_snapshot.hpp"

namespace pelto::launcher::session {

/// The variables that put the caches of DXVK, VKD3D-Proton, Mesa and the NVIDIA driver into
/// folders under `shader_path` ("dxvk", "vkd3d-proton", "mesa", "nvidia"), each created when
/// missing. A variable `env` sets (the player's own) is left alone, and so is one whose folder
/// cannot be created (one WARN line). None without a shader path (unset or empty), and with one
/// WARN line for a relative one.
std::vector<base::EnvChange> shader_cache_env(const std::optional<std::string>& shader_path,
                                              const core::EnvSnapshot& env);

}  // namespace pelto::launcher::session
