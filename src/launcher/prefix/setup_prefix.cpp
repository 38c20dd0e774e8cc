// The body of the setup task "prefix". A prefix is laid in from the Wine build's template
// when there is one; otherwise the launcher's baked template supplies the WMI ("wbem")
// directories, and without either Wine's own wineboot builds the prefix. When the Wine build
// is the one the prefix was last prepared with, only the cheap per-launch steps run.
#include "launcher/prefix/setup_prefix.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <vector>

#include "base/beneath.hpp"
#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "base/tool_layout.hpp"
#include "launcher/components/steam_bridge.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/core/wine_runtime.hpp"
#include "launcher/prefix/copy_dir_fast.hpp"
#include "launcher/prefix/drives.hpp"
#include "launcher/prefix/registry.hpp"
#include "launcher/prefix/user.hpp"

namespace pelto::launcher::prefix {

namespace core = launcher::core;

namespace {

constexpr std::array<std::string_view, 4> kBareDirs = {
    "drive_c/windows/system32",
    "drive_c/windows/syswow64",
    "drive_c/Program Files",
    "drive_c/Program Files (x86)",
};

constexpr std::array<std::string_view, 2> kWbemDirs = {
    "drive_c/windows/system32/wbem",
    "drive_c/windows/syswow64/wbem",
};

// The server program hands over to its background server within milliseconds, and ends one
// at once; either bound only keeps a wedged server from holding the launch up.
constexpr long kServerStartLimitMs = 5'000;
constexpr long kServerEndLimitMs = 20'000;

// Wine's stamp of the Wine build a prefix was last updated for: "disable" (the launcher's, so
// that Wine never rebuilds a prefix on a game's start), or the time Wine wrote when it began
// an update, before doing it.
constexpr std::string_view kUpdateStamp = ".update-timestamp";

// The tool where install.py puts it for the user, whose noassert.so wineboot preloads first.
constexpr std::string_view kToolUnderHome = ".local/share/Steam/compatibilitytools.d/pelto";

// What the prefix is made with: the driver's records and the server the Wine processes share.
struct Setup {
    const core::LaunchContext& context;
    const core::WineInstall& wine;
    const core::WineProcessEnv& wine_env;
};

// The folders of a prefix made without a template, each resolved inside the prefix.
void make_bare_dirs(const std::string& pfx) {
    int error = 0;
    base::Fd root = base::open_root_dir(pfx, error);
    if (!root.valid()) return;
    for (std::string_view relative : kBareDirs)
        base::make_dirs_beneath(root.get(), relative, error);
}

// LD_PRELOAD for wineboot: the launcher's own list without the Steam overlay, plus
// "noassert.so" from the installation when it is there; nothing when both are empty.
std::optional<std::string> wineboot_preload(const core::LaunchContext& context) {
    std::string noassert =
        base::tool_path(base::join_path(context.home.for_user_paths(), kToolUnderHome), "noassert");
    if (!base::exists(noassert)) {
        // "." stands for an installation directory that cannot be named.
        std::string install_dir = context.install_dir.empty() ? "." : context.install_dir;
        noassert = base::tool_path(install_dir, "noassert");
    }
    std::string inherited = core::filtered_ld_preload(context.env.text("LD_PRELOAD"));
    if (base::exists(noassert)) {
        if (inherited.empty()) return base::lossy_utf8(noassert);
        return base::concat(inherited, ":", base::lossy_utf8(noassert));
    }
    if (inherited.empty()) return std::nullopt;
    return inherited;
}

// Runs the wineserver for the prefix with `flag`, at most `limit_ms`; a failure is no matter
// (wineboot starts a server of its own, and the game's session end ends what is left).
void run_server(const Setup& setup, const char* flag, long limit_ms) {
    int status = 0;
    (void)base::run_and_wait(core::wineserver_command(setup.wine.wineserver, setup.wine_env, flag),
                             status, limit_ms);
}

}  // namespace

bool run_wineboot(const core::LaunchContext& context, const core::WineInstall& wine,
                  const core::WineProcessEnv& wine_env, const std::string& user,
                  const core::LaunchLock* lock) {
    const Setup setup{context, wine, wine_env};
    const std::string& pfx = setup.context.prefix;
    const std::string& wine_root = setup.wine.wine_root;
    base::log_debug("No default_pfx template, running wineboot --init...");
    const core::EnvSnapshot& env = setup.context.env;
    base::Command command = core::wine_command(setup.wine.wine64, wine_root, setup.wine_env);
    command.args = {"wineboot", "--init"};
    // The rows every Wine process of the launch runs with, as the game's; WINEPREFIX and the
    // two programs are the paths themselves, so that a name that is not valid UTF-8 still
    // leads to the same files.
    core::WineRows rows = core::wine_rows({.wine_root = wine_root,
                                           .wine64 = setup.wine.wine64,
                                           .wineserver = setup.wine.wineserver,
                                           .wine_env = setup.wine_env,
                                           .user = user,
                                           .ld_library_path = env.text("LD_LIBRARY_PATH"),
                                           .winedebug = env.text("WINEDEBUG"),
                                           .ld_preload = env.text("LD_PRELOAD"),
                                           .verbose = setup.context.verbose});
    // wineboot's own: the library that keeps Wine's assertions quiet is preloaded when the
    // tool brings one.
    rows.preload = wineboot_preload(setup.context);
    for (const base::EnvChange& change : rows.changes()) command.env.push_back(change);
    // Unlike the game's NT form, wineboot takes the Unix path with its forward slashes.
    command.set_env(
        "WINEDLLDIR0",
        base::concat("\\??\\Z:", base::lossy_utf8(base::join_path(wine_root, "lib/wine"))));

    // Any stamp would make wineboot skip the registry: a stamp of "disable" from an earlier
    // setup, or the time a wineboot that failed or was stopped wrote as it began.
    std::string stamp = base::join_path(pfx, kUpdateStamp);
    (void)base::remove_file(stamp);

    // In a server of the launch's own, which ends with the last process of the prefix instead
    // of lingering for seconds. The game does not wait for it: wineboot's services finish in
    // it while the game runs, and the registry reaches the disk when the session ends.
    run_server(setup, core::kStartServer, kServerStartLimitMs);
    int status = 0;
    int error = base::run_and_wait(command, status);
    bool succeeded = error == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (succeeded) return true;
    // Wine wrote its stamp before the work it did not finish.
    (void)base::remove_file(stamp);
    // A server that wineboot never reached would wait for it for good; but another launch's
    // game may play in it.
    if (core::may_end_wine_session(lock)) {
        run_server(setup, "-k", kServerEndLimitMs);
    } else {
        base::log_debug("another launch of this prefix is running — its Wine session stays");
    }
    if (error != 0) {
        base::log_error(base::concat("Failed to run wineboot: ", base::error_text(error)));
        return false;
    }
    if (WIFSIGNALED(status)) {
        base::log_error(base::concat("wineboot --init was ended by signal ", WTERMSIG(status)));
    } else {
        base::log_error(
            base::concat("wineboot --init failed with exit code ", WEXITSTATUS(status)));
    }
    return false;
}

namespace {

// Removes the half-seeded directory `relative` of the prefix, reached beneath it: it did not
// exist before, so removing it loses nothing and the next launch seeds it again, where it
// would otherwise count as seeded on every later launch.
void remove_half_seeded(const std::string& pfx, std::string_view relative) {
    int error = 0;
    base::Fd root = base::open_root_dir(pfx, error);
    std::string parent(base::parent_dir(relative).value_or(""));
    base::Fd dir = root.valid()
                       ? base::open_beneath(root.get(), parent, O_RDONLY | O_DIRECTORY, 0, error)
                       : base::Fd();
    if (dir.valid()) (void)base::remove_tree_at(dir.get(), std::string(base::file_name(relative)));
}

// Takes the WMI directories from the baked template where the prefix has none; true when
// nothing failed that a later launch could mend.
bool seed_wbem(const std::string& pfx, const std::string& baked) {
    bool complete = true;
    for (std::string_view relative : kWbemDirs) {
        std::string source = base::join_path(baked, relative);
        std::string target = base::join_path(pfx, relative);
        if (!base::is_dir(source) || base::lstat_path(target)) continue;
        std::optional<int> error = copy_tree(source, pfx, relative);
        if (!error) continue;
        if (*error == EXDEV) {
            // The prefix leads out of itself on the way; nothing is written there, and no
            // later launch would do better.
            base::log_warn(base::concat("Prefix: ", relative,
                                        " not seeded: ", base::why_outside(pfx, relative)));
            continue;
        }
        base::log_debug("Prefix: failed to seed ", relative, ": ", base::error_text(*error));
        remove_half_seeded(pfx, relative);
        complete = false;
    }
    base::log_debug("Prefix: seeded wbem from baked template ", base::as_text(baked));
    return complete;
}

// Creates or repairs the prefix for a new Wine build; true when every step completed.
bool create_or_repair(const Setup& setup, const std::string& user, const core::LaunchLock* lock) {
    const std::string& pfx = setup.context.prefix;
    const std::string& install_dir = setup.context.install_dir;
    components::deploy_steam_exe_bridge(install_dir, pfx);
    components::deploy_lsteamclient(install_dir, pfx);

    bool complete = true;
    bool booted = false;  // the prefix is wineboot's
    std::string shared_template = base::tool_path(setup.wine.wine_root, "template");
    if (base::exists(shared_template)) {
        base::log_debug(base::exists(base::join_path(pfx, "system.reg"))
                            ? "Repairing prefix from template..."
                            : "Setting up prefix from template...");
        // The registry task has already put stubs in place, which the copy would never
        // replace: the template's full registry takes their place first, with the Steam keys
        // injected again, or the prefix would keep an empty registry for good.
        bool registry_adopted = adopt_template_registry(pfx, shared_template);
        uint32_t failures = 0;
        uint32_t deployed = copy_dir_fast(shared_template, pfx, 0, &failures);
        if (deployed != 0) base::log_debug("Prefix: ", deployed, " files deployed");
        complete = failures == 0;
        if (registry_adopted) {
            seed_registry(pfx, install_dir, setup.context.home.for_stock_registry());
        }
        create_drive_links(pfx);
    } else {
        create_user_folders(pfx, user);
        create_drive_links(pfx);
        make_bare_dirs(pfx);
        if (std::optional<std::string> baked = find_baked_template(install_dir)) {
            complete = seed_wbem(pfx, *baked);
        } else {
            booted = true;
            complete = run_wineboot(setup.context, setup.wine, setup.wine_env, user, lock);
        }
    }
    // Keeps Wine from rebuilding the prefix on its first start after a Wine update. Replaced,
    // not rewritten: the template copy may have hard-linked the template's own file here. A
    // prefix that wineboot did not finish stays without one, so that the next wineboot builds
    // it whole.
    if (complete || !booted) {
        base::replace_file(base::join_path(pfx, kUpdateStamp), "disable\n");
    }
    return complete;
}

}  // namespace

PrefixSetup setup_prefix(const core::LaunchContext& context, const core::WineInstall& wine,
                         bool wine_unchanged, const core::WineProcessEnv& wine_env,
                         const core::LaunchLock* lock) {
    // Read once, after the registry task: wineboot, the folders and the game all use this one.
    PrefixSetup done{true, prefix_user_name(context.prefix)};
    const std::string& user = done.user;
    done.complete = wine_unchanged || create_or_repair(Setup{context, wine, wine_env}, user, lock);
    create_user_folders(context.prefix, user);
    map_s_drive(context.prefix, context.game_install_path, context.library_paths);
    return done;
}

std::optional<int> copy_tree(const std::string& src, const std::string& pfx,
                             std::string_view relative) {
    int error = 0;
    base::Fd root = base::open_root_dir(pfx, error);
    if (!root.valid()) return error;
    base::Fd dir = base::make_dirs_beneath(root.get(), relative, error);
    if (!dir.valid()) return error;
    std::vector<base::DirEntry> entries = base::list_dir(src, error);
    if (error != 0) return error;
    for (const base::DirEntry& entry : entries) {
        std::string source = base::join_path(src, entry.name);
        unsigned char type = entry.type;
        if (type == DT_UNKNOWN) {
            auto status = base::lstat_path(source);
            if (!status) return errno;
            type = S_ISLNK(status->st_mode) ? DT_LNK : S_ISDIR(status->st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_LNK) {
            std::optional<std::string> link_target = base::read_link(source);
            if (!link_target) continue;
            source = !link_target->empty() && link_target->front() == '/'
                         ? *link_target
                         : base::join_path(src, *link_target);
            if (!base::exists(source)) continue;  // a dangling link is left out
        } else if (type == DT_DIR) {
            if (std::optional<int> nested =
                    copy_tree(source, pfx, base::join_path(relative, entry.name))) {
                return nested;
            }
            continue;
        }
        base::Fd in = base::open_regular(source, O_RDONLY, 0, error);
        if (!in.valid()) return error;
        if (int copy_error = base::copy_into(in.get(), dir.get(), entry.name); copy_error != 0) {
            return copy_error;
        }
    }
    return std::nullopt;
}

}  // namespace pelto::launcher::prefix
