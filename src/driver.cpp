// The spine of a launch. `run` at the bottom reads as the launch's phases, in the order a
// launch needs them, from discovery to the exit status: discover, lock, prepare the prefix,
// build the plan, protect the save data, start the game, wait for it, end the session, check
// the save data. Each phase is one call, and each fact is found once by `discover` and
// passed on; the process environment is read once, into a snapshot.
#include "driver.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <optional>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "base/version.hpp"
#include "graph/setup_graph.hpp"
#include "launcher/components/nvidia.hpp"
#include "launcher/components/wineserver.hpp"
#include "launcher/core/context.hpp"
#include "launcher/core/env_config.hpp"
#include "launcher/core/env_snapshot.hpp"
#include "launcher/core/launch_lock.hpp"
#include "launcher/core/launch_log.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "launcher/prefix/user.hpp"
#include "launcher/savedata/save_data.hpp"
#include "launcher/session/launch.hpp"
#include "launcher/session/launch_plan.hpp"
#include "launcher/session/session_end.hpp"
#include "launcher/session/shader_cache.hpp"
#include "launcher/session/wine_env.hpp"
#include "launcher/tasks/deploy_cache.hpp"
#include "launcher/tasks/setup_tasks.hpp"

namespace pelto {

namespace {

namespace components = launcher::components;
namespace core = launcher::core;
namespace savedata = launcher::savedata;
namespace session = launcher::session;
namespace tasks = launcher::tasks;

// How long a launch waits for another launch of the same directory to finish setting the
// prefix up: a first setup with wineboot takes seconds here, and two minutes leave room for a
// slow disk or a first Wine start that shows a dialog.
constexpr long kPrefixSetupWaitMs = 120'000;

// Everything discovery finds: complete once `discover` has returned it.
struct Launch {
    core::LaunchContext context;
    core::WineInstall wine;
    components::NvidiaDriver nvidia;
    core::EnvConfig env_config;     // read once, said after the setup
    core::WineProcessEnv wine_env;  // what every Wine process of the launch runs with
    uint64_t discover_ms = 0;
};

// What discovery gives: the launch, or the status the run ends with before anything starts.
struct Discovery {
    std::optional<int> exit_status;
    Launch launch;
};

// What the launch has started so far: a stop request ends that, then the launcher.
struct Started {
    const core::LaunchLock& lock;
    std::string wineserver;
    core::WineProcessEnv wine_env;
    bool wine_session = false;  // the setup may have started Wine processes and the server
    pid_t game = -1;            // the game's process group, once it was started
};

// What preparing the prefix gives the plan: what the tasks found, and how long they took.
struct Prepared {
    tasks::SetupOutcome outcome;
    graph::SetupResults results;
    uint64_t graph_ms = 0;
};

// Steam may start the launcher with closed standard descriptors; give each one /dev/null so
// that neither the log nor a later open lands on descriptor 0, 1 or 2 by accident.
void secure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        // Deliberately inheritable: it becomes the standard stream of every child.
        (void)::open("/dev/null", O_RDWR);
    }
}

bool is_query(const std::string& verb) {
    return verb == "getcompatpath" || verb == "getnativepath";
}

int answer_query(const std::vector<std::string>& rest) {
    if (!rest.empty()) (void)base::write_all(STDOUT_FILENO, rest[0] + "\n");
    return 0;
}

Discovery ends_with(int status) { return Discovery{status, {}}; }

// The Wine build, its loader and the DLL source. Ends the run without a loader.
std::optional<int> discover_wine(Launch& launch, const std::optional<std::string>& own_exe) {
    core::LaunchContext& context = launch.context;
    core::WineInstall& wine = launch.wine;
    std::string home = context.home.for_user_paths();
    wine.wine_root = core::find_wine_root(context.env.text("PELTO_WINE_DIR"), own_exe, home);
    context.steam_dir =
        core::find_steam_dir(home, context.env.text("STEAM_COMPAT_CLIENT_INSTALL_PATH"));
    // The game's Steam API reaches this library through the bridge.
    context.steam_client = core::steam_client_library(context.steam_dir);
    wine.wine64 = core::wine_loader_path(wine.wine_root);
    if (!base::exists(wine.wine64)) {
        base::log_error(base::concat("wine not found at ", base::lossy_utf8(wine.wine64)));
        base::log_error("Need Wine binaries. Install Wine from your package manager.");
        return 1;
    }
    wine.proton_files = core::find_proton_files(home);
    wine.dxvk_source_root = core::choose_dxvk_source(home, wine.wine_root, wine.proton_files);
    wine.wineserver = core::wineserver_path(wine.wine_root);
    return std::nullopt;
}

