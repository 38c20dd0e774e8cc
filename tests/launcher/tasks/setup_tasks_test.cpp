#include "launcher/tasks/setup_tasks.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "base/posix.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::tasks {
namespace {

using pelto::testing::capture_log;
using pelto::testing::read_text;
using pelto::testing::TempDir;
using pelto::testing::write_text;
using Names = std::vector<std::string>;

TEST(SetupTasks, NvidiaPresentLooksForTheDriverVersionFile) {
    TempDir proc;
    EXPECT_FALSE(nvidia_present(proc.path()));
    write_text(proc / "driver/nvidia/version", "NVRM version: 550\n");
    EXPECT_TRUE(nvidia_present(proc.path()));
}

TEST(SetupTasks, EightTasksInThreeWaves) {
    TempDir dir;
    SetupInputs inputs;
    inputs.prefix = dir / "compat/pfx";
    inputs.server_env = {{"WINEPREFIX", inputs.prefix}};
    inputs.own_exe = dir / "tool/pelto";
    inputs.wine_root = dir / "wine";
    inputs.wine64 = dir / "wine/bin/wine";
    inputs.wineserver = dir / "wine/bin/wineserver";
    inputs.dxvk_source_root = dir / "dxvk";
    inputs.steam_dir = dir / "steam";
    inputs.wine_unchanged = true;
    inputs.dxvk_unchanged = true;
    inputs.vkd3d_unchanged = false;
    inputs.nvidia_present = false;

    pelto::base::make_dirs(inputs.prefix);
    write_text(inputs.own_exe, "");
    write_text(dir / "tool/lib/wine/x86_64-windows/steam.exe", "bridge");
    write_text(inputs.wine64, "#!/bin/sh\nexit 0\n");
    ::chmod(inputs.wine64.c_str(), 0755);
    write_text(dir / "wine/lib/wine/x86_64-unix/ntdll.so", "");
    // The stand-in server notes that it ran for this prefix.
    write_text(inputs.wineserver,
               "#!/bin/sh\necho \"$WINEPREFIX\" > " + dir.path() + "/server-ran\nexit 2\n");
    ::chmod(inputs.wineserver.c_str(), 0755);
    write_text(dir / "dxvk/lib/wine/vkd3d-proton/x86_64-windows/d3d12.dll", "12");

    DeployOutcome outcome;  // each task must set what it found
    std::vector<graph::SetupTask> tasks = build_setup_tasks(inputs, outcome);
    std::vector<std::string> order;
    for (const auto& task : tasks) order.emplace_back(task.name);
    EXPECT_EQ(order, (Names{"registry", "prefix", "wineserver", "dxvk", "vkd3d", "nvapi", "dlss",
                            "bridge"}));

    graph::SetupResults results;
    capture_log([&] { results = graph::SetupGraph::run(std::move(tasks)); });

    ASSERT_EQ(results.timings.size(), 8u);
    EXPECT_EQ(results.timings[0].first, "registry");
    EXPECT_EQ(results.timings[1].first, "prefix");
    Names third;
    for (size_t i = 2; i < 8; ++i) third.push_back(results.timings[i].first);
    std::sort(third.begin(), third.end());
    EXPECT_EQ(third, (Names{"bridge", "dlss", "dxvk", "nvapi", "vkd3d", "wineserver"}));

    // An unchanged DXVK tree that is missing names nothing; VKD3D was deployed.
    EXPECT_TRUE(results.names_of("dxvk").empty());
    EXPECT_TRUE(outcome.wine_complete && outcome.dxvk_complete && outcome.vkd3d_complete);
    EXPECT_EQ(results.names_of("vkd3d"), (Names{"d3d12"}));
    EXPECT_TRUE(results.names_of("nvapi").empty());
    EXPECT_TRUE(results.names_of("dlss").empty());
    EXPECT_EQ(read_text(inputs.prefix + "/drive_c/windows/system32/d3d12.dll"), "12");
    EXPECT_EQ(read_text(dir / "server-ran"), inputs.prefix + "\n");
    EXPECT_EQ(read_text(inputs.prefix + "/drive_c/windows/syswow64/steam.exe"), "bridge");
}

}  // namespace
}  // namespace pelto::launcher::tasks
