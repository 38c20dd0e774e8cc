#include "launcher/session/wine_env.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "base/text.hpp"
#include "base/version.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::session {
namespace {

using testing::TempDir;
using testing::write_text;

// The records the game's environment is made of, with values a test can change one by one.
struct Records {
    core::WineInstall wine;
    core::WineProcessEnv wine_env;
    std::string user = "gamer";
    tasks::DllNames dlls;
    core::EnvSnapshot env;
    components::NvidiaDriver nvidia;
    SystemRoots roots;
    std::string steam_client;

    Records(const std::string& wine_root, const std::string& pfx)
        : wine{wine_root, core::wine_loader_path(wine_root), core::wineserver_path(wine_root),
               std::nullopt, wine_root},
          wine_env{pfx, std::nullopt, nullptr} {}

    WineEnv build(bool verbose = false, bool trace_opcodes = false) const {
        // As the driver finds them: HOME and the app id of the snapshot.
        core::Home home{env.text("HOME")};
        std::string app_id = core::game_app_id(env);
        return build_game_env({.wine = wine,
                               .wine_env = wine_env,
                               .user = user,
                               .dlls = dlls,
                               .env = env,
                               .home = home,
                               .app_id = app_id,
                               .nvidia = nvidia,
                               .verbose = verbose,
                               .trace_opcodes = trace_opcodes,
                               .steam_client = steam_client,
                               .roots = roots});
    }
};

std::map<std::string, std::optional<std::string>> as_map(const WineEnv& env) {
    std::map<std::string, std::optional<std::string>> out;
    for (const EnvVar& var : env) out[var.name] = var.value;
    return out;
}

std::vector<std::string> names(const WineEnv& env) {
    std::vector<std::string> out;
    for (const EnvVar& var : env) out.emplace_back(var.name);
    return out;
}

const std::string kFixed =
    "lsteamclient=b;steam.exe=b;dotnetfx35.exe=b;dotnetfx35setup.exe=b;beclient.dll=b,n;"
    "beclient_x64.dll=b,n;xinput1_1.dll=b;xinput1_2.dll=b;xinput1_3.dll=b;xinput1_4.dll=b;"
    "xinput9_1_0.dll=b;xinputuap.dll=b;easyanticheat=b;easyanticheat_x64=b;easyanticheat_x86=b;"
    "winebth.sys=d;vrclient_x64=d;opencl=n,d;winemenubuilder.exe=d";

TEST(WineEnv, DllOverrides) {
    EXPECT_EQ(dll_overrides({}, "19284201"), kFixed);
    EXPECT_EQ(dll_overrides({{"d3d11", "d3d10core", "d3d9", "dxgi"},
                             {"d3d12", "d3d12core"},
                             {"nvapi64", "nvofapi64", "nvapi"},
                             {"_nvngx", "nvngx"}},
                            std::nullopt),
              kFixed +
                  ";d3d11=n;d3d10core=n;d3d9=n;dxgi=n;d3d12=n;d3d12core=n;nvapi64=n;"
                  "nvofapi64=n;nvapi=n;_nvngx=n;nvngx=n;nvcuda=b");
    EXPECT_EQ(dll_overrides({{"d3d11"}, {}, {}, {}}, "1928420"), kFixed + ";d3d11=n;gameinput=d");
    EXPECT_EQ(dll_overrides({}, " 1928420"), kFixed);
}

TEST(WineEnv, OrderDefaultsAndInheritedValues) {
    TempDir tree;
    std::string wine = tree / "w", pfx = tree / "pfx";
    testing::make_dir(wine + "/lib/wine/x86_64-unix");
    Records records(wine, pfx);
    records.env = core::take_env_snapshot({"HOME=" + (tree / "home"), "LD_LIBRARY_PATH=",
                                           "DXVK_LOG_LEVEL=", "SteamGameId=", "SteamAppId=440"});
    records.roots = {tree / "no-egl", tree / "root"};
    WineEnv built = records.build();
    // Each variable once: a later one of the same name would undo an earlier one.
    std::vector<std::string> listed = names(built);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
    EXPECT_EQ(names(built).front(), "WINEPREFIX");
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
    EXPECT_EQ(values["PATH"], wine + "/bin:");  // no PATH: a trailing separator
    EXPECT_EQ(values["LD_LIBRARY_PATH"], wine + "/lib/wine/x86_64-unix:" + wine + "/lib:");
    EXPECT_EQ(values["DXVK_LOG_LEVEL"], "");
    EXPECT_EQ(values["VKD3D_DEBUG"], "none");
    EXPECT_EQ(values["USERPROFILE"], "C:\\users\\gamer");
    EXPECT_EQ(values["APPDATA"], "C:\\users\\gamer\\AppData\\Roaming");
    EXPECT_EQ(values["HOMEPATH"], "\\users\\gamer");
    EXPECT_EQ(values["LC_ALL"], "");
    EXPECT_EQ(values["ORIG_LD_LIBRARY_PATH"], "");
    EXPECT_EQ(values["WINEDLLOVERRIDES"], kFixed);
    // The launch-time additions: the first app id variable that is set wins, even empty.
    EXPECT_EQ(values["SteamAppId"], "");
    EXPECT_EQ(values["SteamGameId"], "");
    EXPECT_EQ(values["WINETEMP"], "C:\\users\\gamer\\Temp");
    EXPECT_EQ(values["STEAM_COMPAT_CLIENT_INSTALL_PATH"], tree / "home/.local/share/Steam");
    EXPECT_EQ(values["WINEDEBUG"], "-all");
    EXPECT_EQ(values.count("LD_PRELOAD"), 1u);
    EXPECT_EQ(values["LD_PRELOAD"], std::nullopt);  // removed from the game's environment
    EXPECT_EQ(as_map(records.build(true))["WINEDEBUG"], "+process,err");
    EXPECT_EQ(as_map(records.build(true, true))["WINEDEBUG"], "+server,+timestamp");

    // An inherited ORIG_LD_LIBRARY_PATH stays; HOST_LC_ALL and the gamepad info pass on.
    records.env =
        core::take_env_snapshot({"ORIG_LD_LIBRARY_PATH=/keep", "HOST_LC_ALL=fi_FI.UTF-8",
                                 "SteamVirtualGamepadInfo_Proton=pads", "STEAM_COMPAT_APP_ID=570"});
    values = as_map(records.build());
    EXPECT_EQ(values.count("ORIG_LD_LIBRARY_PATH"), 0u);
    EXPECT_EQ(values["LC_ALL"], "fi_FI.UTF-8");
    EXPECT_EQ(values["SteamVirtualGamepadInfo"], "pads");
    EXPECT_EQ(values["SteamAppId"], "570");
    EXPECT_EQ(values["STEAM_COMPAT_CLIENT_INSTALL_PATH"], "/.local/share/Steam");  // no HOME

    // The Steam client bridge learns where the Steam client for Linux is, when there is one.
    EXPECT_EQ(values.count("PELTO_STEAMCLIENT"), 0u);
    records.steam_client = "/steam/linux64/steamclient.so";
    EXPECT_EQ(as_map(records.build())["PELTO_STEAMCLIENT"], "/steam/linux64/steamclient.so");
}

TEST(WineEnv, CustomVariablesWinInvalidTextCountsAsUnsetAndTheVersionIsTheProjects) {
    TempDir tree;
    std::string wine = tree / "w", pfx = tree / "pfx";
    Records records(wine, pfx);
    records.wine_env.tmpdir = tree / "tmp";
    core::EnvSnapshot launcher = core::take_env_snapshot(
        {"DXVK_LOG_LEVEL=\xFF", "SteamGameId=\xC3", "SteamAppId=440", "LD_PRELOAD=/a.so",
         "WINEDEBUG=\xFF\xFF", "PATH=/usr/bin", "HOME=/home/p\xFFlayer"});
    const std::vector<core::CustomVar> custom = {
        {"TMPDIR", tree / "tmp"}, {"WINEDLLOVERRIDES", "custom=n;;junk"},
        {"PATH", "/custom/bin"},  {"LD_PRELOAD", "/b.so"},
        {"SteamGameId", "999"},   {"USER", "someone"},
        {"NEW_ONE", "last"}};
    records.env = core::with_custom_vars(launcher, custom);
    WineEnv built = records.build();
    std::vector<std::string> listed = names(built);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
    auto values = as_map(built);
    // Every custom variable wins over what the launcher computed, the additions included, and
    // comes last, in the file's order. Their WINEDLLOVERRIDES passes as written (an empty item
    // and one Wine cannot read too, and without a warning); Wine's menu builder stays off, as
    // for every Wine process of the launch, unless it is named.
    std::vector<std::string> all = names(built);
    std::vector<std::string> tail(all.end() - 7, all.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"TMPDIR", "WINEDLLOVERRIDES", "PATH", "LD_PRELOAD",
                                              "SteamGameId", "USER", "NEW_ONE"}));
    EXPECT_EQ(values["WINEDLLOVERRIDES"], "custom=n;;junk;winemenubuilder.exe=d");
    records.env = core::with_custom_vars(launcher, {{"WINEDLLOVERRIDES", "WineMenuBuilder=n"}});
    EXPECT_TRUE(testing::capture_log([&] { values = as_map(records.build()); }).empty());
    EXPECT_EQ(values["WINEDLLOVERRIDES"], "WineMenuBuilder=n");
    records.env = core::with_custom_vars(launcher, custom);
    values = as_map(records.build());
    EXPECT_EQ(values["PATH"], "/custom/bin");
    EXPECT_EQ(values["LD_PRELOAD"], "/b.so");
    EXPECT_EQ(values["SteamGameId"], "999");
    EXPECT_EQ(values["USER"], "someone");
    EXPECT_EQ(values["TMPDIR"], tree / "tmp");
    // Values read before the custom ones were laid over follow them too.
    EXPECT_EQ(values["SteamAppId"], "999");
    // A value that is not UTF-8 counts as unset.
    launcher = core::take_env_snapshot({"DXVK_LOG_LEVEL=\xFF", "SteamGameId=\xC3", "SteamAppId=440",
                                        "WINEDEBUG=\xFF\xFF", "HOME=/home/p\xFFlayer"});
    records.env = launcher;
    values = as_map(records.build());
    EXPECT_EQ(values["DXVK_LOG_LEVEL"], "none");
    EXPECT_EQ(values["SteamAppId"], "440");
    EXPECT_EQ(values["WINEDEBUG"], "-all");
    EXPECT_EQ(values["WINEHOMEDIR"], "\\??\\Z:\\home\\user");
    // The version is the project's, as the build directory's version file has it.
    EXPECT_EQ(values["PROTON_VERSION"], std::string("pelto ") + base::version());
    EXPECT_EQ(testing::read_text(std::string(PELTO_BUILD_DIR) + "/version"),
              std::string(base::version()) + "\n");
}

