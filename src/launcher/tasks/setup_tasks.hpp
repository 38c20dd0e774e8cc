// Folder launcher/tasks: the eight setup tasks and the deployment cache; imports base, graph,
// launcher/components and launcher/prefix.
//
// The launcher's eight setup tasks: their names, dependencies and bodies. They run in three
// waves: "registry"; then "prefix"; then "wineserver", "dxvk", "vkd3d", "nvapi", "dlss" and
// "bridge" together.
#pragma once

#include <string>
#include <vector>

#include "base/process.hpp"
#include "graph/setup_graph.hpp"
#include "launcher/tasks/deploy_cache.hpp"

namespace pelto::launcher::tasks {

/// What the tasks work with; owned by the run driver and outliving `SetupGraph::run`.
struct SetupInputs {
    std::string prefix, own_exe, wine_root, wine64, wineserver, dxvk_source_root, steam_dir;
    bool wine_unchanged = false, dxvk_unchanged = false, vkd3d_unchanged = false,
         nvidia_present = false;
    std::vector<base::EnvChange> server_env;  // what locates the launch's wineserver
};

/// True when "{proc_root}/driver/nvidia/version" exists.
bool nvidia_present(const std::string& proc_root = "/proc");

/// The eight tasks in their fixed order; each holds a reference to `inputs`. "prefix", "dxvk"
/// and "vkd3d" note in `outcome` whether their deployment completed.
std::vector<graph::SetupTask> build_setup_tasks(const SetupInputs& inputs, DeployOutcome& outcome);

}  // namespace pelto::launcher::tasks
