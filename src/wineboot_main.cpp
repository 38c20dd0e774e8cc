// Entry of pelto-wineboot, the helper install.py makes the shared prefix template with:
// `pelto-wineboot WINE_ROOT PREFIX` runs wineboot for PREFIX exactly as a launch of the tool
// at WINE_ROOT runs it for a game's prefix (the same environment, the same wineserver that
// ends with wineboot), so that what wineboot runs with is written once. Exits with 0 when
// wineboot succeeded, 1 when not (ERROR lines say why), 2 for a wrong command line.
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "base/posix.hpp"
#include "base/process.hpp"
#include "launcher/core/context.hpp"
#include "launcher/core/env_snapshot.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "launcher/prefix/setup_prefix.hpp"

namespace core = pelto::launcher::core;

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
    context.prefix = argv[2];
    // The tool at the Wine root is the one whose launches use the template.
    context.install_dir = root;
    core::WineInstall wine{root, core::wine_loader_path(root), core::wineserver_path(root),
                           std::nullopt, root};
    core::WineProcessEnv wine_env{context.prefix, std::nullopt, context.env.entries};
    return pelto::launcher::prefix::run_wineboot(context, wine, wine_env) ? 0 : 1;
}
