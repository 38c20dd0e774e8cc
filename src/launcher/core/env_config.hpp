// The custom environment file "env_config" beside the launcher executable.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelto::launcher::core {

struct CustomVar {
    std::string name;
    std::string value;
};

/// What an env_config file holds.
struct EnvConfig {
    std::vector<CustomVar> vars;         // in file order
    std::vector<std::string> malformed;  // the lines without "=", trimmed
};

/// "{install_dir}/env_config", read without a word: nothing when there is no readable UTF-8
/// file (or no installation directory, ""). The launch needs it early (the server's TMPDIR)
/// and says what it found later, with `report_env_config`.
EnvConfig load_env_config(const std::string& install_dir);
/// The variables of an env_config text in order; nothing when it is not valid UTF-8.
EnvConfig parse_env_config(std::string_view text);
/// One WARN line per malformed line, then, when verbose, the DEBUG count of the variables.
void report_env_config(const EnvConfig& config);

/// True when the pair can be placed in a process environment (no NUL byte, no "=" in the name).
bool fits_environment(const CustomVar& var);

/// The TMPDIR the variables give the game (the last that can be set); nothing when none does.
std::optional<std::string> server_tmpdir(const std::vector<CustomVar>& vars);

}  // namespace pelto::launcher::core
