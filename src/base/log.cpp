#include "base/log.hpp"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::base {

namespace {

// The player's switch, as the driver found it.
std::atomic<bool> g_verbose{false};
// Set once a log file is on its way: a player who asks for one wants all of it.
std::atomic<bool> g_log_file_wanted{false};

std::string_view tag_of(LogLevel level) {
    switch (level) {
        case LogLevel::Debug: return " [DEBUG]  ";
        case LogLevel::Info: return " [INFO]   ";
        case LogLevel::Warn: return " [WARN]   ";
        case LogLevel::Error: return " [ERROR]  ";
    }
    return " [INFO]   ";
}

std::mutex& stderr_lock() {
    static std::mutex lock;
    return lock;
}

// The log copy; guarded by the standard-error lock, so that its lines come in the order of
// standard error's.
struct LogCopy {
    enum class State { Off, Holding, Writing } state = State::Off;
    std::string held;  // lines written while no file was attached yet
    LogCopyFile target;
};

LogCopy& log_copy() {
    static LogCopy copy;
    return copy;
}

std::string stamped(LogLevel level, std::string_view message) {
    std::string line = time_prefix();
    line += tag_of(level);
    line += message;
    line += '\n';
    return line;
}

// Writes `text` into the copy's file; a failure ends the copy (one WARN line on standard
// error only). Called with the standard-error lock held.
void copy_out(LogCopy& copy, std::string_view text) {
    if (copy.state != LogCopy::State::Writing) return;
    if (int error = write_all(copy.target.file.get(), text); error != 0) {
        copy.state = LogCopy::State::Off;
        copy.target.file.reset();
        (void)write_all(STDERR_FILENO,
                        stamped(LogLevel::Warn, concat("log file ", lossy_utf8(copy.target.path),
                                                       ": cannot write: ", error_text(error),
                                                       " — the log file ends here")));
    }
}

}  // namespace

void set_verbose(bool on) { g_verbose.store(on, std::memory_order_relaxed); }

bool verbose() {
    return g_verbose.load(std::memory_order_relaxed) ||
           g_log_file_wanted.load(std::memory_order_relaxed);
}

std::string time_prefix() {
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    struct tm local {};
    time_t seconds = now.tv_sec;
    ::localtime_r(&seconds, &local);
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d]", local.tm_hour % 100, local.tm_min % 100,
                  local.tm_sec % 100);
    return stamp;
}

void log_line(LogLevel level, std::string_view message) {
    if (level == LogLevel::Debug && !verbose()) return;
    std::string line = stamped(level, message);
    std::lock_guard<std::mutex> guard(stderr_lock());
    // A failed write (a closed pipe) is ignored: the launch must not depend on its log.
    (void)write_all(STDERR_FILENO, line);
    LogCopy& copy = log_copy();
    if (copy.state == LogCopy::State::Holding) copy.held += line;
    copy_out(copy, line);
}

void hold_log_copy() {
    g_log_file_wanted.store(true, std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(stderr_lock());
    LogCopy& copy = log_copy();
    if (copy.state == LogCopy::State::Off) copy.state = LogCopy::State::Holding;
}

void attach_log_copy(LogCopyFile file, std::string_view header) {
    std::lock_guard<std::mutex> guard(stderr_lock());
    LogCopy& copy = log_copy();
    copy.target = std::move(file);
    copy.state = LogCopy::State::Writing;
    std::string held = std::move(copy.held);
    copy.held.clear();
    copy_out(copy, concat(header, held));
}

bool log_copy_active() {
    std::lock_guard<std::mutex> guard(stderr_lock());
    return log_copy().state == LogCopy::State::Writing;
}

bool write_log_copy(std::string_view text) {
    std::lock_guard<std::mutex> guard(stderr_lock());
    LogCopy& copy = log_copy();
    copy_out(copy, text);
    return copy.state == LogCopy::State::Writing;
}

void end_log_copy() {
    std::string path;
    {
        std::lock_guard<std::mutex> guard(stderr_lock());
        LogCopy& copy = log_copy();
        path = copy.target.path;
        if (copy.state == LogCopy::State::Holding) {
            copy.state = LogCopy::State::Off;
            copy.held.clear();
        }
    }
    // Also after a failed write: the file holds the launch up to there.
    if (!path.empty()) log_info(concat("log file: ", lossy_utf8(path)));
    std::lock_guard<std::mutex> guard(stderr_lock());
    LogCopy& copy = log_copy();
    copy.state = LogCopy::State::Off;
    LogCopyFile target = std::move(copy.target);
    copy.target = {};
    target.file.reset();
    if (!target.dir.valid()) return;
    // Only now does the name hold this launch: another launch's file is replaced whole.
    if (::renameat(target.dir.get(), target.scratch.c_str(), target.dir.get(),
                   target.name.c_str()) != 0) {
        (void)write_all(
            STDERR_FILENO,
            stamped(LogLevel::Warn, concat("log file ", lossy_utf8(path),
                                           ": cannot put it in place: ", error_text(errno),
                                           " — it stays as ", lossy_utf8(target.scratch))));
    }
}

}  // namespace pelto::base
