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

DllSetResult deploy_dll_set(const std::string& source_dir, const std::string& destination_dir,
                            std::span<const char* const> names, const char* label) {
    DllSetResult result;
    if (!base::exists(source_dir)) {
        base::log_warn(
            base::concat(label, ": source dir not found (", base::lossy_utf8(source_dir), ")"));
        return result;
    }
    if (int error = base::make_dirs(destination_dir); error != 0) {
        base::log_error(base::concat(label, ": cannot create ", base::lossy_utf8(destination_dir),
                                     ": ", base::error_text(error)));
        result.complete = false;
        return result;
    }

    size_t current = 0;
    for (const char* name : names) {
        std::string file = base::concat(name, ".dll");
        std::string source = base::join_path(source_dir, file);
        std::string destination = base::join_path(destination_dir, file);
        if (!base::exists(source)) continue;
        if (is_current(source, destination)) {
            ++current;
            result.names.push_back(name);
            continue;
        }
        // Replaced in one step: a link at the destination becomes a regular file of our own,
        // and a copy that fails leaves the old DLL in place.
        if (int error = base::copy_file(source, destination, base::CopyTarget::ReplaceLink);
            error != 0) {
            base::log_warn(
                base::concat(label, ": failed to copy ", file, ": ", base::error_text(error)));
            result.complete = false;
            continue;
        }
        result.names.push_back(name);
    }

    size_t deployed = result.names.size() - current;
    if (deployed > 0) {
        base::log_debug(
            base::concat(label, ": deployed ", deployed, " DLLs (", current, " already current)"));
    } else if (current > 0) {
        base::log_debug(label, ": ", current, " DLLs already current");
    }
    return result;
}

namespace {

// The names whose "{dir}/{name}.dll" resolves, in set order.
std::vector<const char*> in_place(const std::string& dir, std::span<const char* const> names) {
    std::vector<const char*> found;
    for (const char* name : names) {
        if (base::exists(base::join_path(dir, base::concat(name, ".dll")))) found.push_back(name);
    }
    return found;
}

// The 64-bit and 32-bit sets of one translation layer from `tree`. An unchanged tree spares
// the copies, but only DLLs that are really in place may be named: Wine cannot load a DLL
// whose native override names no file, and a source that is missing now, as at the last
// launch, has put nothing in place.
DllSetResult deploy_layer(bool unchanged, const std::string& tree, const std::string& prefix,
                          std::span<const char* const> names, const char* label64,
                          const char* label32) {
    if (unchanged) {
        if (!base::exists(tree)) return {};
        return {in_place(system32(prefix), names), true};
    }
    DllSetResult result =
        deploy_dll_set(base::join_path(tree, "x86_64-windows"), system32(prefix), names, label64);
    DllSetResult result32 =
        deploy_dll_set(base::join_path(tree, "i386-windows"), syswow64(prefix), names, label32);
    result.complete = result.complete && result32.complete;
    return result;
}

}  // namespace

DllSetResult deploy_dxvk(bool dxvk_unchanged, const std::string& dxvk_source_root,
                         const std::string& prefix) {
    return deploy_layer(dxvk_unchanged, base::join_path(dxvk_source_root, "lib/wine/dxvk"), prefix,
                        kDxvkNames, "DXVK", "DXVK-32");
}

DllSetResult deploy_vkd3d(bool vkd3d_unchanged, const std::string& dxvk_source_root,
                          const std::string& prefix) {
    return deploy_layer(vkd3d_unchanged, base::join_path(dxvk_source_root, "lib/wine/vkd3d-proton"),
                        prefix, kVkd3dNames, "VKD3D", "VKD3D-32");
}

std::vector<const char*> deploy_nvapi(bool nvidia_present, const std::string& wine_root,
                                      const std::string& prefix) {
    if (!nvidia_present) return {};
    std::string tree = base::join_path(wine_root, "lib/wine/dxvk-nvapi");
    auto names = deploy_dll_set(base::join_path(tree, "x86_64-windows"), system32(prefix),
                                kNvapi64Names, "NVAPI")
                     .names;
    auto names32 = deploy_dll_set(base::join_path(tree, "i386-windows"), syswow64(prefix),
                                  kNvapi32Names, "NVAPI-32")
                       .names;
    names.insert(names.end(), names32.begin(), names32.end());
    return names;
}

std::vector<const char*> deploy_dlss(bool nvidia_present, const std::string& prefix,
                                     const std::string& system_root) {
    if (!nvidia_present) return {};
    auto source = nvidia_wine_dll_dir(system_root);
    if (!source) return {};
    return deploy_dll_set(*source, system32(prefix), kDlssNames, "DLSS").names;
}

}  // namespace pelto::launcher::components
