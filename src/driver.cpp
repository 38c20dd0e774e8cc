// The spine of a launch: discovery, prefix preparation, the game's environment, the launch.
// Each phase is one call, in the order a launch needs them.
#include "driver.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "base/version.hpp"
#include "graph/setup_graph.hpp"
#include "launcher/components/wineserver.hpp"
#include "launcher/core/context.hpp"
#include "launcher/core/env_config.hpp"
#include "launcher/core/launch_lock.hpp"
#include "launcher/core/launch_log.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "launcher/session/launch.hpp"
#include "launcher/session/session_end.hpp"
#include "launcher/session/wine_env.hpp"
#include "launcher/tasks/deploy_cache.hpp"
#include "launcher/tasks/setup_tasks.hpp"

namespace pelto {

namespace {

namespace components = launcher::components;
namespace core = launcher::core;
namespace session = launcher::session;
namespace tasks = launcher::tasks;

// Steam may start the launcher with closed standard descriptors; give each one /dev/null so
// that neither the log nor a later open lands on descriptor 0, 1 or 2 by accident.
void secure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        // Deliberately inheritable: it becomes the standard stream of every child.
        (void)::open("/dev/null", O_RDWR);
    }
}

// How long a launch waits for another launch of the same directory to finish setting the
// prefix up: a first setup with wineboot takes seconds here, and two minutes leave room for a
// slow disk or a first Wine start that shows a dialog.
constexpr long kPrefixSetupWaitMs = 120'000;

void answer_query(const std::vector<std::string>& rest) {
    if (rest.empty()) return;
    (void)base::write_all(STDOUT_FILENO, rest[0] + "\n");
}

std::string timing_list(const graph::SetupResults& results) {
    std::string text;
    for (const auto& [name, ms] : results.timings) {
        if (!text.empty()) text += ' ';
        text += base::concat(name, "=", ms, "ms");
    }
    return text;
}

bool trace_opcodes_requested() {
    if (base::env_text("PELTO_TRACE_OPCODES")) return true;
    return base::exists("/tmp/pelto/TRACE_OPCODES");
}

