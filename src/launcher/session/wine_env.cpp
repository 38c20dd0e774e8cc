#include "launcher/session/wine_env.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/version.hpp"
#include "launcher/core/context.hpp"

namespace pelto::launcher::session {

namespace {

using base::concat;
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

constexpr std::array<const char*, 18> kFixedOverrides = {
    "lsteamclient=b",        "steam.exe=b",         "dotnetfx35.exe=b",
    "dotnetfx35setup.exe=b", "beclient.dll=b,n",    "beclient_x64.dll=b,n",
    "xinput1_1.dll=b",       "xinput1_2.dll=b",     "xinput1_3.dll=b",
    "xinput1_4.dll=b",       "xinput9_1_0.dll=b",   "xinputuap.dll=b",
    "easyanticheat=b",       "easyanticheat_x64=b", "easyanticheat_x86=b",
    "winebth.sys=d",         "vrclient_x64=d",      "opencl=n,d"};

// The list under construction: a later setting of a name replaces the earlier one in its place,
// so that every name appears once; `set_last` moves it to the end instead.
class EnvList {
public:
    void set(const std::string& name, std::optional<std::string> value) {
        auto [at, added] = index_.try_emplace(name, list_.size());
        if (added) {
            list_.push_back({name, std::move(value)});
        } else {
            list_[at->second].value = std::move(value);
        }
    }
    void set_last(const std::string& name, std::optional<std::string> value) {
        if (auto at = index_.find(name); at != index_.end()) {
            list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(at->second));
            index_.clear();
            for (size_t i = 0; i < list_.size(); ++i) index_[list_[i].name] = i;
        }
        set(name, std::move(value));
    }
    std::string& value_of(const std::string& name) { return *list_[index_.at(name)].value; }
    WineEnv take() { return std::move(list_); }

private:
    WineEnv list_;
    std::unordered_map<std::string, size_t> index_;
};

std::string_view trim_spaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// The DLLs an override item names, as Wine compares them (lower case, no ".dll"); nothing for
// a malformed item, which has no "=" or no name before it.
std::optional<std::vector<std::string>> item_names(std::string_view item) {
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::vector<std::string> names;
    for (std::string_view name : base::split(item.substr(0, eq), ',')) {
        std::string lowered = base::ascii_lower(trim_spaces(name));
        if (lowered.ends_with(".dll")) lowered.resize(lowered.size() - 4);
        if (!lowered.empty()) names.push_back(std::move(lowered));
    }
    if (names.empty()) return std::nullopt;
    return names;
}

}  // namespace

std::string merge_dll_overrides(const std::string& computed, const std::string& player) {
    std::unordered_set<std::string> named;
    std::vector<std::string_view> players_items;
    std::string malformed;
    for (std::string_view item : base::split(player, ';')) {
        if (trim_spaces(item).empty()) continue;
        players_items.push_back(item);
        if (auto names = item_names(item)) {
            named.insert(names->begin(), names->end());
        } else {
            malformed += concat(malformed.empty() ? "" : ";", item);
        }
    }
    std::string text;
    auto append = [&](std::string_view item) { text += concat(text.empty() ? "" : ";", item); };
    for (std::string_view item : base::split(computed, ';')) {
        if (trim_spaces(item).empty()) continue;
        auto names = item_names(item);
        bool replaced = names && std::any_of(names->begin(), names->end(), [&](const auto& name) {
                            return named.contains(name);
                        });
        if (!replaced) append(item);
    }
    for (std::string_view item : players_items) append(item);
    if (!malformed.empty()) {
        base::log_warn(
            concat("WINEDLLOVERRIDES: passed on as written, though Wine reads no DLL "
                   "override in it: ",
                   base::lossy_utf8(malformed)));
    }
    return text;
}

