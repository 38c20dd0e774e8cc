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
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"

namespace pelto::launcher::prefix {

/// Prepares the context's prefix (only the user folders and S: when `wine_unchanged`); logs its
/// own failures. Returns false when the creation or repair did not complete (a failed
/// wineboot, template files that could not be deployed), so that the next launch does it
/// again. wineboot runs with `wine_env`, as every Wine process of the launch.
bool setup_prefix(const core::LaunchContext& context, const core::WineInstall& wine,
                  bool wine_unchanged, const core::WineProcessEnv& wine_env);

/// Runs "wineboot --init" for the context's prefix, in a wineserver of its own that ends with
/// wineboot's last process and is waited for (the registry is written then). True when
/// wineboot succeeded; its failures are ERROR lines. install.py makes the shared template
/// with it too, through the helper program pelto-wineboot.
bool run_wineboot(const core::LaunchContext& context, const core::WineInstall& wine,
                  const core::WineProcessEnv& wine_env);

/// Copies the tree `src` into "{pfx}/{relative}" (links in `src` followed, dangling ones
/// skipped, files replaced), every directory resolved inside the prefix; returns the first
/// errno (EXDEV for a link on the way that leads out of the prefix), nothing when everything
/// was copied.
std::optional<int> copy_tree(const std::string& src, const std::string& pfx,
                             std::string_view relative);

}  // namespace pelto::launcher::prefix
