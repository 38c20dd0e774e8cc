#include "launcher/components/dll_deploy.hpp"

#include <sys/stat.h>

#include <array>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/tool_layout.hpp"

namespace pelto::launcher::components {

namespace {

constexpr std::array<const char*, 4> kDxvkNames = {"d3d11", "d3d10core", "d3d9", "dxgi"};
constexpr std::array<const char*, 2> kVkd3dNames = {"d3d12", "d3d12core"};
constexpr std::array<const char*, 2> kNvapi64Names = {"nvapi64", "nvofapi64"};
constexpr std::array<const char*, 1> kNvapi32Names = {"nvapi"};
constexpr std::array<const char*, 2> kDlssNames = {"_nvngx", "nvngx"};

constexpr std::string_view kSystem32 = "drive_c/windows/system32";
constexpr std::string_view kSyswow64 = "drive_c/windows/syswow64";

}  // namespace

DllSetResult deploy_dll_set(const std::string& source_dir, const std::string& prefix,
                            std::string_view destination, std::span<const char* const> names,
                            const char* label) {
    DllSetResult result;
    if (!base::exists(source_dir)) {
        base::log_warn(
            base::concat(label, ": source dir not found (", base::lossy_utf8(source_dir), ")"));
        return result;
    }
    std::vector<FileToDeploy> files;
    for (const char* name : names) {
        std::string file = base::concat(name, ".dll");
        files.push_back({base::join_path(source_dir, file), file});
    }
    DeployReport report = deploy_files(prefix, destination, files, label);
    if (report.outside) {
        result.complete = false;
        return result;
    }
    if (report.dir_error != 0) {
        base::log_error(base::concat(label, ": cannot create ",
                                     base::as_text(base::join_path(prefix, destination)), ": ",
                                     base::error_text(report.dir_error)));
        result.complete = false;
        return result;
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (report.files[i] == Deployed::Current || report.files[i] == Deployed::Copied) {
            result.names.push_back(names[i]);
        } else if (report.files[i] == Deployed::Failed) {
            base::log_warn(base::concat(label, ": failed to copy ", files[i].name, ": ",
                                        base::error_text(report.errors[i])));
            result.complete = false;
        }
    }
    if (report.copied > 0) {
        base::log_debug(base::concat(label, ": deployed ", report.copied, " DLLs (", report.current,
                                     " already current)"));
    } else if (report.current > 0) {
        base::log_debug(label, ": ", report.current, " DLLs already current");
    }
    return result;
}

namespace {

// Whether every DLL of the set that `source` has is in `destination` as its current copy. An
// unchanged tree then spares the copies; otherwise something replaced them since (Wine's
// module sync puts Wine's own d3d11.dll over DXVK's after a Wine update), and they are put
// back. A name is never given for a module that is not the source's: Wine refuses to load its
// own builtin as native.
bool copies_in_place(const std::string& source, const std::string& destination,
                     std::span<const char* const> names) {
    for (const char* name : names) {
        std::string file = base::concat(name, ".dll");
        auto from = base::stat_path(base::join_path(source, file));
        auto to = base::lstat_path(base::join_path(destination, file));  // a link is replaced
        if (from && !(to && S_ISREG(to->st_mode) && is_current(*from, *to))) return false;
    }
    return true;
}

// The 64-bit and 32-bit sets of one translation layer from `tree`.
DllSetResult deploy_layer(bool unchanged, const std::string& tree, const std::string& prefix,
                          std::span<const char* const> names, const char* label64,
                          const char* label32) {
    std::string source64 = base::join_path(tree, "x86_64-windows");
    if (unchanged && copies_in_place(source64, base::join_path(prefix, kSystem32), names)) {
        DllSetResult result;
        for (const char* name : names) {
            if (base::exists(base::join_path(source64, base::concat(name, ".dll")))) {
                result.names.emplace_back(name);
            }
        }
        return result;
    }
    DllSetResult result = deploy_dll_set(source64, prefix, kSystem32, names, label64);
    DllSetResult result32 =
        deploy_dll_set(base::join_path(tree, "i386-windows"), prefix, kSyswow64, names, label32);
    result.complete = result.complete && result32.complete;
    return result;
}

}  // namespace

DllSetResult deploy_dxvk(bool dxvk_unchanged, const std::string& dxvk_source_root,
                         const std::string& prefix) {
    return deploy_layer(dxvk_unchanged, base::tool_path(dxvk_source_root, "dxvk"), prefix,
                        kDxvkNames, "DXVK", "DXVK-32");
}

DllSetResult deploy_vkd3d(bool vkd3d_unchanged, const std::string& dxvk_source_root,
                          const std::string& prefix) {
    return deploy_layer(vkd3d_unchanged, base::tool_path(dxvk_source_root, "vkd3d"), prefix,
                        kVkd3dNames, "VKD3D", "VKD3D-32");
}

std::vector<std::string> deploy_nvapi(const NvidiaDriver& nvidia, const std::string& wine_root,
                                      const std::string& prefix) {
    if (!nvidia.present) return {};
    std::string tree = base::tool_path(wine_root, "nvapi");
    auto names = deploy_dll_set(base::join_path(tree, "x86_64-windows"), prefix, kSystem32,
                                kNvapi64Names, "NVAPI")
                     .names;
    auto names32 = deploy_dll_set(base::join_path(tree, "i386-windows"), prefix, kSyswow64,
                                  kNvapi32Names, "NVAPI-32")
                       .names;
    names.insert(names.end(), names32.begin(), names32.end());
    return names;
}

std::vector<std::string> deploy_dlss(const NvidiaDriver& nvidia, const std::string& prefix) {
    if (!nvidia.present || !nvidia.wine_dll_dir) return {};
    return deploy_dll_set(*nvidia.wine_dll_dir, prefix, kSystem32, kDlssNames, "DLSS").names;
}

}  // namespace pelto::launcher::components
