// The NVIDIA driver as the launch sees it: whether it is loaded, and its directory of Windows
// DLLs for use under Wine.
#pragma once

#include <optional>
#include <string>

namespace pelto::launcher::components {

/// The "nvidia/wine" directory beside the first "libGLX_nvidia.so.0" that resolves in
/// {root}usr/lib, {root}usr/lib64, {root}usr/lib/x86_64-linux-gnu, when it holds "nvngx.dll";
/// nothing otherwise. `root` is "/" in production.
std::optional<std::string> nvidia_wine_dll_dir(const std::string& root = "/");

/// What the launch knows of the NVIDIA driver, found once.
struct NvidiaDriver {
    bool present = false;                     // "{proc}/driver/nvidia/version" exists
    std::optional<std::string> wine_dll_dir;  // `nvidia_wine_dll_dir`, only when present
};

/// The driver under the roots given ("/proc" and "/" in production).
NvidiaDriver find_nvidia_driver(const std::string& proc_root = "/proc",
                                const std::string& root = "/");

}  // namespace pelto::launcher::components
