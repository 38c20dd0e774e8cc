// Folder launcher/session: the game's environment, its launch and the session end. Its place
// among the folders: src/layers.txt.
//
// Starting the game behind the Steam bridge, waiting for it while forwarding SIGINT/SIGTERM,
// then the session end and the save-data check.
#pragma once

#include <string>
#include <vector>

#include "base/posix.hpp"
#include "launcher/core/env_config.hpp"
#include "launcher/core/launch_lock.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "launcher/session/wine_env.hpp"

namespace pelto::launcher::session {

/// Everything the launch of the game works with: the driver's records, moved in whole, and what
/// was made of them for the game.
struct LaunchPlan {
    core::LaunchContext context;  // the game's executable and arguments among it
    core::WineInstall wine;
    std::string user;  // the prefix user name, read once the prefix was prepared
    WineEnv env;
    std::vector<core::CustomVar> custom_env;  // applied last, over everything
    std::string wine_debug;
    core::ServerEnv server;     // how the wineserver commands find the prefix's server
    bool protect_saves = true;  // false while another launch of the prefix protects them
    const core::LaunchLock* lock = nullptr;  // tells whether another launch runs; may be null
};

/// True unless another launch of the prefix runs, whose game would end with the Wine session.
bool may_end_wine_session(const core::LaunchLock* lock);

/// Starts and waits for the game; returns the launcher's exit status (the game's exit code,
/// 1 when it was killed or could not be started or waited for).
int run_game(const LaunchPlan& plan);

/// Ends a launch that a stop request interrupted before its game ran, as the signal `signo`
/// would have ended the launcher: the prefix's Wine session goes too when the launch has
/// started Wine (`server` given) and no other launch's game plays in the prefix.
[[noreturn]] void end_interrupted_launch(int signo, const std::string& wineserver,
                                         const core::ServerEnv* server,
                                         const core::LaunchLock* lock);

/// The handler of the stop signals, from the start of a launch: during the setup it kills the
/// setup's children and asks the driver to stop; during the game it sends SIGTERM to the
/// game's process group, and SIGKILL on a second signal.
void on_signal(int signo);

/// Installs `on_signal` for every stop signal.
void install_stop_handler();

/// True once SIGINT or SIGTERM reached the launcher during the session.
bool session_interrupted();

}  // namespace pelto::launcher::session
