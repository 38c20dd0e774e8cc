#include "launcher/components/steam_bridge.hpp"

#include <optional>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/tree_walk.hpp"
#include "launcher/components/dll_deploy.hpp"

namespace pelto::launcher::components {

namespace {

struct ClientFile {
    const char* source;
    const char* destination;
};

// Steam's Windows client as a game inside the prefix expects to find it; its service
// executable stands in as the prefix's steam.exe.
constexpr ClientFile kClientFiles[] = {
    {"steamclient64.dll", "steamclient64.dll"},
    {"steamclient.dll", "steamclient.dll"},
    {"GameOverlayRenderer64.dll", "GameOverlayRenderer64.dll"},
    {"SteamService.exe", "steam.exe"},
    {"Steam.dll", "Steam.dll"},
};

// The launcher's installation directory's "lib/wine/x86_64-windows/{name}", when the own
// path has a parent.
std::optional<std::string> bridge_source(const std::string& own_exe, const char* name) {
    auto install_dir = base::parent_dir(own_exe);
    if (!install_dir || install_dir->empty()) return std::nullopt;
    return base::join_path(base::join_path(*install_dir, "lib/wine/x86_64-windows"), name);
}

// Copies the Windows Steam client from legacycompat; returns early on its own failures.
void deploy_client_files(const std::string& steam_dir, const std::string& prefix) {
    std::string legacycompat = base::join_path(steam_dir, "legacycompat");
    if (!base::exists(legacycompat)) {
        base::log_warn(
            base::concat("Steam legacycompat not found at ", base::lossy_utf8(legacycompat)));
        return;
    }
    std::string client_dir = base::join_path(prefix, "drive_c/Program Files (x86)/Steam");
    if (int error = base::make_dirs(client_dir); error != 0) {
        base::log_error(base::concat("Cannot create Steam client dir: ", base::error_text(error)));
        return;
    }

    // An older layout put a copy of the client into system32, where Wine would pick it up
    // ahead of the real one.
    std::string stale = base::join_path(prefix, "drive_c/windows/system32/steamclient64.dll");
    if (base::exists(stale)) {
        if (int error = base::remove_file(stale); error != 0) {
            base::log_warn(base::concat("Steam client: cannot remove ", base::lossy_utf8(stale),
                                        ": ", base::error_text(error)));
        } else {
            base::log_debug("Steam client: removed the bridge copy in system32");
        }
    }

    size_t deployed = 0, current = 0;
    for (const ClientFile& file : kClientFiles) {
        std::string source = base::join_path(legacycompat, file.source);
        std::string destination = base::join_path(client_dir, file.destination);
        if (!base::exists(source)) continue;
        if (is_current(source, destination)) {
            ++current;
            continue;
        }
        // Replaced in one step (a link there included): a copy that fails leaves the old file.
        if (int error = base::copy_file(source, destination, base::CopyTarget::ReplaceLink);
            error != 0) {
            base::log_warn(base::concat("Steam client: failed to copy ", file.source, ": ",
                                        base::error_text(error)));
            continue;
        }
        ++deployed;
    }
    if (deployed > 0) {
        base::log_debug("Steam client: deployed ", deployed, " files (", current,
                        " already current)");
    } else if (current > 0) {
        base::log_debug("Steam client: ", current, " files already current");
    }
}

// A link at `destination` is written through only when it leads into the prefix: a copy never
// changes a file outside it.
base::CopyTarget inside_prefix(const std::string& destination, const std::string& prefix) {
    return base::copy_target_inside(destination, base::canonical(prefix).value_or(prefix));
}

}  // namespace

void deploy_steam_client(const std::string& steam_dir, const std::string& prefix,
                         const std::string& own_exe) {
    deploy_client_files(steam_dir, prefix);
    // The bridge programs come from the launcher itself and are needed whatever Steam has.
    deploy_steam_exe_bridge(own_exe, prefix);
    deploy_lsteamclient(own_exe, prefix);
}

void deploy_steam_exe_bridge(const std::string& own_exe, const std::string& prefix) {
    auto source = bridge_source(own_exe, "steam.exe");
    if (!source || !base::exists(*source)) {
        base::log_warn("steam_bridge not found — games requiring Steam API will fail");
        return;
    }
    for (const char* system_dir : {"drive_c/windows/system32", "drive_c/windows/syswow64"}) {
        std::string dir = base::join_path(prefix, system_dir);
        std::string destination = base::join_path(dir, "steam.exe");
        // A dangling link would make the copy create its missing target somewhere else.
        if (base::lstat_path(destination) && !base::exists(destination)) {
            base::remove_file(destination);
        }
        base::make_dirs(dir);
        if (is_current(*source, destination)) continue;
        if (int error = base::copy_file(*source, destination, inside_prefix(destination, prefix));
            error != 0) {
            base::log_warn(base::concat("steam.exe: failed to deploy to ", base::lossy_utf8(dir),
                                        ": ", base::error_text(error)));
        }
    }
}

void deploy_lsteamclient(const std::string& own_exe, const std::string& prefix) {
    auto source = bridge_source(own_exe, "lsteamclient.dll");
    if (!source || !base::exists(*source)) return;
    std::string dir = base::join_path(prefix, "drive_c/windows/system32");
    base::make_dirs(dir);
    std::string destination = base::join_path(dir, "lsteamclient.dll");
    if (is_current(*source, destination)) return;
    if (int error = base::copy_file(*source, destination, inside_prefix(destination, prefix));
        error != 0) {
        base::log_warn(base::concat("lsteamclient.dll: failed to deploy to system32: ",
                                    base::error_text(error)));
    }
}

}  // namespace pelto::launcher::components
