#include "launcher/core/env_config.hpp"

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "base/tool_layout.hpp"

namespace pelto::launcher::core {

EnvConfig load_env_config(const std::string& install_dir) {
    std::string text;
    if (install_dir.empty() ||
        base::read_text_file(base::tool_path(install_dir, "env_config"), text) != 0) {
        return {};
    }
    return parse_env_config(text);
}

EnvConfig parse_env_config(std::string_view text) {
    EnvConfig config;
    if (!base::is_valid_utf8(text)) return config;
    for (std::string_view line : base::split(text, '\n')) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = base::trim_unicode(line);
        if (line.empty() || line.front() == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            config.malformed.emplace_back(line);
            continue;
        }
        std::string_view name = base::trim_unicode(line.substr(0, eq));
        if (name.empty()) continue;
        config.vars.push_back(
            {std::string(name), std::string(base::trim_unicode(line.substr(eq + 1)))});
    }
    return config;
}

void report_env_config(const EnvConfig& config) {
    for (const std::string& line : config.malformed) {
        base::log_warn(base::concat("env_config: ignoring malformed line: ", line));
    }
    if (!config.vars.empty() && base::verbose()) {
        base::log_debug("env_config: loaded ", config.vars.size(), " custom variable(s)");
    }
}

bool fits_environment(const CustomVar& var) {
    return !var.name.empty() && var.name.find('\0') == std::string::npos &&
           var.name.find('=') == std::string::npos && var.value.find('\0') == std::string::npos;
}

std::optional<std::string> server_tmpdir(const std::vector<CustomVar>& vars) {
    std::optional<std::string> tmpdir;
    for (const CustomVar& var : vars) {
        if (var.name == "TMPDIR" && fits_environment(var)) tmpdir = var.value;
    }
    return tmpdir;
}

}  // namespace pelto::launcher::core
