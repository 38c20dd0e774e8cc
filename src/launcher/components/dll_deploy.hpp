// Folder launcher/components: the file deployment, the DLL sets, the Steam client bridge, the
// wineserver and the NVIDIA driver. Its place among the folders: src/layers.txt.
//
// The graphics DLL sets: DXVK, VKD3D-Proton, dxvk-nvapi and NVIDIA's DLSS library, copied
// into the prefix's system directories and reported by name, so that the game's environment
// can make Wine load them instead of its own versions.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/components/file_deploy.hpp"
#include "launcher/components/nvidia.hpp"

namespace pelto::launcher::components {

/// What deploying a DLL set left: the names in place, in set order, and whether every DLL the
/// source has is in place (false after a failed copy or a destination that cannot be created).
struct DllSetResult {
    std::vector<std::string> names;
    bool complete = true;
};

/// Copies each "{name}.dll" of `names` from `source_dir` to "{prefix}/{destination}" unless
/// current, never through a link that leads out of the prefix. A missing source directory
/// gives one WARN line and an empty, complete result; a missing single DLL is skipped.
DllSetResult deploy_dll_set(const std::string& source_dir, const std::string& prefix,
                            std::string_view destination, std::span<const char* const> names,
                            const char* label);

/// Task "dxvk": the 64-bit DXVK names in place. With `dxvk_unchanged` nothing is copied: the
/// names are those whose DLL in the prefix is the current copy of the source's (never Wine's
/// own module of that name), none when the source is missing.
DllSetResult deploy_dxvk(bool dxvk_unchanged, const std::string& dxvk_source_root,
                         const std::string& prefix);

/// Task "vkd3d": the same for the 64-bit VKD3D-Proton names.
DllSetResult deploy_vkd3d(bool vkd3d_unchanged, const std::string& dxvk_source_root,
                          const std::string& prefix);

/// Task "nvapi": the 64-bit then 32-bit dxvk-nvapi names in place; empty without NVIDIA.
std::vector<std::string> deploy_nvapi(const NvidiaDriver& nvidia, const std::string& wine_root,
                                      const std::string& prefix);

/// Task "dlss": the DLSS names in place; empty without NVIDIA or without the driver's Wine DLL
/// directory.
std::vector<std::string> deploy_dlss(const NvidiaDriver& nvidia, const std::string& prefix);

}  // namespace pelto::launcher::components
