// Folder launcher/session: the game's environment, its launch and the session end. Its place
// among the folders: src/layers.txt.
//
// What the driver hands to the launch of the game: its records, moved in whole, and what was
// made of them for the game.
#pragma once

#include <string>

#include "launcher/core/context.hpp"
#include "launcher/core/launch_lock.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "launcher/session/wine_env.hpp"

namespace pelto::launcher::session {

struct LaunchPlan {
    core::LaunchContext context;  // the game's executable and arguments among it
    core::WineInstall wine;
    core::WineProcessEnv wine_env;  // how every Wine process finds the prefix's server
    std::string user;               // the prefix user name, read once the prefix was prepared
    WineEnv env;                    // the game's whole environment (`build_game_env`)
    bool use_wined3d = false;       // PELTO_USE_WINED3D: Wine's own Direct3D, not DXVK/VKD3D
    bool trace = false;             // PELTO_TRACE: the observer starts beside the game
    bool trace_out = false;         // PELTO_TRACE_OUT: it also writes a trace file
    bool protect_saves = true;      // false while another launch of the prefix protects them
    const core::LaunchLock* lock = nullptr;  // tells whether another launch runs; may be null
};

}  // namespace pelto::launcher::session
