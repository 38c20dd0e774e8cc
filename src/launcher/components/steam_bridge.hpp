// The Steam client inside the prefix: Steam's Windows client files from its "legacycompat"
// directory go into "C:\Program Files (x86)\Steam", and the launcher's two bridge programs,
// steam.exe and lsteamclient.dll, go into the prefix's system directories; without a
// steamclient64.dll from legacycompat, lsteamclient.dll also goes into the Steam folder under
// that name, where the game's steam_api64.dll looks. Every copy is skipped when the
// destination is already current.
#pragma once

#include <string>

namespace pelto::launcher::components {

/// Deploys the Steam client files, then the steam.exe bridge and lsteamclient.dll, then the
/// bridge as the Steam folder's steamclient64.dll unless legacycompat brings one; returns
/// nothing and logs its own failures (a missing legacycompat directory skips only the first).
void deploy_steam_client(const std::string& steam_dir, const std::string& prefix,
                         const std::string& install_dir);

/// Copies steam.exe from the installation directory `install_dir` ("" for none) into system32
/// and syswow64 unless current; a missing source is one WARN line.
void deploy_steam_exe_bridge(const std::string& install_dir, const std::string& prefix);

/// Copies lsteamclient.dll from the installation directory into system32 unless current; a
/// missing source is silent.
void deploy_lsteamclient(const std::string& install_dir, const std::string& prefix);

}  // namespace pelto::launcher::components
