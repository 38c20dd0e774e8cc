// Entry of pelto-wineboot, the helper install.py makes the shared prefix template with:
// `pelto-wineboot WINE_ROOT PREFIX` runs wineboot for PREFIX exactly as a launch of the tool
// at WINE_ROOT runs it for a game's prefix (the same environment, the same wineserver that
// ends with the prefix's last process), so that what wineboot runs with is written once.
// Unlike a launch it then waits for that server, which writes the registry as it ends, and
// checks that the registry is there. Exits with 0 when wineboot succeeded and the prefix has
// its registry, 1 when not (ERROR lines say why), 2 for a wrong command line.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "launcher/core/context.hpp"
#include "launcher/core/env_snapshot.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "launcher/prefix/setup_prefix.hpp"
#include "launcher/prefix/user.hpp"

namespace core = pelto::launcher::core;
namespace base = pelto::base;

namespace {

// Wine's services end within seconds of wineboot; the bound keeps a wedged server from
// holding the install up for good.
constexpr long kServerEndLimitMs = 60'000;
// A registry file of at most this many bytes holds no keys (Wine's header alone).
constexpr off_t kEmptyRegistry = 1023;

// Whether the prefix's machine registry was written: install.py copies it into every game's
// prefix. A full disk (its space or its inodes) lets wineboot end well without one.
bool has_registry(const std::string& prefix) {
    std::string system_reg = base::join_path(prefix, "system.reg");
    std::optional<struct stat> status = base::stat_path(system_reg);
    if (status && S_ISREG(status->st_mode) && status->st_size > kEmptyRegistry) return true;
    base::log_error(base::concat("wineboot wrote no registry into ", base::lossy_utf8(prefix), " (",
                                 base::lossy_utf8(system_reg),
                                 status ? " holds no keys)" : " is missing)"));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGCHLD, SIG_DFL);
    if (argc != 3) {
        (void)pelto::base::write_all(STDERR_FILENO, "Usage: pelto-wineboot WINE_ROOT PREFIX\n");
        return 2;
    }
    std::string root = argv[1];
    core::LaunchContext context;
    context.env = core::take_env_snapshot(pelto::base::current_environment());
    context.home.value = context.env.text("HOME");
    context.verbose = core::verbose_switch(context.env, context.home.value);
    base::set_verbose(context.verbose);
    context.prefix = argv[2];
    // The tool at the Wine root is the one whose launches use the template.
    context.install_dir = root;
    core::WineInstall wine{root, core::wine_loader_path(root), core::wineserver_path(root),
                           std::nullopt, root};
    core::WineProcessEnv wine_env{context.prefix, std::nullopt, context.env.entries,
                                  context.env.text("WINEDLLOVERRIDES")};
    std::string user = pelto::launcher::prefix::prefix_user_name(context.prefix);
    if (!pelto::launcher::prefix::run_wineboot(context, wine, wine_env, user)) return 1;
    int status = 0;
    (void)base::run_and_wait(core::wineserver_command(wine.wineserver, wine_env, "-w"), status,
                             kServerEndLimitMs);
    return has_registry(context.prefix) ? 0 : 1;
}
