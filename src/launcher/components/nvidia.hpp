// Finding the NVIDIA driver's directory of Windows DLLs for use under Wine.
#pragma once

#include <optional>
#include <string>

namespace pelto::launcher::components {

/// The "nvidia/wine" directory beside the first "libGLX_nvidia.so.0" that resolves in
/// {root}usr/lib, {root}usr/lib64, {root}usr/lib/x86_64-linux-gnu, when it holds "nvngx.dll";
/// nothing otherwise. `root` is "/" in production.
std::optional<std::string> nvidia_wine_dll_dir(const std::string& root = "/");

}  // namespace pelto::launcher::components
