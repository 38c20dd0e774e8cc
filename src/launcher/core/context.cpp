#include "launcher/core/context.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log.hpp"
#include "base/posix.hpp"
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

namespace {

// Why the file at `path` is no library the game's bridge can load, from its ELF header; ""
// when it is one.
std::string why_not_loadable(const std::string& path) {
    int error = 0;
    base::Fd fd = base::open_regular(path, O_RDONLY, 0, error);
    if (!fd.valid()) return error == ENOENT ? "it is missing" : base::error_text(error);
    unsigned char header[20] = {};
    ssize_t got = ::pread(fd.get(), header, sizeof(header), 0);
    if (got < 0) return base::error_text(errno);
    constexpr unsigned char kElfMagic[] = {0x7f, 'E', 'L', 'F'};
    if (got < static_cast<ssize_t>(sizeof(header)) ||
        std::memcmp(header, kElfMagic, sizeof(kElfMagic)) != 0) {
        return "it is not an ELF file";
    }
    bool elf64 = header[4] == 2 && header[5] == 1;      // ELFCLASS64, little endian
    bool shared = header[16] == 3 && header[17] == 0;   // ET_DYN
    bool x86_64 = header[18] == 62 && header[19] == 0;  // EM_X86_64
    if (!elf64 || !shared || !x86_64) return "it is not a 64-bit x86-64 shared library";
    return "";
}

}  // namespace

std::string steam_client_library(const std::string& steam_dir) {
    std::string path = base::join_path(steam_dir, "linux64/steamclient.so");
    std::string why = why_not_loadable(path);
    if (why.empty()) return path;
    base::log_warn(base::concat("Steam client library ", base::lossy_utf8(path),
                                " cannot be loaded (", why,
                                ") — games that use the Steam API run without Steam"));
    return "";
}

bool verbose_switch(const EnvSnapshot& env, const std::optional<std::string>& home) {
    if (env.is_on("PELTO_VERBOSE")) return true;
    return home && base::exists(base::join_path(*home, ".cache/pelto/trace_verbose"));
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