std::string dll_overrides(const tasks::DllNames& dlls,
                          const std::optional<std::string>& steam_game_id) {
    std::string text;
    for (const char* item : kFixedOverrides) {
        if (!text.empty()) text += ';';
        text += item;
    }
    text += concat(";", core::kMenuBuilderOff);
    for (const auto* names : {&dlls.dxvk, &dlls.vkd3d, &dlls.nvapi, &dlls.dlss}) {
        for (const std::string& name : *names) text += concat(";", name, "=n");
    }
    if (!dlls.nvapi.empty()) text += ";nvcuda=b";
    if (steam_game_id == "1928420") text += ";gameinput=d";
    return text;
}

namespace {

// The game's DLL overrides: the launcher's, with Wine's own Direct3D when asked for, merged
// with those the player gave in the launch options.
std::string game_dll_overrides(const GameEnvInputs& in) {
    tasks::DllNames dlls = in.dlls;
    if (in.use_wined3d) {
        dlls.dxvk.clear();
        dlls.vkd3d.clear();
    }
    std::string computed = dll_overrides(dlls, in.env.text("SteamGameId"));
    std::optional<std::string> player = in.env.text("WINEDLLOVERRIDES");
    // One of env_config's wins over everything anyway.
    bool from_env_config =
        std::any_of(in.env.custom.begin(), in.env.custom.end(),
                    [](const core::CustomVar& var) { return var.name == "WINEDLLOVERRIDES"; });
    if (!player && !from_env_config && in.env.is_set("WINEDLLOVERRIDES")) {
        base::log_warn(
            "WINEDLLOVERRIDES of the launch options is not valid UTF-8 — it is left out");
    }
    if (!player || from_env_config) return computed;
    base::log_debug("WINEDLLOVERRIDES from the launch options: ", *player);
    return merge_dll_overrides(computed, *player);
}

}  // namespace