// Everything a launch does after the query verbs; returns the launcher's exit status.
int launch(const std::string& verb, const std::vector<std::string>& rest) {
    // From here on a signal ends what the launch has started before the launcher goes.
    session::install_stop_handler();
    // The player's log file holds every line from here on.
    std::optional<std::string> log_path = core::launch_log_path(
        base::env_text("PELTO_LOG"), base::env_text("HOME"), session::game_app_id());
    if (log_path) base::hold_log_copy();
    base::log_debug("pelto ", base::version());
    core::LaunchContext context;
    context.verb = verb;
    context.started = base::Clock::now();
    context.home = base::env_text("HOME").value_or("");

    // Discovery: Wine first, so a launch outside Steam still reports a missing Wine first.
    int own_exe_error = 0;
    std::optional<std::string> own_exe = core::read_own_exe(own_exe_error);
    core::WineInstall wine;
    wine.wine_root = core::find_wine_root(own_exe, context.home);
    context.steam_dir = core::find_steam_dir(context.home);
    wine.wine64 = core::wine_loader_path(wine.wine_root);
    if (log_path) {
        core::LaunchLogFacts facts{
            verb, rest.empty() ? "" : rest[0], {}, wine.wine_root, wine.wine64};
        if (!rest.empty()) facts.args.assign(rest.begin() + 1, rest.end());
        core::start_launch_log(*log_path, facts);
    }
    if (!base::exists(wine.wine64)) {
        base::log_error(base::concat("wine not found at ", base::lossy_utf8(wine.wine64)));
        base::log_error("Need Wine binaries. Install Wine from your package manager.");
        return 1;
    }
    wine.proton_files = core::find_proton_files(context.home);
    wine.dxvk_source_root =
        core::choose_dxvk_source(context.home, wine.wine_root, wine.proton_files);

    context.compat_data = base::env_text("STEAM_COMPAT_DATA_PATH").value_or("");
    context.app_id = base::env_text("SteamAppId").value_or("");
    base::log_debug("STEAM_COMPAT_DATA_PATH=", context.compat_data, " SteamAppId=", context.app_id,
                    " verb=", verb);
    if (context.compat_data.empty()) {
        base::log_error("STEAM_COMPAT_DATA_PATH not set — not launched from Steam?");
        return 1;
    }
    if (core::is_compatdata_zero(context.compat_data) && verb == "run") {
        base::log_debug("Skipping Steam prefix probe (compatdata/0, verb=run)");
        return 0;
    }
    context.prefix = base::join_path(context.compat_data, "pfx");
    if (int error = base::make_dirs(context.prefix); error != 0) {
        base::log_error(base::concat("Failed to create prefix directory ",
                                     base::lossy_utf8(context.prefix), ": ",
                                     base::error_text(error)));
        return 1;
    }

    if (verb != "run" && verb != "waitforexitandrun") {
        base::log_error(base::concat("Unknown verb: ", verb));
        return 1;
    }
    if (rest.empty()) {
        base::log_error("No executable specified");
        return 1;
    }
    context.exe = rest[0];
    context.args.assign(rest.begin() + 1, rest.end());
    if (core::is_steam_utility(context.exe)) {
        base::log_debug("skipping Steam utility: ", base::as_text(context.exe));
        return 0;
    }
    if (!own_exe) {
        base::log_error(base::concat("Failed to determine own executable path: ",
                                     base::error_text(own_exe_error)));
        return 1;
    }
    context.own_exe = *own_exe;
    // Wine without its 32-bit half fails silently on a 32-bit game and reports success.
    if (core::pe_machine(context.exe) == core::kMachineI386 &&
        !core::has_32bit_modules(wine.wine_root)) {
        base::log_error(base::concat(
            base::as_text(context.exe), " is a 32-bit Windows program, but the Wine build at ",
            base::as_text(wine.wine_root),
            " has no 32-bit modules (i386-windows/ntdll.dll) — install Wine's 32-bit part (Debian: "
            "sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install "
            "wine32:i386), then run install.py again"));
        return 1;
    }
    wine.wineserver = core::wineserver_path(wine.wine_root);
    uint64_t discover_ms = base::elapsed_ms(context.started);

    base::log_debug("wine64: ", base::as_text(wine.wine64));
    base::log_debug("wineserver: ", base::as_text(wine.wineserver));
    base::log_debug("steam: ", base::as_text(context.steam_dir));

    // Another launch of this directory may be running: one at a time sets the prefix up, and
    // only the first protects the save data.
    core::LaunchLock lock = core::open_launch_lock(context.compat_data);
    core::begin_prefix_setup(lock, kPrefixSetupWaitMs);
    // Nothing has been started yet: a stop needs no clean-up.
    if (int signo = base::stop_signal()) base::end_by_signal(signo);

    // The cache tells which component trees are unchanged since the last launch.
    tasks::Stamps stamps =
        tasks::compute_stamps(wine.wine_root, wine.dxvk_source_root, context.steam_dir);
    tasks::ChangeFlags flags =
        tasks::change_flags(tasks::read_deploy_cache(context.prefix), stamps);
    bool nvidia_present = tasks::nvidia_present();
    // Every Wine process of the launch must find the same server, so what the custom file gives
    // the game that moves it is known before the first of them starts.
    std::vector<core::CustomVar> custom_vars = core::load_env_config(context.own_exe);
    core::ServerEnv server{context.prefix, core::server_tmpdir(custom_vars), nullptr};

    // Prepare the prefix: the eight setup tasks on worker threads.
    base::Clock::time_point graph_started = base::Clock::now();
    tasks::SetupInputs inputs{context.prefix,        context.own_exe,      wine.wine_root,
                              wine.wine64,           wine.wineserver,      wine.dxvk_source_root,
                              context.steam_dir,     flags.wine_unchanged, flags.dxvk_unchanged,
                              flags.vkd3d_unchanged, nvidia_present,       server.changes()};
    tasks::DeployOutcome outcome;
    graph::SetupResults results = graph::SetupGraph::run(tasks::build_setup_tasks(inputs, outcome));
    uint64_t graph_ms = base::elapsed_ms(graph_started);

    std::vector<std::string> dxvk_names = results.names_of("dxvk");
    std::vector<std::string> vkd3d_names = results.names_of("vkd3d");
    std::vector<std::string> nvapi_names = results.names_of("nvapi");
    std::vector<std::string> dlss_names = results.names_of("dlss");
    tasks::update_deploy_cache(context.prefix, flags, stamps, outcome);
    core::end_prefix_setup(lock);
    if (int signo = base::stop_signal()) {
        // The setup's children were killed when the signal came; what they started, and the
        // wineserver started ahead for the game, end with the prefix's Wine session (unless
        // another launch's game plays in it).
        if (!core::another_launch_running(lock)) {
            session::stop_wine_session(wine.wine_root, server);
        }
        base::end_by_signal(signo);
    }

    // Everything below reads the environment after the custom variables are in place; the
    // worker threads have all ended, so changing it is safe.
    bool trace_opcodes = trace_opcodes_requested();
    server.inherited =
        std::make_shared<const std::vector<std::string>>(base::current_environment());
    std::vector<core::CustomVar> custom_env = core::apply_custom_env(custom_vars);
    session::WineEnv env = session::build_wine_env(wine.wine_root, context.prefix, dxvk_names,
                                                   vkd3d_names, nvapi_names, dlss_names);
    std::string wine_debug = core::wine_debug_value(trace_opcodes);

    if (base::verbose()) {
        base::log_debug("timing: discover=", discover_ms, "ms graph=", graph_ms, "ms [",
                        timing_list(results), "] total=", base::elapsed_ms(context.started), "ms");
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
    plan.server = std::move(server);
    plan.protect_saves = lock.protects_saves;
    plan.lock = &lock;
    return session::run_game(plan, context.exe, context.args);
}

}  // namespace

int run(const std::string& verb, const std::vector<std::string>& rest) {
    secure_standard_descriptors();
    if (verb == "getcompatpath" || verb == "getnativepath") {
        answer_query(rest);
        return 0;
    }
    int status = launch(verb, rest);
    // Named last, where a player who started the game from a terminal sees it.
    base::end_log_copy();
    return status;
}

}  // namespace pelto