TEST(WineEnv, EasyAntiCheatAndNvidiaGroupsFollowTheHomeOfTheSnapshot) {
    TempDir tree;
    std::string wine = tree / "w", pfx = tree / "pfx", home = tree / "home";
    Records records(wine, pfx);
    // HOME as env_config sets it decides the runtime folder, WINEHOMEDIR and the client path.
    records.env =
        core::with_custom_vars(core::take_env_snapshot({"HOME=/launcher/home"}), {{"HOME", home}});
    std::string eac = home + "/.local/share/Steam/steamapps/common/Proton EasyAntiCheat Runtime";
    testing::make_dir(eac);
    write_text(tree / "proc/driver/nvidia/version", "NVIDIA");
    write_text(tree / "egl.json", "{}");
    write_text(tree / "root/drivers/libGLX_nvidia.so.0.550", "");
    testing::make_link(tree / "root/drivers/libGLX_nvidia.so.0.550",
                       tree / "root/usr/lib/libGLX_nvidia.so.0");
    write_text(tree / "root/drivers/nvidia/wine/nvngx.dll", "");
    records.roots = {tree / "egl.json", tree / "root"};
    records.nvidia = components::find_nvidia_driver(tree / "proc", tree / "root");
    records.dlls = {{}, {}, {"nvapi64"}, {}};
    WineEnv built = records.build();
    auto values = as_map(built);
    // No Wine module directory exists, so the search path starts with the separator.
    EXPECT_EQ(values["WINEDLLPATH"], ":" + eac + "/v2/lib32:" + eac + "/v2/lib64");
    EXPECT_EQ(values["PROTON_EAC_RUNTIME"], eac);
    std::string nt_home = "\\??\\Z:" + home;
    for (char& c : nt_home) c = c == '/' ? '\\' : c;
    EXPECT_EQ(values["WINEHOMEDIR"], nt_home);
    EXPECT_EQ(values["STEAM_COMPAT_CLIENT_INSTALL_PATH"], home + "/.local/share/Steam");
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
    EXPECT_NE(values["WINEDLLOVERRIDES"]->find(";nvapi64=n;nvcuda=b"), std::string::npos);
}

}  // namespace
}  // namespace pelto::launcher::session
