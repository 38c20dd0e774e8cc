#include "support/wine_fixture.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::testing {

namespace {

constexpr const char* kPath = "/usr/local/bin:/usr/bin:/bin";

// Debian's loader re-executes itself under the name it was started with, looked up in its
// own directory; started through a link named "wine" it would look for the 32-bit loader
// "wine" there and fail. A two-line script starts it under its real name instead.
std::string loader_script(const std::string& loader) {
    return "#!/bin/sh\nexec '" + loader + "' \"$@\"\n";
}

std::string link_or_error(const std::string& target, const std::string& path) {
    if (base::make_symlink(target, path) != 0) return "cannot link " + path + " -> " + target;
    return "";
}

// What a run printed, for the error text of a failed setup step.
std::string describe(const std::string& what, const RunResult& result) {
    return what + " failed (wait status " + std::to_string(result.status) + "): " + result.err +
           result.out;
}

bool is_number(const std::string& name) {
    return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

std::mutex g_prefixes_lock;
std::vector<std::string> g_prefixes;

void remember_prefix(const std::string& prefix) {
    std::lock_guard lock(g_prefixes_lock);
    g_prefixes.push_back(prefix);
}

// One prefix made by wineboot that every fixture copies. Each test case runs in a process of
// its own, so the prefix is kept in the build directory across processes, built under a lock,
// and made again when the Wine build or the bridge it holds changed.
struct PristinePrefix {
    std::string prefix;
    std::string error;
};

// What the pristine prefix was made from: size and modification time of each input.
std::string pristine_key(const WineSource& source) {
    std::string key;
    for (const std::string& input :
         {source.loader, source.lib_dir + "/x86_64-windows/ntdll.dll", steam_bridge_exe()}) {
        auto status = base::stat_path(input);
        key += base::concat(input, " ", status ? status->st_size : -1, " ",
                            status ? status->st_mtim.tv_sec : 0, ".",
                            status ? status->st_mtim.tv_nsec : 0, "\n");
    }
    return key;
}

PristinePrefix build_pristine(const std::string& dir, const WineSource& source) {
    PristinePrefix out;
    out.error = make_wine_tree(dir + "/tool", source);
    if (!out.error.empty()) return out;
    make_dir(dir + "/home");
    make_dir(dir + "/tmp");
    make_dir(dir + "/compat");
    std::string prefix = dir + "/compat/pfx";
    remember_prefix(prefix);
    std::map<std::string, std::string> env = {
        {"PATH", kPath},
        {"HOME", dir + "/home"},
        {"TMPDIR", dir + "/tmp"},
        {"USER", "steamuser"},
        {"WINEPREFIX", prefix},
        {"WINEDEBUG", "-all"},
        // No Mono or Gecko installer runs: the test game needs neither.
        {"WINEDLLOVERRIDES", "mscoree=d;mshtml=d"},
    };
    RunResult boot = run_program(dir + "/tool/bin/wine", {"wineboot", "--init"}, env);
    // The registry files are written when the server shuts down, so wait for it.
    RunResult wait = run_program(dir + "/tool/bin/wineserver", {"-w"}, env);
    if (boot.exit_code() != 0) {
        out.error = describe("wineboot --init", boot);
        return out;
    }
    if (wait.exit_code() != 0) {
        out.error = describe("wineserver -w", wait);
        return out;
    }
    // Debian's Wine names its server directory (under TMPDIR) in this file; each copy of the
    // prefix must get a directory of its own.
    base::remove_file(prefix + "/wineserver");
    base::remove_tree(dir + "/tmp");

    std::string system32 = prefix + "/drive_c/windows/system32";
    std::string syswow64 = prefix + "/drive_c/windows/syswow64";
    make_dir(system32);
    make_dir(syswow64);
    if (base::copy_file(steam_bridge_exe(), system32 + "/steam.exe") != 0 ||
        base::copy_file(steam_bridge_exe(), syswow64 + "/steam.exe") != 0) {
        out.error = "cannot place the bridge steam.exe into " + prefix;
        return out;
    }
    // The launcher checks that the Direct3D DLLs are deployed; the game never loads them.
    write_text(system32 + "/d3d11.dll", "MZ stand-in for d3d11.dll\n");
    write_text(system32 + "/d3d12.dll", "MZ stand-in for d3d12.dll\n");
    out.prefix = prefix;
    return out;
}

PristinePrefix find_or_build_pristine(const WineSource& source) {
    std::string dir = std::string(PELTO_BUILD_DIR) + "/tests/pristine-prefix";
    int error = 0;
    base::Fd lock = base::open_file(dir + ".lock", O_RDWR | O_CREAT, 0644, error);
    if (lock.valid()) {
        while (::flock(lock.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    std::string key = pristine_key(source);
    if (read_text(dir + "/key") == key && base::exists(dir + "/compat/pfx/system.reg")) {
        remember_prefix(dir + "/compat/pfx");
        return {dir + "/compat/pfx", ""};
    }
    base::remove_tree(dir);
    make_dir(dir);
    PristinePrefix built = build_pristine(dir, source);
    if (built.error.empty()) write_text(dir + "/key", key);
    return built;
}

const PristinePrefix& pristine_prefix(const WineSource& source) {
    static const PristinePrefix pristine = find_or_build_pristine(source);
    return pristine;
}

}  // namespace

std::vector<std::string> fixture_prefixes() {
    std::lock_guard lock(g_prefixes_lock);
    return g_prefixes;
}

std::string test_game_exe() { return PELTO_TEST_GAME_EXE; }
std::string test_game32_exe() { return PELTO_TEST_GAME32_EXE; }
std::string steam_bridge_exe() { return PELTO_STEAM_BRIDGE_EXE; }

std::string wine_unavailable_reason(const WineSource& source) {
    if (test_game_exe().empty() || steam_bridge_exe().empty()) {
        return "the Windows test programs were not built (x86_64-w64-mingw32-gcc or winebuild "
               "missing at configure time)";
    }
    for (const std::string& path :
         {source.loader, source.wineserver, source.lib_dir + "/x86_64-unix/ntdll.so",
          source.lib_dir + "/x86_64-windows", source.share_dir, test_game_exe(),
          steam_bridge_exe()}) {
        if (!base::exists(path)) return "missing " + path + " (is wine64 installed?)";
    }
    return "";
}

std::string make_wine_tree(const std::string& root, const WineSource& source) {
    std::string wine_dir = root + "/lib/wine";
    for (const std::string& dir : {root + "/bin", wine_dir + "/x86_64-windows", root + "/share"}) {
        if (base::make_dirs(dir) != 0) return "cannot create " + dir;
    }
    std::string loader = root + "/bin/wine";
    if (base::write_file(loader, loader_script(source.loader)) != 0 ||
        ::chmod(loader.c_str(), 0755) != 0) {
        return "cannot write " + loader;
    }
    std::string error = link_or_error(source.wineserver, root + "/bin/wineserver");
    if (error.empty())
        error = link_or_error(source.lib_dir + "/x86_64-unix", wine_dir + "/x86_64-unix");
    if (error.empty()) {
        error = link_or_error(source.lib_dir + "/i386-windows", wine_dir + "/i386-windows");
    }
    if (error.empty()) error = link_or_error(source.share_dir, root + "/share/wine");
    if (!error.empty()) return error;
    // A real directory, so that the bridge can sit among Wine's own modules.
    int list_error = 0;
    for (const base::DirEntry& entry :
         base::list_dir(source.lib_dir + "/x86_64-windows", list_error)) {
        error = link_or_error(source.lib_dir + "/x86_64-windows/" + entry.name,
                              wine_dir + "/x86_64-windows/" + entry.name);
        if (!error.empty()) return error;
    }
    if (list_error != 0) return "cannot list " + source.lib_dir + "/x86_64-windows";
    std::string bridge = wine_dir + "/x86_64-windows/steam.exe";
    base::remove_file(bridge);
    if (base::copy_file(steam_bridge_exe(), bridge) != 0)
        return "cannot copy the bridge to " + bridge;
    return "";
}

std::string z_drive_path(const std::string& unix_path) {
    std::string out = "Z:" + unix_path;
    for (char& c : out) {
        if (c == '/') c = '\\';
    }
    return out;
}

std::vector<pid_t> processes_of_prefix(const std::string& prefix, const std::string& proc_root) {
    std::vector<pid_t> found;
    std::string wanted = "WINEPREFIX=" + prefix;
    for (const base::DirEntry& entry : base::list_dir(proc_root)) {
        if (!is_number(entry.name)) continue;
        std::string environ;
        if (base::read_file(proc_root + "/" + entry.name + "/environ", environ) != 0) continue;
        size_t pos = 0;
        while (pos < environ.size()) {
            size_t end = environ.find('\0', pos);
            if (end == std::string::npos) end = environ.size();
            if (environ.compare(pos, end - pos, wanted) == 0) {
                found.push_back(static_cast<pid_t>(std::stol(entry.name)));
                break;
            }
            pos = end + 1;
        }
    }
    return found;
}

std::vector<pid_t> children_of(pid_t parent, const std::string& proc_root) {
    std::vector<pid_t> found;
    for (const base::DirEntry& entry : base::list_dir(proc_root)) {
        if (!is_number(entry.name)) continue;
        std::string stat;
        if (base::read_file(proc_root + "/" + entry.name + "/stat", stat) != 0) continue;
        // "pid (comm) state ppid ...": the command name may hold blanks and parentheses.
        size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size()) continue;
        size_t ppid_start = stat.find(' ', close + 2);
        if (ppid_start == std::string::npos) continue;
        if (std::atol(stat.c_str() + ppid_start + 1) == parent) {
            found.push_back(static_cast<pid_t>(std::stol(entry.name)));
        }
    }
    return found;
}

std::vector<std::string> cmdline_of(pid_t pid, const std::string& proc_root) {
    std::string raw;
    std::vector<std::string> args;
    if (base::read_file(proc_root + "/" + std::to_string(pid) + "/cmdline", raw) != 0) return args;
    // Wine moves its arguments to the front of the original area and pads it with NUL bytes.
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    size_t pos = 0;
    while (pos < raw.size()) {
        size_t end = raw.find('\0', pos);
        if (end == std::string::npos) end = raw.size();
        args.push_back(raw.substr(pos, end - pos));
        pos = end + 1;
    }
    return args;
}

std::string use_private_shared_dirs(const std::string& private_root) {
    if (::unshare(CLONE_NEWNS) != 0) return "unshare: " + base::error_text(errno);
    // Nothing mounted here may leak back into the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return "making / private: " + base::error_text(errno);
    }
    std::string server_dir = "/tmp/.wine-" + std::to_string(::getuid());
    for (const std::string& shared : {std::string("/tmp/pelto"), server_dir}) {
        std::string own = private_root + "/" + std::string(base::file_name(shared));
        bool created = !base::lstat_path(shared);
        if (base::make_dirs(shared) != 0 || !base::is_dir(shared) || base::make_dirs(own) != 0) {
            return "cannot prepare " + shared;
        }
        // Wine insists that its server directory belongs to the user alone.
        if (shared == server_dir) {
            ::chmod(own.c_str(), 0700);
            if (created) ::chmod(shared.c_str(), 0700);
        }
        if (::mount(own.c_str(), shared.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return base::concat("bind mount on ", shared, ": ", base::error_text(errno));
        }
    }
    return "";
}

bool wait_until(const std::function<bool()>& done, long limit_ms) {
    base::Clock::time_point start = base::Clock::now();
    while (!done()) {
        if (base::elapsed_ms(start) >= static_cast<uint64_t>(limit_ms)) return done();
        base::sleep_ms(50);
    }
    return true;
}

WineFixture::WineFixture(bool builds_prefix, const WineSource& source) {
    remember_prefix(prefix());
    try {
        make_dir(home());
        make_dir(tmp_dir());
        make_dir(compat());
        make_dir(tool_dir());
        if (base::copy_file(pelto_binary(), pelto()) != 0) {
            error_ = "cannot copy " + pelto_binary() + " to " + pelto();
            return;
        }
        error_ = make_wine_tree(tool_dir(), source);
        if (!error_.empty()) return;
        if (auto dir = base::parent_dir(game_exe())) make_dir(*dir);
        if (base::copy_file(test_game_exe(), game_exe()) != 0) {
            error_ = "cannot copy the test game to " + game_exe();
            return;
        }
        if (builds_prefix) {
            const PristinePrefix& pristine = pristine_prefix(source);
            if (!pristine.error.empty()) {
                error_ = "cannot build the prefix: " + pristine.error;
                return;
            }
            RunResult copy =
                run_program("/bin/cp", {"-a", pristine.prefix, prefix()}, {{"PATH", kPath}});
            if (copy.exit_code() != 0) error_ = describe("cp -a of the prefix", copy);
        }
    } catch (const std::exception& e) {
        error_ = e.what();
    }
}

WineFixture::~WineFixture() { stop_wine(); }

std::map<std::string, std::string> WineFixture::env() const {
    std::map<std::string, std::string> env = base_env(home());
    env["TMPDIR"] = tmp_dir();
    env["STEAM_COMPAT_DATA_PATH"] = compat();
    env["HOST_LC_ALL"] = "C.UTF-8";
    return env;
}

void WineFixture::write_env_config(const std::string& text) const {
    write_text(tool_dir() + "/env_config", text);
}

RunResult WineFixture::run_game(const std::vector<std::string>& game_args,
                                const std::map<std::string, std::string>& extra_env,
                                const RunOptions& options) const {
    std::map<std::string, std::string> full_env = env();
    for (const auto& [name, value] : extra_env) full_env[name] = value;
    std::vector<std::string> args = {"waitforexitandrun", game_exe()};
    args.insert(args.end(), game_args.begin(), game_args.end());
    return run_program(pelto(), args, full_env, options);
}

std::vector<std::string> WineFixture::leftover_processes(long limit_ms) const {
    wait_until([&] { return processes_of_prefix(prefix()).empty(); }, limit_ms);
    std::vector<std::string> left;
    for (pid_t pid : processes_of_prefix(prefix())) {
        std::string line = std::to_string(pid) + ":";
        for (const std::string& arg : cmdline_of(pid)) line += " " + arg;
        left.push_back(line);
    }
    return left;
}

void WineFixture::stop_wine() const {
    if (base::exists(prefix()) && base::exists(tool_dir() + "/bin/wineserver")) {
        std::map<std::string, std::string> wine_env = env();
        wine_env["WINEPREFIX"] = prefix();
        try {
            run_program(tool_dir() + "/bin/wineserver", {"-k"}, wine_env);
        } catch (const std::exception&) {
        }
    }
    for (pid_t pid : processes_of_prefix(prefix())) ::kill(pid, SIGKILL);
    wait_until([&] { return processes_of_prefix(prefix()).empty(); }, 60000);
}

void WineTest::SetUp() {
    std::string reason = wine_unavailable_reason();
    if (!reason.empty()) GTEST_SKIP() << "real Wine unavailable: " << reason;
    wine = std::make_unique<WineFixture>(fixture_builds_prefix());
    ASSERT_EQ(wine->error(), "");
}

void WineTest::TearDown() {
    if (!wine) return;
    std::vector<std::string> left = wine->leftover_processes();
    EXPECT_TRUE(left.empty()) << "still running in " << wine->prefix() << ":\n"
                              << ::testing::PrintToString(left);
    wine.reset();
}

}  // namespace pelto::testing
