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

TEST(SetupTasks, EightTasksInThreeWaves) {
    TempDir dir;
    core::LaunchContext context;
    context.prefix = dir / "compat/pfx";
    context.own_exe = dir / "tool/pelto";
    context.install_dir = dir / "tool";
    context.steam_dir = dir / "steam";
    core::WineInstall wine{dir / "wine", dir / "wine/bin/wine", dir / "wine/bin/wineserver",
                           std::nullopt, dir / "dxvk"};
    components::NvidiaDriver no_nvidia;
    core::WineProcessEnv wine_env{context.prefix, std::nullopt, nullptr};
    SetupInputs inputs{context, wine, ChangeFlags{true, true, false, false}, no_nvidia, wine_env};

    pelto::base::make_dirs(context.prefix);
    write_text(context.own_exe, "");
    write_text(dir / "tool/lib/wine/x86_64-windows/steam.exe", "bridge");
    write_text(wine.wine64, "#!/bin/sh\nexit 0\n");
    ::chmod(wine.wine64.c_str(), 0755);
    write_text(dir / "wine/lib/wine/x86_64-unix/ntdll.so", "");
    // The stand-in server notes that it ran for this prefix.
    write_text(wine.wineserver,
               "#!/bin/sh\necho \"$WINEPREFIX\" > " + dir.path() + "/server-ran\nexit 2\n");
    ::chmod(wine.wineserver.c_str(), 0755);
    write_text(dir / "dxvk/lib/wine/vkd3d-proton/x86_64-windows/d3d12.dll", "12");

    SetupOutcome outcome;  // each task must set what it found
    std::vector<graph::SetupTask> tasks = build_setup_tasks(inputs, outcome);
    Names all;
    for (const auto& task : tasks) all.emplace_back(task.name);

    graph::SetupResults results;
    capture_log([&] { results = graph::SetupGraph::run(std::move(tasks)); });

    // Three waves: the registry alone, then the prefix alone, then every other task.
    ASSERT_EQ(results.timings.size(), all.size());
    EXPECT_EQ(results.timings[0].first, "registry");
    EXPECT_EQ(results.timings[1].first, "prefix");
    Names finished;
    for (const auto& [name, ms] : results.timings) finished.push_back(name);
    std::sort(finished.begin(), finished.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(finished, all);

    // An unchanged DXVK tree that is missing names nothing; VKD3D was deployed.
    EXPECT_TRUE(outcome.names.dxvk.empty());
    EXPECT_TRUE(outcome.deployed.wine_complete && outcome.deployed.dxvk_complete &&
                outcome.deployed.vkd3d_complete);
    EXPECT_EQ(outcome.names.vkd3d, (Names{"d3d12"}));
    EXPECT_TRUE(outcome.names.nvapi.empty());
    EXPECT_TRUE(outcome.names.dlss.empty());
    EXPECT_EQ(read_text(context.prefix + "/drive_c/windows/system32/d3d12.dll"), "12");
    EXPECT_EQ(read_text(dir / "server-ran"), context.prefix + "\n");
    EXPECT_EQ(read_text(context.prefix + "/drive_c/windows/syswow64/steam.exe"), "bridge");
}

}  // namespace
}  // namespace pelto::launcher::tasks
