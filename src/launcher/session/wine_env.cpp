#include "launcher/session/wine_env.hpp"

#include <array>
#include <cstdlib>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/version.hpp"
#include "launcher/components/nvidia.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"

namespace pelto::launcher::session {

namespace {

using base::concat;
using base::env_text;
using base::exists;
using base::join_path;
using base::lossy_utf8;

// "\??\Z:" and the path's text form with every "/" turned into a backslash.
std::string nt_form(const std::string& path) {
    std::string text = lossy_utf8(path);
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return "\\??\\Z:" + text;
}

std::string env_or(const char* name, const char* fallback) {
    auto value = env_text(name);
    return value ? *value : fallback;
}

constexpr std::array<const char*, 18> kFixedOverrides = {
    "lsteamclient=b",        "steam.exe=b",         "dotnetfx35.exe=b",
    "dotnetfx35setup.exe=b", "beclient.dll=b,n",    "beclient_x64.dll=b,n",
    "xinput1_1.dll=b",       "xinput1_2.dll=b",     "xinput1_3.dll=b",
    "xinput1_4.dll=b",       "xinput9_1_0.dll=b",   "xinputuap.dll=b",
    "easyanticheat=b",       "easyanticheat_x64=b", "easyanticheat_x86=b",
    "winebth.sys=d",         "vrclient_x64=d",      "opencl=n,d"};

}  // namespace

std::string dll_overrides(const tasks::DllNames& dlls) {
    std::string text;
    for (const char* item : kFixedOverrides) {
        if (!text.empty()) text += ';';
        text += item;
    }
    for (const auto* names : {&dlls.dxvk, &dlls.vkd3d, &dlls.nvapi, &dlls.dlss}) {
        for (const std::string& name : *names) text += concat(";", name, "=n");
    }
    if (!dlls.nvapi.empty()) text += ";nvcuda=b";
    if (auto game_id = env_text("SteamGameId"); game_id && *game_id == "1928420") {
        text += ";gameinput=d";
    }
    return text;
}

WineEnv build_wine_env(const core::LaunchContext& context, const core::WineInstall& wine,
                       const tasks::DllNames& dlls, const std::string& user,
                       const components::NvidiaDriver& nvidia, const SystemRoots& roots) {
    const std::string& wine_root = wine.wine_root;
    const std::string& prefix = context.prefix;
    std::string home = context.home.for_game();
    std::string dll_dir = nt_form(join_path(wine_root, "lib/wine"));

    WineEnv env;
    env.reserve(35);
    // The paths themselves: Wine must find the very directory and program, whatever bytes
    // their names hold.
    env.push_back({"WINEPREFIX", prefix});
    env.push_back({"WINESERVER", wine.wineserver});
    env.push_back({"WINELOADER", lossy_utf8(wine.wine64)});
    env.push_back({"WINEDLLPATH", core::wine_dll_search_path(wine_root, roots.root)});
    size_t dll_path_row = env.size() - 1;
    env.push_back({"WINEDATADIR", nt_form(join_path(wine_root, "share/wine"))});
    env.push_back({"WINEDLLDIR0", dll_dir});
    env.push_back({"WINEDLLDIR1", dll_dir});
    env.push_back({"WINECONFIGDIR", nt_form(prefix)});
    env.push_back({"WINEHOMEDIR", nt_form(home)});
    env.push_back({"USER", user});
    env.push_back(
        {"PATH", concat(lossy_utf8(join_path(wine_root, "bin")), ":", env_or("PATH", ""))});
    env.push_back({"LD_LIBRARY_PATH", core::library_search_path(wine_root)});
    env.push_back({"WINEDLLOVERRIDES", dll_overrides(dlls)});
    env.push_back({"DXVK_LOG_LEVEL", env_or("DXVK_LOG_LEVEL", "none")});
    env.push_back({"VKD3D_DEBUG", env_or("VKD3D_DEBUG", "none")});
    env.push_back({"VKD3D_SHADER_DEBUG", env_or("VKD3D_SHADER_DEBUG", "none")});
    env.push_back({"__GLVND_DISALLOW_PATCHING", env_or("__GLVND_DISALLOW_PATCHING", "1")});
    env.push_back({"PROTON_VERSION", concat("pelto ", base::version())});

    std::string eac =
        concat(home, "/.local/share/Steam/steamapps/common/Proton EasyAntiCheat Runtime");
    if (exists(eac)) {
        env[dll_path_row].value += concat(":", lossy_utf8(join_path(eac, "v2/lib32")), ":",
                                          lossy_utf8(join_path(eac, "v2/lib64")));
        env.push_back({"PROTON_EAC_RUNTIME", lossy_utf8(eac)});
    }

    std::string profile = concat("C:\\users\\", user);
    env.push_back({"USERPROFILE", profile});
    env.push_back({"APPDATA", profile + "\\AppData\\Roaming"});
    env.push_back({"LOCALAPPDATA", profile + "\\AppData\\Local"});
    env.push_back({"HOMEDRIVE", "C:"});
    env.push_back({"HOMEPATH", concat("\\users\\", user)});
    env.push_back({"ALLUSERSPROFILE", "C:\\ProgramData"});
    env.push_back({"ProgramData", "C:\\ProgramData"});

    if (nvidia.present) {
        env.push_back({"DXVK_ENABLE_NVAPI", "1"});
        if (nvidia.wine_dll_dir)
            env.push_back({"NVIDIA_WINE_DLL_DIR", lossy_utf8(*nvidia.wine_dll_dir)});
        if (exists(roots.egl_vendor_file)) {
            env.push_back({"__EGL_VENDOR_LIBRARY_FILENAMES", roots.egl_vendor_file});
        }
        env.push_back({"__GLX_VENDOR_LIBRARY_NAME", "nvidia"});
        env.push_back({"__NV_PRIME_RENDER_OFFLOAD", "1"});
        env.push_back({"__VK_LAYER_NV_optimus", "NVIDIA_only"});
    }

    auto host_lc_all = env_text("HOST_LC_ALL");
    env.push_back({"LC_ALL", host_lc_all && !host_lc_all->empty() ? *host_lc_all : ""});
    if (!env_text("ORIG_LD_LIBRARY_PATH")) {
        env.push_back({"ORIG_LD_LIBRARY_PATH", env_or("LD_LIBRARY_PATH", "")});
    }
    if (auto gamepad = env_text("SteamVirtualGamepadInfo_Proton")) {
        env.push_back({"SteamVirtualGamepadInfo", *gamepad});
    }
    return env;
}

}  // namespace pelto::launcher::session
