// The spine of a launch: discovery, prefix preparation, the game's environment, the launch.
// Each phase is one call, in the order a launch needs them.
#include "launcher/core/driver.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "launcher/core/context.hpp"
#include "launcher/core/env_config.hpp"
#include "launcher/core/log.hpp"
#include "launcher/core/posix.hpp"
#include "launcher/core/text.hpp"
#include "graph/setup_graph.hpp"
#include "launcher/components/wineserver.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/session/launch.hpp"
#include "launcher/session/wine_env.hpp"
#include "launcher/tasks/deploy_cache.hpp"
#include "launcher/tasks/setup_tasks.hpp"

namespace pelto::launcher::core {

namespace {

// Steam may start the launcher with closed standard descriptors; give each one /dev/null so
// that neither the log nor a later open lands on descriptor 0, 1 or 2 by accident.
void secure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        // Deliberately inheritable: it becomes the standard stream of every child.
        (void)::open("/dev/null", O_RDWR);
    }
}

void answer_query(const std::vector<std::string>& rest) {
    if (rest.empty()) return;
    (void)write_all(STDOUT_FILENO, rest[0] + "\n");
}

std::string timing_list(const graph::SetupResults& results) {
    std::string text;
    for (const auto& [name, ms] : results.timings) {
        if (!text.empty()) text += ' ';
        text += concat(name, "=", ms, "ms");
    }
    return text;
}

bool trace_opcodes_requested() {
    if (env_text("PELTO_TRACE_OPCODES")) return true;
    return exists("/tmp/pelto/TRACE_OPCODES");
}

}  // namespace

int run(const std::string& verb, const std::vector<std::string>& rest) {
    secure_standard_descriptors();
    if (verb == "getcompatpath" || verb == "getnativepath") {
        answer_query(rest);
        return 0;
    }

    LaunchContext context;
    context.verb = verb;
    context.started = Clock::now();
    context.home = env_text("HOME").value_or("");

    // Discovery: Wine first, so a launch outside Steam still reports a missing Wine first.
    int own_exe_error = 0;
    std::optional<std::string> own_exe = read_own_exe(own_exe_error);
    WineInstall wine;
    wine.wine_root = find_wine_root(own_exe, context.home);
    context.steam_dir = find_steam_dir(context.home);
    wine.wine64 = wine_loader_path(wine.wine_root);
    if (!exists(wine.wine64)) {
        log_error(concat("wine not found at ", lossy_utf8(wine.wine64)));
        log_error("Need Wine binaries. Install Wine from your package manager.");
        return 1;
    }
    wine.proton_files = find_proton_files(context.home);
    wine.dxvk_source_root = choose_dxvk_source(context.home, wine.wine_root, wine.proton_files);

    context.compat_data = env_text("STEAM_COMPAT_DATA_PATH").value_or("");
    context.app_id = env_text("SteamAppId").value_or("");
    log_debug(concat("STEAM_COMPAT_DATA_PATH=", context.compat_data, " SteamAppId=", context.app_id,
                     " verb=", verb));
    if (context.compat_data.empty()) {
        log_error("STEAM_COMPAT_DATA_PATH not set — not launched from Steam?");
        return 1;
    }
    if (is_compatdata_zero(context.compat_data) && verb == "run") {
        log_debug("Skipping Steam prefix probe (compatdata/0, verb=run)");
        return 0;
    }
    context.prefix = join_path(context.compat_data, "pfx");
    if (int error = make_dirs(context.prefix); error != 0) {
        log_error(concat("Failed to create prefix directory ", lossy_utf8(context.prefix), ": ",
                         error_text(error)));
        return 1;
    }

    if (verb != "run" && verb != "waitforexitandrun") {
        log_error(concat("Unknown verb: ", verb));
        return 1;
    }
    if (rest.empty()) {
        log_error("No executable specified");
        return 1;
    }
    context.exe = rest[0];
    context.args.assign(rest.begin() + 1, rest.end());
    if (is_steam_utility(context.exe)) {
        log_debug(concat("skipping Steam utility: ", lossy_utf8(context.exe)));
        return 0;
    }
    if (!own_exe) {
        log_error(concat("Failed to determine own executable path: ", error_text(own_exe_error)));
        return 1;
    }
    context.own_exe = *own_exe;
    wine.wineserver = wineserver_path(wine.wine_root);
    uint64_t discover_ms = elapsed_ms(context.started);

    log_debug(concat("wine64: ", lossy_utf8(wine.wine64)));
    log_debug(concat("wineserver: ", lossy_utf8(wine.wineserver)));
    log_debug(concat("steam: ", lossy_utf8(context.steam_dir)));

    // The cache tells which component trees are unchanged since the last launch.
    tasks::Stamps stamps = tasks::compute_stamps(wine.wine_root, wine.dxvk_source_root, context.steam_dir);
    tasks::ChangeFlags flags = tasks::change_flags(tasks::read_deploy_cache(context.prefix), stamps);
    bool nvidia_present = tasks::nvidia_present();

    // Prepare the prefix: the eight setup tasks on worker threads.
    Clock::time_point graph_started = Clock::now();
    tasks::SetupInputs inputs{context.prefix,          context.own_exe,   wine.wine_root,
                              wine.wine64,             wine.wineserver,   wine.dxvk_source_root,
                              context.steam_dir,       flags.wine_unchanged, flags.dxvk_unchanged,
                              flags.vkd3d_unchanged,   nvidia_present};
    graph::SetupResults results = graph::SetupGraph::run(tasks::build_setup_tasks(inputs));
    uint64_t graph_ms = elapsed_ms(graph_started);

    std::vector<std::string> dxvk_names = results.names_of("dxvk");
    std::vector<std::string> vkd3d_names = results.names_of("vkd3d");
    std::vector<std::string> nvapi_names = results.names_of("nvapi");
    std::vector<std::string> dlss_names = results.names_of("dlss");
    tasks::update_deploy_cache(context.prefix, flags, stamps);

    // Everything below reads the environment after the custom variables are in place; the
    // worker threads have all ended, so changing it is safe.
    bool trace_opcodes = trace_opcodes_requested();
    std::vector<CustomVar> custom_env = apply_custom_env(load_env_config(context.own_exe));
    session::WineEnv env = session::build_wine_env(wine.wine_root, context.prefix, dxvk_names,
                                                   vkd3d_names, nvapi_names, dlss_names);
    std::string wine_debug = session::wine_debug_value(trace_opcodes);

    if (verbose()) {
        log_debug(concat("timing: discover=", discover_ms, "ms graph=", graph_ms, "ms [",
                         timing_list(results), "] total=", elapsed_ms(context.started), "ms"));
    }

    // Servers of crashed sessions leave sockets nobody answers; Wine would trip over them.
    components::sweep_stale_server_dirs();

    session::LaunchPlan plan;
    plan.wine_root = wine.wine_root;
    plan.wine64 = wine.wine64;
    plan.prefix = context.prefix;
    plan.env = std::move(env);
    plan.custom_env = std::move(custom_env);
    plan.wine_debug = std::move(wine_debug);
    plan.log_dir = "/tmp/pelto";
    plan.started = context.started;
    return session::run_game(plan, context.exe, context.args);
}

}  // namespace pelto::launcher::core
