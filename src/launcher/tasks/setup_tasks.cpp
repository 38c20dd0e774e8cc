#include "launcher/tasks/setup_tasks.hpp"

#include "base/posix.hpp"
#include "launcher/components/dll_deploy.hpp"
#include "launcher/components/steam_bridge.hpp"
#include "launcher/components/wineserver.hpp"
#include "launcher/prefix/pe_sync.hpp"
#include "launcher/prefix/registry.hpp"
#include "launcher/prefix/setup_prefix.hpp"

namespace pelto::launcher::tasks {

bool nvidia_present(const std::string& proc_root) {
    return base::exists(base::join_path(proc_root, "driver/nvidia/version"));
}

std::vector<graph::SetupTask> build_setup_tasks(const SetupInputs& inputs, DeployOutcome& outcome) {
    using graph::SetupResults;
    using graph::TaskOutput;
    const SetupInputs& in = inputs;
    std::vector<graph::SetupTask> tasks;
    tasks.reserve(8);

    // The prefix's directory skeleton and Wine modules, then its registry and Steam keys.
    tasks.push_back({"registry", {}, [&in](SetupResults&) -> TaskOutput {
                         prefix::sync_pe_files(in.wine_root, in.prefix);
                         prefix::seed_registry(in.prefix, in.own_exe);
                         return std::nullopt;
                     }});
    // Each task writes only its own field of `outcome`; the driver reads it after every worker
    // has been joined.
    tasks.push_back({"prefix", {"registry"}, [&in, &outcome](SetupResults&) -> TaskOutput {
                         outcome.wine_complete =
                             prefix::setup_prefix(in.wine_unchanged, in.own_exe, in.prefix,
                                                  in.wine_root, in.wine64, in.server_env);
                         return std::nullopt;
                     }});
    tasks.push_back({"wineserver", {"prefix"}, [&in](SetupResults&) -> TaskOutput {
                         components::prestart_wineserver(in.wineserver, in.prefix, in.server_env);
                         return std::nullopt;
                     }});
    tasks.push_back({"dxvk", {"prefix"}, [&in, &outcome](SetupResults&) -> TaskOutput {
                         auto result = components::deploy_dxvk(in.dxvk_unchanged,
                                                               in.dxvk_source_root, in.prefix);
                         outcome.dxvk_complete = result.complete;
                         return std::move(result.names);
                     }});
    tasks.push_back({"vkd3d", {"prefix"}, [&in, &outcome](SetupResults&) -> TaskOutput {
                         auto result = components::deploy_vkd3d(in.vkd3d_unchanged,
                                                                in.dxvk_source_root, in.prefix);
                         outcome.vkd3d_complete = result.complete;
                         return std::move(result.names);
                     }});
    tasks.push_back({"nvapi", {"prefix"}, [&in](SetupResults&) -> TaskOutput {
                         return components::deploy_nvapi(in.nvidia_present, in.wine_root,
                                                         in.prefix);
                     }});
    tasks.push_back({"dlss", {"prefix"}, [&in](SetupResults&) -> TaskOutput {
                         return components::deploy_dlss(in.nvidia_present, in.prefix);
                     }});
    tasks.push_back({"bridge", {"prefix"}, [&in](SetupResults&) -> TaskOutput {
                         components::deploy_steam_client(in.steam_dir, in.prefix, in.own_exe);
                         return std::nullopt;
                     }});
    return tasks;
}

}  // namespace pelto::launcher::tasks
