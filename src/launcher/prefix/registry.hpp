// The prefix's Wine registry files: stubs when missing, better copies from the baked template
// or the user's own Wine prefix, and the keys under which Windows programs look for Steam.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelto::launcher::prefix {

/// Ensures "system.reg", "user.reg" and "userdef.reg" in `pfx` and injects the Steam keys; the
/// baked template is looked for in `install_dir`, the stock registry directory is ".wine"
/// under `home`.
void seed_registry(const std::string& pfx, const std::string& install_dir, const std::string& home);

/// Recreates the directories below `src` under "{pfx}/{relative}", without files, each resolved
/// inside the prefix (one WARN line for a folder that cannot be made, or that a link leading
/// out of the prefix stands in the way of); a missing `src` does nothing.
void mirror_dirs(const std::string& src, const std::string& pfx, std::string_view relative);

/// "{install_dir}/default_pfx" when it holds "system.reg"; nothing otherwise or without an
/// installation directory ("").
std::optional<std::string> find_baked_template(const std::string& install_dir);

/// The fingerprint of a registry file from its size and modification time; 0 when missing.
uint64_t registry_fingerprint(const std::string& path);

/// Replaces each prefix registry file that is missing or only a stub (at most 1023 bytes) with
/// the template's copy of it. Returns true when one was replaced (its Steam keys then need
/// injecting again).
bool adopt_template_registry(const std::string& pfx, const std::string& template_dir);

}  // namespace pelto::launcher::prefix
