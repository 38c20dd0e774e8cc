#include "launcher/components/nvidia.hpp"

#include "launcher/core/posix.hpp"
#include "launcher/core/text.hpp"

namespace pelto::launcher::components {

std::optional<std::string> nvidia_wine_dll_dir(const std::string& root) {
    for (const char* lib_dir : {"usr/lib", "usr/lib64", "usr/lib/x86_64-linux-gnu"}) {
        auto library = core::canonical(core::join_path(core::join_path(root, lib_dir), "libGLX_nvidia.so.0"));
        if (!library) continue;
        // Only the first library that resolves is looked at.
        auto parent = core::parent_dir(*library);
        if (!parent) return std::nullopt;
        std::string dir = core::join_path(*parent, "nvidia/wine");
        if (core::exists(core::join_path(dir, "nvngx.dll"))) return dir;
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace pelto::launcher::components
