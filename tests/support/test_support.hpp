// Shared test helpers: a scoped temporary directory, small file helpers, and running the
// built pelto binary with a fully controlled environment.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pelto::testing {

/// A fresh directory under /tmp (or under `base`), removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const std::string& base = "/tmp");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    /// "{path}/{relative}"
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

/// Writes `content` to `path`, creating parent directories.
void write_text(const std::string& path, const std::string& content);
/// The whole content of `path`, or "" when it cannot be read.
std::string read_text(const std::string& path);
/// Writes an executable shell script: "#!/bin/sh", a line feed, then `body`.
void write_script(const std::string& path, const std::string& body);
/// The inode number of `path` itself (links not followed); 0 when it cannot be queried.
ino_t inode_of(const std::string& path);
/// Creates `path` with its parents.
void make_dir(const std::string& path);
/// Creates a symbolic link `path` -> `target`, creating the parent directory.
void make_link(const std::string& target, const std::string& path);

/// The result of one run of a program.
struct RunResult {
    int status = -1;  // raw wait status
    std::string out;  // standard output
    std::string err;  // standard error
    bool exited() const;
    int exit_code() const;  // -1 when it did not exit normally
    /// The log lines with their "[HH:MM:SS]" stamps removed (each starts with the level tag).
    std::vector<std::string> log_lines() const;
    /// True when some log line (without stamp) equals `tagged`, e.g. "[WARN]   text".
    bool has_line(const std::string& tagged) const;
};

struct RunOptions {
    std::optional<std::string> cwd;
    bool close_stdout = false;   // start the program with descriptor 1 closed
    bool close_all_std = false;  // start it with descriptors 0, 1 and 2 closed (output lost)
    /// When set, called with the child's pid right after it started (e.g. to signal it).
    std::function<void(pid_t)> on_started;
};

/// Runs `program` with exactly `env` as its environment (nothing inherited) and waits.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env,
                      const RunOptions& options = {});

/// Sets or unsets environment variables of the test process for one scope, then restores them.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    void set(const std::string& name, const std::string& value);
    void unset(const std::string& name);

private:
    void remember(const std::string& name);
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

/// The log lines (stamps removed) that `action` wrote to standard error.
std::vector<std::string> capture_log(const std::function<void()>& action);

/// Path of the built pelto binary.
std::string pelto_binary();

/// A minimal environment for running pelto: PATH, HOME and what the caller adds.
std::map<std::string, std::string> base_env(const std::string& home);

}  // namespace pelto::testing
