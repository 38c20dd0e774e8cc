#include "launcher/session/wine_env.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "base/text.hpp"
#include "launcher/prefix/user.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::session {
namespace {

using testing::TempDir;
using testing::write_text;

std::map<std::string, std::string> as_map(const WineEnv& env) {
    std::map<std::string, std::string> out;
    for (const EnvVar& var : env) out[var.name] = var.value;
    return out;
}

std::vector<std::string> names(const WineEnv& env) {
    std::vector<std::string> out;
    for (const EnvVar& var : env) out.emplace_back(var.name);
    return out;
}

// The game's environment for a Wine root and a prefix, with HOME as the launch reads it.
WineEnv build(const std::string& wine_root, const std::string& pfx, const tasks::DllNames& dlls,
              const components::NvidiaDriver& nvidia, const SystemRoots& roots) {
    core::LaunchContext context;
    context.prefix = pfx;
    context.home.value = base::env_text("HOME");
    core::WineInstall wine{wine_root, core::wine_loader_path(wine_root),
                           core::wineserver_path(wine_root), std::nullopt, wine_root};
    return build_wine_env(context, wine, dlls, prefix::prefix_user_name(pfx), nvidia, roots);
}

const std::string kFixed =
    "lsteamclient=b;steam.exe=b;dotnetfx35.exe=b;dotnetfx35setup.exe=b;beclient.dll=b,n;"
    "beclient_x64.dll=b,n;xinput1_1.dll=b;xinput1_2.dll=b;xinput1_3.dll=b;xinput1_4.dll=b;"
    "xinput9_1_0.dll=b;xinputuap.dll=b;easyanticheat=b;easyanticheat_x64=b;easyanticheat_x86=b;"
    "winebth.sys=d;vrclient_x64=d;opencl=n,d";

TEST(WineEnv, DllOverrides) {
    testing::ScopedEnv env;
    env.set("SteamGameId", "19284201");
    EXPECT_EQ(dll_overrides({}), kFixed);
    EXPECT_EQ(dll_overrides({{"d3d11", "d3d10core", "d3d9", "dxgi"},
                             {"d3d12", "d3d12core"},
                             {"nvapi64", "nvofapi64", "nvapi"},
                             {"_nvngx", "nvngx"}}),
              kFixed +
                  ";d3d11=n;d3d10core=n;d3d9=n;dxgi=n;d3d12=n;d3d12core=n;nvapi64=n;"
                  "nvofapi64=n;nvapi=n;_nvngx=n;nvngx=n;nvcuda=b");
    env.set("SteamGameId", "1928420");
    EXPECT_EQ(dll_overrides({{"d3d11"}, {}, {}, {}}), kFixed + ";d3d11=n;gameinput=d");
    env.set("SteamGameId", " 1928420");
    EXPECT_EQ(dll_overrides({}), kFixed);
}

TEST(WineEnv, OrderDefaultsAndInheritedValues) {
    TempDir tree;
    std::string wine = tree / "w", pfx = tree / "pfx";
    testing::make_dir(wine + "/lib/wine/x86_64-unix");
    write_text(pfx + "/system.reg",
               "\"ProfileImagePath\"=\"C:\\\\users\\\\\"\r\n\"ProfileImagePath\"=\"C:"
               "\\\\users\\\\gamer\"\r\n");
    testing::ScopedEnv env;
    env.set("HOME", tree / "home");
    env.unset("PATH");
    env.set("LD_LIBRARY_PATH", "");
    env.set("DXVK_LOG_LEVEL", "");
    env.unset("VKD3D_DEBUG");
    env.unset("HOST_LC_ALL");
    env.unset("ORIG_LD_LIBRARY_PATH");
    env.unset("SteamVirtualGamepadInfo_Proton");
    SystemRoots roots{tree / "no-egl", tree / "root"};
    WineEnv built = build(wine, pfx, {}, {}, roots);
    // Each variable once: a later one of the same name would undo an earlier one.
    std::vector<std::string> listed = names(built);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
    EXPECT_EQ(names(built).front(), "WINEPREFIX");
    EXPECT_EQ(names(built).back(), "ORIG_LD_LIBRARY_PATH");
    auto values = as_map(built);
    EXPECT_EQ(values["WINEPREFIX"], pfx);
    EXPECT_EQ(values["WINESERVER"], "/usr/bin/wineserver");
    EXPECT_EQ(values["WINELOADER"], wine + "/bin/wine");
    EXPECT_EQ(values["WINEDLLPATH"], wine + "/lib/wine/x86_64-unix");
    std::string nt_dll_dir = "\\??\\Z:" + wine + "/lib/wine";
    for (char& c : nt_dll_dir) c = c == '/' ? '\\' : c;
    EXPECT_EQ(values["WINEDLLDIR0"], nt_dll_dir);
    EXPECT_EQ(values["WINEDLLDIR1"], nt_dll_dir);
    EXPECT_EQ(values["USER"], "gamer");
    EXPECT_EQ(values["PATH"], wine + "/bin:");
    EXPECT_EQ(values["LD_LIBRARY_PATH"], wine + "/lib/wine/x86_64-unix:" + wine + "/lib:");
    EXPECT_EQ(values["DXVK_LOG_LEVEL"], "");
    EXPECT_EQ(values["VKD3D_DEBUG"], "none");
    EXPECT_EQ(values["USERPROFILE"], "C:\\users\\gamer");
    EXPECT_EQ(values["APPDATA"], "C:\\users\\gamer\\AppData\\Roaming");
    EXPECT_EQ(values["HOMEPATH"], "\\users\\gamer");
    EXPECT_EQ(values["LC_ALL"], "");
    EXPECT_EQ(values["ORIG_LD_LIBRARY_PATH"], "");
    EXPECT_EQ(values["PROTON_VERSION"], "pelto 0.3.0");

    // An inherited ORIG_LD_LIBRARY_PATH stays; HOST_LC_ALL and the gamepad info pass on.
    env.set("ORIG_LD_LIBRARY_PATH", "/keep");
    env.set("HOST_LC_ALL", "fi_FI.UTF-8");
    env.set("SteamVirtualGamepadInfo_Proton", "pads");
    values = as_map(build(wine, pfx, {}, {}, roots));
    EXPECT_EQ(values.count("ORIG_LD_LIBRARY_PATH"), 0u);
    EXPECT_EQ(values["LC_ALL"], "fi_FI.UTF-8");
    EXPECT_EQ(values["SteamVirtualGamepadInfo"], "pads");
}

TEST(WineEnv, EasyAntiCheatAndNvidiaGroups) {
    TempDir tree;
    std::string wine = tree / "w", pfx = tree / "pfx", home = tree / "home";
    testing::ScopedEnv env;
    env.set("HOME", home);
    std::string eac = home + "/.local/share/Steam/steamapps/common/Proton EasyAntiCheat Runtime";
    testing::make_dir(eac);
    write_text(tree / "proc/driver/nvidia/version", "NVIDIA");
    write_text(tree / "egl.json", "{}");
    write_text(tree / "root/drivers/libGLX_nvidia.so.0.550", "");
    testing::make_link(tree / "root/drivers/libGLX_nvidia.so.0.550",
                       tree / "root/usr/lib/libGLX_nvidia.so.0");
    write_text(tree / "root/drivers/nvidia/wine/nvngx.dll", "");
    SystemRoots roots{tree / "egl.json", tree / "root"};
    components::NvidiaDriver nvidia = components::find_nvidia_driver(tree / "proc", tree / "root");
    WineEnv built = build(wine, pfx, {{}, {}, {"nvapi64"}, {}}, nvidia, roots);
    auto values = as_map(built);
    // No Wine module directory exists, so the search path starts with the separator.
    EXPECT_EQ(values["WINEDLLPATH"], ":" + eac + "/v2/lib32:" + eac + "/v2/lib64");
    EXPECT_EQ(values["PROTON_EAC_RUNTIME"], eac);
    EXPECT_EQ(values["NVIDIA_WINE_DLL_DIR"], tree / "root/drivers/nvidia/wine");
    EXPECT_EQ(values["__EGL_VENDOR_LIBRARY_FILENAMES"], tree / "egl.json");
    auto order = names(built);
    auto at = std::find(order.begin(), order.end(), "DXVK_ENABLE_NVAPI");
    ASSERT_NE(at, order.end());
    std::vector<std::string> group(at, at + 6);
    EXPECT_EQ(group, (std::vector<std::string>{
                         "DXVK_ENABLE_NVAPI", "NVIDIA_WINE_DLL_DIR",
                         "__EGL_VENDOR_LIBRARY_FILENAMES", "__GLX_VENDOR_LIBRARY_NAME",
                         "__NV_PRIME_RENDER_OFFLOAD", "__VK_LAYER_NV_optimus"}));
    EXPECT_NE(values["WINEDLLOVERRIDES"].find(";nvapi64=n;nvcuda=b"), std::string::npos);
}

TEST(WineEnv, AppIdIsTheFirstVariableThatIsSet) {
    testing::ScopedEnv env;
    env.set("SteamGameId", "");
    env.set("SteamAppId", "440");
    EXPECT_EQ(core::game_app_id(), "");
    env.unset("SteamGameId");
    EXPECT_EQ(core::game_app_id(), "440");
    env.unset("SteamAppId");
    env.set("STEAM_COMPAT_APP_ID", "570");
    EXPECT_EQ(core::game_app_id(), "570");
    env.unset("STEAM_COMPAT_APP_ID");
    EXPECT_EQ(core::game_app_id(), "");
}

}  // namespace
}  // namespace pelto::launcher::session