// The compatibility data directory and the prefix (made here); ends the run without them and
// for Steam's probe prefix.
std::optional<int> discover_prefix(core::LaunchContext& context) {
    context.compat_data = context.env.text_or("STEAM_COMPAT_DATA_PATH", "");
    context.app_id = context.env.text_or("SteamAppId", "");
    base::log_debug("STEAM_COMPAT_DATA_PATH=", context.compat_data, " SteamAppId=", context.app_id,
                    " verb=", context.verb);
    if (context.compat_data.empty()) {
        base::log_error("STEAM_COMPAT_DATA_PATH not set — not launched from Steam?");
        return 1;
    }
    if (core::is_compatdata_zero(context.compat_data) && context.verb == "run") {
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
    context.game_install_path = context.env.text_or("STEAM_COMPAT_INSTALL_PATH", "");
    context.working_dir = base::current_dir();
    context.shortcut = context.env.text("STEAM_COMPAT_APP_ID") == "0";
    context.library_paths = context.env.text_or("STEAM_COMPAT_LIBRARY_PATHS", "");
    return std::nullopt;
}

// The program to start, and the launcher's own path; ends the run for Steam's utilities, and
// for a 32-bit program that the Wine build cannot run.
std::optional<int> discover_game(Launch& launch, const std::optional<std::string>& own_exe,
                                 int own_exe_error, const std::vector<std::string>& rest) {
    core::LaunchContext& context = launch.context;
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
    context.install_dir = base::parent_dir(*own_exe).value_or("");
    // Wine without its 32-bit half fails silently on a 32-bit game and reports success.
    if (core::needs_32bit_wine(context.exe) && !core::has_32bit_modules(launch.wine.wine_root)) {
        base::log_error(base::concat(
            base::as_text(context.exe), " is a 32-bit Windows program, but the Wine build at ",
            base::as_text(launch.wine.wine_root),
            " has no 32-bit modules (i386-windows/ntdll.dll) — install Wine's 32-bit part (Debian: "
            "sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install "
            "wine32:i386), then run install.py again"));
        return 1;
    }
    return std::nullopt;
}

// Everything the launch needs to know, found once: Wine first, so a launch outside Steam
// still reports a missing Wine first.
Discovery discover(const std::string& verb, const std::vector<std::string>& rest) {
    Launch launch;
    core::LaunchContext& context = launch.context;
    context.verb = verb;
    context.started = base::Clock::now();
    // The one read of the process environment: every later phase reads this snapshot.
    context.env = core::take_env_snapshot(base::current_environment());
    context.home.value = context.env.text("HOME");
    context.verbose = core::verbose_switch(context.env, context.home.value);
    base::set_verbose(context.verbose);
    context.log_dir = core::kLogDir;
    context.game_app_id = core::game_app_id(context.env);
    // The player's log file holds every line from here on.
    std::optional<std::string> log_path = core::launch_log_path(
        context.env.text("PELTO_LOG"), context.home.value, context.game_app_id);
    if (log_path) base::hold_log_copy();
    base::log_debug("pelto ", base::version());

    int own_exe_error = 0;
    std::optional<std::string> own_exe = core::read_own_exe(own_exe_error);
    std::optional<int> status = discover_wine(launch, own_exe);
    if (!status) status = discover_prefix(context);
    if (!status) status = discover_game(launch, own_exe, own_exe_error, rest);
    // The player's log file starts once the run is known to start the game or to fail: Steam's
    // utility runs and its probe prefix, which end at once with success, would otherwise
    // replace the log of the game's last launch with their own.
    if (log_path && status.value_or(1) != 0) {
        core::LaunchLogFacts facts{verb,
                                   rest.empty() ? "" : rest[0],
                                   {},
                                   launch.wine.wine_root,
                                   launch.wine.wine64,
                                   *context.env.entries};
        if (!rest.empty()) facts.args.assign(rest.begin() + 1, rest.end());
        core::start_launch_log(*log_path, facts);
    }
    if (status) return ends_with(*status);
    launch.discover_ms = base::elapsed_ms(context.started);
    base::log_debug("wine64: ", base::as_text(launch.wine.wine64));
    base::log_debug("wineserver: ", base::as_text(launch.wine.wineserver));
    base::log_debug("steam: ", base::as_text(context.steam_dir));

    launch.nvidia = components::find_nvidia_driver();
    launch.env_config = core::load_env_config(context.install_dir);
    // Every Wine process of the launch must find the same server, so what the custom file gives
    // the game that moves it is known before the first of them starts.
    launch.wine_env =
        core::WineProcessEnv{context.prefix, core::server_tmpdir(launch.env_config.vars),
                             context.env.entries, context.env.text("WINEDLLOVERRIDES")};
    return Discovery{std::nullopt, std::move(launch)};
}

// Named last, where a player who started the game from a terminal sees it.
int finish(int status) {
    base::end_log_copy();
    return status;
}

// Ends what the launch has started, on a stop or a failure: the game's group, and the prefix's
// Wine session with what the setup and the game started in it (the wineserver started ahead
// for the game among them), unless another launch's game plays in the prefix. Returns 1, the
// exit status of a launch that failed.
int end_launch(const Started& started) {
    if (started.game > 0) ::kill(-started.game, SIGKILL);
    if (started.wine_session && core::may_end_wine_session(&started.lock)) {
        session::stop_wine_session(started.wineserver, started.wine_env);
    }
    return finish(1);
}

// Ends the launch when a stop was asked for, as the signal would have ended it (the setup's
// children were killed when it came).
void end_if_stopped(const Started& started) {
    int signo = base::stop_signal();
    if (signo == 0) return;
    end_launch(started);
    base::end_by_signal(signo);
}

// The eight setup tasks on worker threads, with the deployment record before and after them.
Prepared prepare_prefix(const Launch& launch, const core::LaunchLock& lock) {
    const core::LaunchContext& context = launch.context;
    // The record tells which component trees are unchanged since the last launch.
    tasks::Stamps stamps = tasks::compute_stamps(launch.wine.wine_root,
                                                 launch.wine.dxvk_source_root, context.steam_dir);
    tasks::ChangeFlags flags =
        tasks::change_flags(tasks::read_deploy_cache(context.prefix), stamps);
    tasks::SetupInputs inputs{context, launch.wine, flags, launch.nvidia, launch.wine_env, &lock};
    Prepared prepared;
    base::Clock::time_point graph_started = base::Clock::now();
    prepared.results = graph::SetupGraph::run(tasks::build_setup_tasks(inputs, prepared.outcome));
    prepared.graph_ms = base::elapsed_ms(graph_started);
    tasks::update_deploy_cache(context.prefix, flags, stamps, prepared.outcome.deployed);
    return prepared;
}

std::string timing_list(const graph::SetupResults& results) {
    std::string text;
    for (const auto& [name, ms] : results.timings) {
        if (!text.empty()) text += ' ';
        text += base::concat(name, "=", ms, "ms");
    }
    return text;
}

// The launcher's own environment gets the custom variables too: the log's clock follows
// their TZ, and the observer is looked up through their PATH. No worker thread runs any more,
// so changing the process environment is safe.
void run_on_with_custom_vars(const core::EnvSnapshot& game_env) {
    std::vector<base::EnvChange> custom;
    for (const core::CustomVar& var : game_env.custom) custom.push_back({var.name, var.value});
    if (!custom.empty()) base::set_environment(custom);
}

// How long discovery, the setup graph and each task took, for the verbose log.
void log_timing(const Launch& launch, const Prepared& prepared) {
    if (!base::verbose()) return;
    base::log_debug("timing: discover=", launch.discover_ms, "ms graph=", prepared.graph_ms, "ms [",
                    timing_list(prepared.results),
                    "] total=", base::elapsed_ms(launch.context.started), "ms");
}

// The game's environment, from `game_env`: the snapshot with the custom variables laid over.
session::LaunchPlan build_plan(Launch launch, Prepared prepared, const core::EnvSnapshot& game_env,
                               const core::LaunchLock& lock) {
    const core::EnvSnapshot& started_env = launch.context.env;
    // Decided before env_config is laid over, as it always was; the other switches follow it.
    bool trace_opcodes = started_env.text("PELTO_TRACE_OPCODES").has_value() ||
                         base::exists(base::join_path(launch.context.log_dir, "TRACE_OPCODES"));
    core::Home game_home{game_env.text("HOME")};
    std::string app_id = core::game_app_id(game_env);

    session::LaunchPlan plan;
    plan.user = std::move(prepared.outcome.user);
    plan.use_wined3d = game_env.is_on("PELTO_USE_WINED3D");
    plan.env = session::build_game_env({.wine = launch.wine,
                                        .wine_env = launch.wine_env,
                                        .user = plan.user,
                                        .dlls = prepared.outcome.names,
                                        .env = game_env,
                                        .home = game_home,
                                        .app_id = app_id,
                                        .nvidia = launch.nvidia,
                                        .verbose = launch.context.verbose,
                                        .trace_opcodes = trace_opcodes,
                                        .use_wined3d = plan.use_wined3d,
                                        .shader_caches = session::shader_cache_env(
                                            game_env.text("STEAM_COMPAT_SHADER_PATH"), game_env),
                                        .steam_client = launch.context.steam_client});
    plan.trace = game_env.is_on("PELTO_TRACE");
    plan.trace_out = game_env.is_on("PELTO_TRACE_OUT");
    plan.context = std::move(launch.context);
    plan.wine = std::move(launch.wine);
    plan.wine_env = std::move(launch.wine_env);
    plan.protect_saves = lock.protects_saves;
    plan.lock = &lock;
    return plan;
}

// The save data is copied before the game can change it, unless another launch of the prefix
// runs: its snapshot and check are that launch's, which this one must not remove.
savedata::SaveSnapshot protect_save_data(const session::LaunchPlan& plan) {
    if (plan.protect_saves) return savedata::snapshot_save_data(plan.context.prefix, plan.user);
    base::log_warn(
        "save backup: another launch of this prefix is running — its save data is protected by "
        "that launch");
    return {};
}

}  // namespace

