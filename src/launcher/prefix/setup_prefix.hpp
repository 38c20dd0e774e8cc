// Folder launcher/prefix: the prefix itself (modules, registry, template copy, drives, user
// name). Its place among the folders: src/layers.txt.
//
// Creation and repair of the game's Wine prefix: from the Wine build's template, from the
// launcher's baked template, or with Wine's own wineboot.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/process.hpp"
#include "launcher/core/context.hpp"
#include "launcher/core/launch_lock.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"

namespace pelto::launcher::prefix {

/// What the setup of a prefix found.
struct PrefixSetup {
    bool complete;     // false: the next launch creates or repairs the prefix again
    std::string user;  // the prefix user name (`prefix_user_name`), read once
};

/// Prepares the context's prefix (only the user folders and S: when `wine_unchanged`); logs its
/// own failures. Not complete when the creation or repair did not finish (a failed or stopped
/// wineboot, template files that could not be deployed), so that the next launch does it
/// again. wineboot runs with `wine_env`, as every Wine process of the launch; `lock` tells
/// whether the prefix's Wine session may be ended (nullptr: it may).
PrefixSetup setup_prefix(const core::LaunchContext& context, const core::WineInstall& wine,
                         bool wine_unchanged, const core::WineProcessEnv& wine_env,
                         const core::LaunchLock* lock = nullptr);

/// Runs "wineboot --init" for the context's prefix, with Wine's update stamp removed first so
/// that wineboot builds the whole prefix, in a wineserver of its own that ends with the last
/// process of the prefix. Returns as soon as wineboot has: true when it succeeded. A failed or
/// stopped wineboot (ERROR lines say why) leaves no update stamp, so that the next wineboot
/// builds the prefix again, and its server is ended only when `may_end_wine_session(lock)`.
/// install.py makes the shared template with it too, through the helper pelto-wineboot.
bool run_wineboot(const core::LaunchContext& context, const core::WineInstall& wine,
                  const core::WineProcessEnv& wine_env, const std::string& user,
                  const core::LaunchLock* lock = nullptr);

/// Copies the tree `src` into "{pfx}/{relative}" (links in `src` followed, dangling ones
/// skipped, files replaced), every directory resolved inside the prefix; returns the first
/// errno (EXDEV for a link on the way that leads out of the prefix), nothing when everything
/// was copied.
std::optional<int> copy_tree(const std::string& src, const std::string& pfx,
                             std::string_view relative);

}  // namespace pelto::launcher::prefix
