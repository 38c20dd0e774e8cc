#include "support/test_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include <gtest/gtest.h>

#include "base/log.hpp"

#include "base/posix.hpp"

namespace pelto::testing {

TempDir::TempDir(const std::string& base) {
    std::string pattern = base + "/pelto-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + base);
    path_ = pattern;
}

TempDir::~TempDir() { base::remove_tree(path_); }

void write_text(const std::string& path, const std::string& content) {
    if (auto parent = base::parent_dir(path); parent && !parent->empty()) base::make_dirs(*parent);
    if (base::write_file(path, content) != 0) throw std::runtime_error("cannot write " + path);
}

std::string read_text(const std::string& path) {
    std::string out;
    base::read_file(path, out);
    return out;
}

void write_script(const std::string& path, const std::string& body) {
    write_text(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
}

ino_t inode_of(const std::string& path) {
    auto status = base::lstat_path(path);
    return status ? status->st_ino : 0;
}

void make_dir(const std::string& path) {
    if (base::make_dirs(path) != 0) throw std::runtime_error("cannot create " + path);
}

void make_link(const std::string& target, const std::string& path) {
    if (auto parent = base::parent_dir(path); parent && !parent->empty()) base::make_dirs(*parent);
    if (base::make_symlink(target, path) != 0) throw std::runtime_error("cannot link " + path);
}

bool RunResult::exited() const { return WIFEXITED(status); }
int RunResult::exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::vector<std::string> RunResult::log_lines() const {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < err.size()) {
        size_t end = err.find('\n', pos);
        if (end == std::string::npos) end = err.size();
        std::string line = err.substr(pos, end - pos);
        if (line.size() >= 10 && line[0] == '[' && line[9] == ']') line = line.substr(10);
        if (!line.empty() && line[0] == ' ') line = line.substr(1);
        lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

bool RunResult::has_line(const std::string& tagged) const {
    for (const std::string& line : log_lines()) {
        if (line == tagged) return true;
    }
    return false;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, const RunOptions& options) {
    TempDir capture;
    std::string out_path = capture / "out", err_path = capture / "err";
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_strings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (const auto& [name, value] : env) env_strings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.close_all_std) {
        posix_spawn_file_actions_addclose(&actions, 0);
        posix_spawn_file_actions_addclose(&actions, 1);
        posix_spawn_file_actions_addclose(&actions, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (options.close_stdout) {
            posix_spawn_file_actions_addclose(&actions, 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (options.cwd) posix_spawn_file_actions_addchdir_np(&actions, options.cwd->c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t empty;
    sigemptyset(&empty);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int error = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    RunResult result;
    if (error != 0) throw std::runtime_error("cannot start " + program);
    if (options.on_started) options.on_started(pid);
    while (::waitpid(pid, &result.status, 0) < 0) {
    }
    result.out = read_text(out_path);
    result.err = read_text(err_path);
    return result;
}

ScopedEnv::~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second)
            ::setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            ::unsetenv(it->first.c_str());
    }
}

void ScopedEnv::remember(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
    remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
    remember(name);
    ::unsetenv(name.c_str());
}

std::vector<std::string> capture_log(const std::function<void()>& action) {
    ::testing::internal::CaptureStderr();
    action();
    RunResult parsed;
    parsed.err = ::testing::internal::GetCapturedStderr();
    std::vector<std::string> lines = parsed.log_lines();
    return lines;
}

std::string pelto_binary() { return PELTO_BINARY; }

std::map<std::string, std::string> base_env(const std::string& home) {
    return {{"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"HOME", home}};
}

}  // namespace pelto::testing

namespace {
// The unit tests check DEBUG lines: turn them on before any test runs. Quiet-mode behaviour
// is checked through the built binary.
const bool kVerboseForTests = [] {
    pelto::base::set_verbose(true);
    return true;
}();
}  // namespace
