#include "launcher/core/context.hpp"

#include <cerrno>

#include "base/log.hpp"
#include "base/text.hpp"

namespace pelto::launcher::core {

std::string find_steam_dir(const std::string& home,
                           const std::optional<std::string>& client_install_path) {
    std::vector<std::string> candidates;
    if (client_install_path) candidates.push_back(*client_install_path);
    candidates.push_back(base::join_path(home, ".steam/root"));
    candidates.push_back(base::join_path(home, ".local/share/Steam"));
    for (const std::string& candidate : candidates) {
        if (base::exists(base::join_path(candidate, "linux64/steamclient.so"))) return candidate;
    }
    base::log_warn("Steam directory not found — game may not connect to Steam");
    return base::join_path(home, ".steam/root");
}

bool is_compatdata_zero(const std::string& compat_data) {
    auto ends_with = [&](std::string_view tail) {
        return compat_data.size() >= tail.size() &&
               compat_data.compare(compat_data.size() - tail.size(), tail.size(), tail) == 0;
    };
    return ends_with("/0") || ends_with("/0/");
}

bool is_steam_utility(const std::string& exe) {
    std::string lowered = base::ascii_lower(base::lossy_utf8(exe));
    return lowered.find("iscriptevaluator") != std::string::npos ||
           lowered.find("d3ddriverquery") != std::string::npos;
}

std::string game_app_id(const EnvSnapshot& env) {
    for (const char* name : {"SteamGameId", "SteamAppId", "STEAM_COMPAT_APP_ID"}) {
        if (auto value = env.text(name)) return *value;
    }
    return "";
}

std::optional<std::string> read_own_exe(int& error) {
    error = 0;
    auto path = base::read_link("/proc/self/exe");
    if (!path) error = errno;
    return path;
}

}  // namespace pelto::launcher::core
