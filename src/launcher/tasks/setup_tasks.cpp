#include "launcher/tasks/setup_tasks.hpp"

#include "launcher/components/dll_deploy.hpp"
#include "launcher/components/steam_bridge.hpp"
#include "launcher/components/wineserver.hpp"
#include "launcher/prefix/pe_sync.hpp"
#include "launcher/prefix/registry.hpp"
#include "launcher/prefix/setup_prefix.hpp"

namespace pelto::launcher::tasks {

std::vector<graph::SetupTask> build_setup_tasks(const SetupInputs& inputs, SetupOutcome& outcome) {
    const core::LaunchContext& context = inputs.context;
    const core::WineInstall& wine = inputs.wine;
    const std::string& pfx = context.prefix;
    SetupOutcome& out = outcome;
    std::vector<graph::SetupTask> tasks;
    tasks.reserve(8);

    // The prefix's directory skeleton and Wine modules, then its registry and Steam keys.
    tasks.push_back({"registry", {}, [&] {
                         prefix::sync_pe_files(wine.wine_root, pfx);
                         prefix::seed_registry(pfx, context.install_dir,
                                               context.home.for_stock_registry());
                     }});
    tasks.push_back({"prefix", {"registry"}, [&] {
                         prefix::PrefixSetup done =
                             prefix::setup_prefix(context, wine, inputs.flags.wine_unchanged,
                                                  inputs.wine_env, inputs.lock);
                         out.deployed.wine_complete = done.complete;
                         out.user = std::move(done.user);
                     }});
    tasks.push_back(
        {"wineserver", {"prefix"}, [&] {
             components::prestart_wineserver(
                 core::wineserver_command(wine.wineserver, inputs.wine_env, core::kStartServer),
                 pfx);
         }});
    tasks.push_back({"dxvk", {"prefix"}, [&] {
                         auto result = components::deploy_dxvk(inputs.flags.dxvk_unchanged,
                                                               wine.dxvk_source_root, pfx);
                         out.deployed.dxvk_complete = result.complete;
                         out.names.dxvk = std::move(result.names);
                     }});
    tasks.push_back({"vkd3d", {"prefix"}, [&] {
                         auto result = components::deploy_vkd3d(inputs.flags.vkd3d_unchanged,
                                                                wine.dxvk_source_root, pfx);
                         out.deployed.vkd3d_complete = result.complete;
                         out.names.vkd3d = std::move(result.names);
                     }});
    tasks.push_back({"nvapi", {"prefix"}, [&] {
                         out.names.nvapi =
                             components::deploy_nvapi(inputs.nvidia, wine.wine_root, pfx);
                     }});
    tasks.push_back({"dlss", {"prefix"}, [&] {
                         out.names.dlss = components::deploy_dlss(inputs.nvidia, pfx);
                     }});
    tasks.push_back({"bridge", {"prefix"}, [&] {
                         components::deploy_steam_client(context.steam_dir, pfx,
                                                         context.install_dir);
                     }});
    return tasks;
}

}  // namespace pelto::launcher::tasks
