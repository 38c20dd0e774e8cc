#include "launcher/components/dll_deploy.hpp"

#include <array>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "launcher/components/nvidia.hpp"

namespace pelto::launcher::components {

namespace {

constexpr std::array<const char*, 4> kDxvkNames = {"d3d11", "d3d10core", "d3d9", "dxgi"};
constexpr std::array<const char*, 2> kVkd3dNames = {"d3d12", "d3d12core"};
constexpr std::array<const char*, 2> kNvapi64Names = {"nvapi64", "nvofapi64"};
constexpr std::array<const char*, 1> kNvapi32Names = {"nvapi"};
constexpr std::array<const char*, 2> kDlssNames = {"_nvngx", "nvngx"};

std::string system32(const std::string& prefix) {
    return base::join_path(prefix, "drive_c/windows/system32");
}
std::string syswow64(const std::string& prefix) {
    return base::join_path(prefix, "drive_c/windows/syswow64");
}

// A modification time is unreadable when its nanosecond part is out of range.
bool readable_time(const struct timespec& time) {
    return time.tv_nsec >= 0 && time.tv_nsec < 1'000'000'000;
}

}  // namespace

bool is_current(const std::string& source, const std::string& destination) {
    auto src = base::stat_path(source);
    auto dst = base::stat_path(destination);
    if (!src || !dst) return false;
    if (src->st_size != dst->st_size) return false;
    if (!readable_time(src->st_mtim)) return true;
    if (!readable_time(dst->st_mtim)) return false;
    if (dst->st_mtim.tv_sec != src->st_mtim.tv_sec)
        return dst->st_mtim.tv_sec > src->st_mtim.tv_sec;
    return dst->st_mtim.tv_nsec >= src->st_mtim.tv_nsec;
}

std::vector<const char*> deploy_dll_set(const std::string& source_dir,
                                        const std::string& destination_dir,
                                        std::span<const char* const> names, const char* label) {
    std::vector<const char*> in_place;
    if (!base::exists(source_dir)) {
        base::log_warn(
            base::concat(label, ": source dir not found (", base::lossy_utf8(source_dir), ")"));
        return in_place;
    }
    if (int error = base::make_dirs(destination_dir); error != 0) {
        base::log_error(base::concat(label, ": cannot create ", base::lossy_utf8(destination_dir),
                                     ": ", base::error_text(error)));
        return in_place;
    }

    size_t current = 0;
    for (const char* name : names) {
        std::string file = base::concat(name, ".dll");
        std::string source = base::join_path(source_dir, file);
        std::string destination = base::join_path(destination_dir, file);
        if (!base::exists(source)) continue;
        if (is_current(source, destination)) {
            ++current;
            in_place.push_back(name);
            continue;
        }
        // Removing first turns a link at the destination into a regular file of our own.
        if (int error = base::remove_file(destination); error != 0 && base::exists(destination)) {
            base::log_warn(
                base::concat(label, ": cannot remove old ", file, ": ", base::error_text(error)));
        }
        if (int error = base::copy_file(source, destination); error != 0) {
            // A copy cut short (a full disk) would leave a torn DLL for Wine to find.
            base::remove_file(destination);
            base::log_warn(
                base::concat(label, ": failed to copy ", file, ": ", base::error_text(error)));
            continue;
        }
        in_place.push_back(name);
    }

    size_t deployed = in_place.size() - current;
    if (deployed > 0) {
        base::log_debug(
            base::concat(label, ": deployed ", deployed, " DLLs (", current, " already current)"));
    } else if (current > 0) {
        base::log_debug(base::concat(label, ": ", current, " DLLs already current"));
    }
    return in_place;
}

std::vector<const char*> deploy_dxvk(bool dxvk_unchanged, const std::string& dxvk_source_root,
                                     const std::string& prefix) {
    if (dxvk_unchanged) return {kDxvkNames.begin(), kDxvkNames.end()};
    std::string tree = base::join_path(dxvk_source_root, "lib/wine/dxvk");
    auto names = deploy_dll_set(base::join_path(tree, "x86_64-windows"), system32(prefix),
                                kDxvkNames, "DXVK");
    deploy_dll_set(base::join_path(tree, "i386-windows"), syswow64(prefix), kDxvkNames, "DXVK-32");
    return names;
}

std::vector<const char*> deploy_vkd3d(bool vkd3d_unchanged, const std::string& dxvk_source_root,
                                      const std::string& prefix) {
    if (vkd3d_unchanged) return {kVkd3dNames.begin(), kVkd3dNames.end()};
    std::string tree = base::join_path(dxvk_source_root, "lib/wine/vkd3d-proton");
    auto names = deploy_dll_set(base::join_path(tree, "x86_64-windows"), system32(prefix),
                                kVkd3dNames, "VKD3D");
    deploy_dll_set(base::join_path(tree, "i386-windows"), syswow64(prefix), kVkd3dNames,
                   "VKD3D-32");
    return names;
}

std::vector<const char*> deploy_nvapi(bool nvidia_present, const std::string& wine_root,
                                      const std::string& prefix) {
    if (!nvidia_present) return {};
    std::string tree = base::join_path(wine_root, "lib/wine/dxvk-nvapi");
    auto names = deploy_dll_set(base::join_path(tree, "x86_64-windows"), system32(prefix),
                                kNvapi64Names, "NVAPI");
    auto names32 = deploy_dll_set(base::join_path(tree, "i386-windows"), syswow64(prefix),
                                  kNvapi32Names, "NVAPI-32");
    names.insert(names.end(), names32.begin(), names32.end());
    return names;
}

std::vector<const char*> deploy_dlss(bool nvidia_present, const std::string& prefix,
                                     const std::string& system_root) {
    if (!nvidia_present) return {};
    auto source = nvidia_wine_dll_dir(system_root);
    if (!source) return {};
    return deploy_dll_set(*source, system32(prefix), kDlssNames, "DLSS");
}

}  // namespace pelto::launcher::components
