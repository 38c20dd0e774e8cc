#include "launcher/components/steam_bridge.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/tool_layout.hpp"
#include "launcher/components/file_deploy.hpp"

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

// The installation directory's bridge program `what` (a row of the tool's layout); nothing
// without an installation directory.
std::optional<std::string> bridge_source(const std::string& install_dir, std::string_view what) {
    if (install_dir.empty()) return std::nullopt;
    return base::tool_path(install_dir, what);
}

constexpr std::string_view kClientDir = "drive_c/Program Files (x86)/Steam";
constexpr std::string_view kSystem32 = "drive_c/windows/system32";
constexpr std::string_view kSyswow64 = "drive_c/windows/syswow64";

// Copies the Windows Steam client from legacycompat; returns early on its own failures, and
// whether legacycompat brings steamclient64.dll.
bool deploy_client_files(const std::string& steam_dir, const std::string& prefix) {
    std::string legacycompat = base::join_path(steam_dir, "legacycompat");
    if (!base::exists(legacycompat)) {
        base::log_warn(
            base::concat("Steam legacycompat not found at ", base::lossy_utf8(legacycompat)));
        return false;
    }
    bool brings_client = base::exists(base::join_path(legacycompat, "steamclient64.dll"));
    std::vector<FileToDeploy> files;
    for (const ClientFile& file : kClientFiles) {
        files.push_back({base::join_path(legacycompat, file.source), file.destination});
    }
    // The client directory first: where it cannot be had, nothing of the client is touched.
    DeployReport report = deploy_files(prefix, kClientDir, {}, "Steam client");
    if (report.outside) return brings_client;
    if (report.dir_error != 0) {
        base::log_error(
            base::concat("Cannot create Steam client dir: ", base::error_text(report.dir_error)));
        return brings_client;
    }

    // An older layout put a copy of the client into system32, where Wine would pick it up
    // ahead of the real one.
    std::string stale = base::join_path(prefix, "drive_c/windows/system32/steamclient64.dll");
    if (base::exists(stale)) {
        if (int error = remove_from_prefix(prefix, kSystem32, "steamclient64.dll"); error != 0) {
            base::log_warn(base::concat("Steam client: cannot remove ", base::lossy_utf8(stale),
                                        ": ", base::error_text(error)));
        } else {
            base::log_debug("Steam client: removed the bridge copy in system32");
        }
    }

    report = deploy_files(prefix, kClientDir, files, "Steam client");
    for (size_t i = 0; i < files.size(); ++i) {
        if (report.files[i] != Deployed::Failed) continue;
        base::log_warn(base::concat("Steam client: failed to copy ", kClientFiles[i].source, ": ",
                                    base::error_text(report.errors[i])));
    }
    if (report.copied > 0) {
        base::log_debug("Steam client: deployed ", report.copied, " files (", report.current,
                        " already current)");
    } else if (report.current > 0) {
        base::log_debug("Steam client: ", report.current, " files already current");
    }
    return brings_client;
}

// steam_api64.dll loads the client the registry names, steamclient64.dll in the prefix's Steam
// folder: without one from legacycompat (Steam's own loader of the bridge), the bridge itself
// goes there under that name.
void deploy_bridge_as_client(const std::string& install_dir, const std::string& prefix) {
    auto source = bridge_source(install_dir, "steamclient");
    if (!source || !base::exists(*source)) return;
    FileToDeploy file{*source, "steamclient64.dll"};
    DeployReport report =
        deploy_files(prefix, kClientDir, {&file, 1}, "Steam client", LinkAtName::FollowInside);
    if (report.outside) return;
    int error = report.dir_error != 0 ? report.dir_error : report.errors[0];
    if (error != 0) {
        base::log_warn(
            base::concat("Steam client: failed to put the bridge in place as "
                         "steamclient64.dll: ",
                         base::error_text(error)));
    }
}

// Copies one bridge program of the installation into `directory` of the prefix unless current
// (a link there is followed only to a file inside the prefix); a failure names `shown_dir`.
void deploy_bridge_program(const std::string& source, const std::string& prefix,
                           std::string_view directory, std::string_view what,
                           const std::string& shown_dir) {
    FileToDeploy file{source, std::string(base::file_name(source))};
    DeployReport report =
        deploy_files(prefix, directory, {&file, 1}, what, LinkAtName::FollowInside);
    if (report.files[0] == Deployed::Failed && !report.outside) {
        base::log_warn(base::concat(what, ": failed to deploy to ", shown_dir, ": ",
                                    base::error_text(report.errors[0])));
    }
}

}  // namespace

void deploy_steam_client(const std::string& steam_dir, const std::string& prefix,
                         const std::string& install_dir) {
    bool legacycompat_client = deploy_client_files(steam_dir, prefix);
    // The bridge programs come from the launcher itself and are needed whatever Steam has.
    deploy_steam_exe_bridge(install_dir, prefix);
    deploy_lsteamclient(install_dir, prefix);
    if (!legacycompat_client) deploy_bridge_as_client(install_dir, prefix);
}

void deploy_steam_exe_bridge(const std::string& install_dir, const std::string& prefix) {
    auto source = bridge_source(install_dir, "steam_bridge");
    if (!source || !base::exists(*source)) {
        base::log_warn("steam_bridge not found — games requiring Steam API will fail");
        return;
    }
    for (std::string_view directory : {kSystem32, kSyswow64}) {
        deploy_bridge_program(*source, prefix, directory, "steam.exe",
                              base::lossy_utf8(base::join_path(prefix, directory)));
    }
}

void deploy_lsteamclient(const std::string& install_dir, const std::string& prefix) {
    auto source = bridge_source(install_dir, "steamclient");
    if (!source || !base::exists(*source)) return;
    deploy_bridge_program(*source, prefix, kSystem32, "lsteamclient.dll", "system32");
}

}  // namespace pelto::launcher::components
