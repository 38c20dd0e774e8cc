#include "launcher/components/nvidia.hpp"

#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::launcher::components {

std::optional<std::string> nvidia_wine_dll_dir(const std::string& root) {
    for (const char* lib_dir : {"usr/lib", "usr/lib64", "usr/lib/x86_64-linux-gnu"}) {
        auto library =
            base::canonical(base::join_path(base::join_path(root, lib_dir), "libGLX_nvidia.so.0"));
        if (!library) continue;
        // Only the first library that resolves is looked at.
        auto parent = base::parent_dir(*library);
        if (!parent) return std::nullopt;
        std::string dir = base::join_path(*parent, "nvidia/wine");
        if (base::exists(base::join_path(dir, "nvngx.dll"))) return dir;
        return std::nullopt;
    }
    return std::nullopt;
}

NvidiaDriver find_nvidia_driver(const std::string& proc_root, const std::string& root) {
    NvidiaDriver driver;
    driver.present = base::exists(base::join_path(proc_root, "driver/nvidia/version"));
    if (driver.present) driver.wine_dll_dir = nvidia_wine_dll_dir(root);
    return driver;
}

}  // namespace pelto::launcher::components
