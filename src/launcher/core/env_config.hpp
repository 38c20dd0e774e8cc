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

/// The variables of "{install_dir}/env_config" in file order; empty when there is no readable
/// UTF-8 file (or no installation directory, ""). Malformed lines get a WARN line each.
std::vector<CustomVar> load_env_config(const std::string& install_dir);
/// The variables of an env_config text in order; empty when it is not valid UTF-8. Malformed
/// lines get a WARN line each.
std::vector<CustomVar> parse_env_config(std::string_view text);

/// True when the pair can be placed in a process environment (no NUL byte, no "=" in the name).
bool fits_environment(const CustomVar& var);

/// The TMPDIR the variables give the game (the last that can be set); nothing when none does.
std::optional<std::string> server_tmpdir(const std::vector<CustomVar>& vars);

}  // namespace pelto::launcher::core