WineEnv build_game_env(const GameEnvInputs& in) {
    const core::EnvSnapshot& env = in.env;
    const std::string& wine_root = in.wine.wine_root;
    const std::string& prefix = in.wine_env.prefix;
    std::string home = in.home.for_wine();
    std::string dll_dir = nt_form(join_path(wine_root, "lib/wine"));
    // What every Wine process of the launch runs with, defined once for the game as for
    // wineboot; the rows below give each its place, and some their game's form.
    core::WineRows rows = core::wine_rows({.wine_root = wine_root,
                                           .wine64 = in.wine.wine64,
                                           .wineserver = in.wine.wineserver,
                                           .wine_env = in.wine_env,
                                           .user = in.user,
                                           .ld_library_path = env.text("LD_LIBRARY_PATH"),
                                           .winedebug = env.text("WINEDEBUG"),
                                           .ld_preload = env.text("LD_PRELOAD"),
                                           .trace_opcodes = in.trace_opcodes,
                                           .verbose = in.verbose,
                                           .system_root = in.roots.root});

    EnvList list;
    // The paths themselves: Wine must find the very directory and program, whatever bytes
    // their names hold.
    list.set("WINEPREFIX", rows.prefix);
    list.set("WINESERVER", rows.wineserver);
    list.set("WINELOADER", lossy_utf8(rows.loader));
    list.set("WINEDLLPATH", rows.dll_path);
    list.set("WINEDATADIR", nt_form(core::wine_layout_paths(wine_root, "data").front()));
    list.set("WINEDLLDIR0", dll_dir);
    list.set("WINEDLLDIR1", dll_dir);
    list.set("WINECONFIGDIR", nt_form(prefix));
    list.set("WINEHOMEDIR", nt_form(home));
    list.set("USER", rows.user);
    list.set("PATH", concat(lossy_utf8(join_path(wine_root, "bin")), ":", env.text_or("PATH", "")));
    list.set("LD_LIBRARY_PATH", rows.library_path);
    list.set("WINEDLLOVERRIDES", game_dll_overrides(in));
    list.set("DXVK_LOG_LEVEL", env.text_or("DXVK_LOG_LEVEL", "none"));
    list.set("VKD3D_DEBUG", env.text_or("VKD3D_DEBUG", "none"));
    list.set("VKD3D_SHADER_DEBUG", env.text_or("VKD3D_SHADER_DEBUG", "none"));
    list.set("__GLVND_DISALLOW_PATCHING", env.text_or("__GLVND_DISALLOW_PATCHING", "1"));
    list.set("PROTON_VERSION", concat("pelto ", base::version()));

    std::string eac =
        concat(home, "/.local/share/Steam/steamapps/common/Proton EasyAntiCheat Runtime");
    if (exists(eac)) {
        list.value_of("WINEDLLPATH") += concat(":", lossy_utf8(join_path(eac, "v2/lib32")), ":",
                                               lossy_utf8(join_path(eac, "v2/lib64")));
        list.set("PROTON_EAC_RUNTIME", lossy_utf8(eac));
    }

    std::string profile = concat("C:\\users\\", in.user);
    list.set("USERPROFILE", profile);
    list.set("APPDATA", profile + "\\AppData\\Roaming");
    list.set("LOCALAPPDATA", profile + "\\AppData\\Local");
    list.set("HOMEDRIVE", "C:");
    list.set("HOMEPATH", concat("\\users\\", in.user));
    list.set("ALLUSERSPROFILE", "C:\\ProgramData");
    list.set("ProgramData", "C:\\ProgramData");

    if (in.nvidia.present) {
        list.set("DXVK_ENABLE_NVAPI", "1");
        if (in.nvidia.wine_dll_dir)
            list.set("NVIDIA_WINE_DLL_DIR", lossy_utf8(*in.nvidia.wine_dll_dir));
        if (exists(in.roots.egl_vendor_file)) {
            list.set("__EGL_VENDOR_LIBRARY_FILENAMES", in.roots.egl_vendor_file);
        }
        list.set("__GLX_VENDOR_LIBRARY_NAME", "nvidia");
        list.set("__NV_PRIME_RENDER_OFFLOAD", "1");
        list.set("__VK_LAYER_NV_optimus", "NVIDIA_only");
    }

    list.set("LC_ALL", env.text_or("HOST_LC_ALL", ""));
    if (!env.text("ORIG_LD_LIBRARY_PATH")) {
        list.set("ORIG_LD_LIBRARY_PATH", env.text_or("LD_LIBRARY_PATH", ""));
    }
    if (auto gamepad = env.text("SteamVirtualGamepadInfo_Proton")) {
        list.set("SteamVirtualGamepadInfo", *gamepad);
    }

    // What the launch adds when it starts the game.
    std::string temp = concat("C:\\users\\", in.user, "\\Temp");
    list.set("WINETEMP", temp);
    list.set("WINETMP", temp);
    list.set("SteamAppId", in.app_id);
    list.set("SteamGameId", in.app_id);
    list.set("STEAM_COMPAT_CLIENT_INSTALL_PATH",
             env.text("STEAM_COMPAT_CLIENT_INSTALL_PATH")
                 .value_or(concat(in.home.for_user_paths(), "/.local/share/Steam")));
    list.set("WINEDEBUG", rows.debug);
    list.set("LD_PRELOAD", rows.preload);
    for (const base::EnvChange& change : in.shader_caches) list.set(change.name, change.value);
    // The Steam client bridge inside the game loads the Steam client for Linux from here.
    if (!in.steam_client.empty()) list.set("PELTO_STEAMCLIENT", in.steam_client);

    // The player's own variables come last and win over everything the launcher computed, but
    // for Wine's menu builder, which stays off unless they name it.
    for (const core::CustomVar& var : env.custom) {
        list.set_last(var.name, var.name == "WINEDLLOVERRIDES"
                                    ? core::keep_menu_builder_off(var.value)
                                    : var.value);
    }
    return list.take();
}

}  // namespace pelto::launcher::session