int run(const std::string& verb, const std::vector<std::string>& rest) {
    secure_standard_descriptors();
    // The query verbs answer at once: nothing is read or started for them.
    if (is_query(verb)) return answer_query(rest);
    // From here on a signal ends what the launch has started before the launcher goes.
    session::install_stop_handler();

    Discovery discovery = discover(verb, rest);
    if (discovery.exit_status) return finish(*discovery.exit_status);
    Launch& launch = discovery.launch;
    // One launch of the compatibility data directory sets the prefix up at a time, and only
    // the first protects the save data.
    core::LaunchLock lock = core::open_launch_lock(launch.context.compat_data);
    Started started{lock, launch.wine.wineserver, launch.wine_env};
    core::begin_prefix_setup(lock, kPrefixSetupWaitMs);
    end_if_stopped(started);
    started.wine_session = true;
    Prepared prepared = prepare_prefix(launch, lock);
    // The next launch of the directory may set the prefix up from here on.
    core::end_prefix_setup(lock);
    end_if_stopped(started);
    // What env_config sets, said once the setup is done; the game gets it over the snapshot.
    core::report_env_config(launch.env_config);
    core::EnvSnapshot game_env = core::with_custom_vars(launch.context.env, launch.env_config.vars);
    run_on_with_custom_vars(game_env);
    log_timing(launch, prepared);
    session::LaunchPlan plan = build_plan(std::move(launch), std::move(prepared), game_env, lock);
    // Servers of crashed sessions leave sockets nobody answers; Wine would trip over them.
    components::sweep_stale_server_dirs();
    session::check_before_launch(plan);
    savedata::SaveSnapshot saves = protect_save_data(plan);
    // A stop that came since the setup: the game is not started at all.
    end_if_stopped(started);
    std::optional<session::RunningGame> game = session::start_game(plan);
    if (!game) return end_launch(started);
    started.game = game->pid;
    std::optional<int> wait_status = session::wait_for_game(*game);
    if (!wait_status) return end_launch(started);
    // Steam shows the game as running until the launcher exits: the session ends with it.
    session::end_game_session(plan, *game, *wait_status);
    // Save files that went missing come back from the snapshot.
    savedata::check_save_data(plan.context.prefix, plan.user, saves);
    return finish(session::exit_status(*wait_status));
}

}  // namespace pelto
