// Folder launcher/tasks: the eight setup tasks and the deployment cache. Its place among the
// folders: src/layers.txt.
//
// The launcher's eight setup tasks: their names, dependencies and bodies. They run in three
// waves: "registry"; then "prefix"; then "wineserver", "dxvk", "vkd3d", "nvapi", "dlss" and
// "bridge" together.
#pragma once

#include <string>
#include <vector>

#include "base/process.hpp"
#include "graph/setup_graph.hpp"
#include "launcher/components/nvidia.hpp"
#include "launcher/core/context.hpp"
#include "launcher/core/launch_lock.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "launcher/tasks/deploy_cache.hpp"

namespace pelto::launcher::tasks {

/// What the tasks work with: the driver's records, which outlive `SetupGraph::run`.
struct SetupInputs {
    const core::LaunchContext& context;
    const core::WineInstall& wine;
    ChangeFlags flags;
    const components::NvidiaDriver& nvidia;
    const core::WineProcessEnv& wine_env;    // what every Wine process of the launch runs with
    const core::LaunchLock* lock = nullptr;  // whether the prefix's Wine session may be ended
};

/// The DLLs in place after the four DLL tasks, by task: the game's environment makes native
/// overrides of them.
struct DllNames {
    std::vector<std::string> dxvk, vkd3d, nvapi, dlss;
};

/// What the tasks found. Each task writes only fields of its own, and the driver reads them
/// once every worker has been joined.
struct SetupOutcome {
    DeployOutcome deployed;  // "prefix", "dxvk" and "vkd3d": whether their work completed
    DllNames names;
    std::string user;  // "prefix": the prefix user name, read once
};

/// The eight tasks in their fixed order; each holds a reference to `inputs` and writes into
/// `outcome`.
std::vector<graph::SetupTask> build_setup_tasks(const SetupInputs& inputs, SetupOutcome& outcome);

}  // namespace pelto::launcher::tasks
