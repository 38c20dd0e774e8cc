#include "launcher/core/context.hpp"

#include <cerrno>

#include "launcher/core/log.hpp"
#include "launcher/core/text.hpp"

namespace pelto::launcher::core {

std::string find_steam_dir(const std::string& home) {
    std::vector<std::string> candidates;
    if (auto client = env_text("STEAM_COMPAT_CLIENT_INSTALL_PATH")) candidates.push_back(*client);
    candidates.push_back(join_path(home, ".steam/root"));
    candidates.push_back(join_path(home, ".local/share/Steam"));
    for (const std::string& candidate : candidates) {
        if (exists(join_path(candidate, "linux64/steamclient.so"))) return candidate;
    }
    log_warn("Steam directory not found — game may not connect to Steam");
    return join_path(home, ".steam/root");
}

bool is_compatdata_zero(const std::string& compat_data) {
    auto ends_with = [&](std::string_view tail) {
        return compat_data.size() >= tail.size() &&
               compat_data.compare(compat_data.size() - tail.size(), tail.size(), tail) == 0;
    };
    return ends_with("/0") || ends_with("/0/");
}

bool is_steam_utility(const std::string& exe) {
    std::string lowered = ascii_lower(lossy_utf8(exe));
    return lowered.find("iscriptevaluator") != std::string::npos ||
           lowered.find("d3ddriverquery") != std::string::npos;
}

std::optional<std::string> read_own_exe(int& error) {
    error = 0;
    auto path = read_link("/proc/self/exe");
    if (!path) error = errno;
    return path;
}

}  // namespace pelto::launcher::core
