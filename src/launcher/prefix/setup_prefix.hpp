// Folder launcher/prefix: the prefix itself (modules, registry, template copy, drives, user
// name); imports base, launcher/core and launcher/components.
//
// Creation and repair of the game's Wine prefix: from the Wine build's template, from the
// launcher's baked template, or with Wine's own wineboot.
#pragma once

#include <optional>
#include <string>

namespace pelto::launcher::prefix {

/// Prepares `pfx` (only the user folders and S: when `wine_unchanged`); logs its own failures.
/// Returns false when the creation or repair did not complete (a failed wineboot, template
/// files that could not be deployed), so that the next launch does it again.
bool setup_prefix(bool wine_unchanged, const std::string& own_exe, const std::string& pfx,
                  const std::string& wine_root, const std::string& wine64);

/// Copies the tree `src` into `dst` (links followed, dangling ones skipped, files replaced);
/// returns the first errno, nothing when everything was copied.
std::optional<int> copy_tree(const std::string& src, const std::string& dst);

}  // namespace pelto::launcher::prefix
