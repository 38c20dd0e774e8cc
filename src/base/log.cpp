#include "base/log.hpp"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::base {

namespace {

bool decide_verbose() {
    if (auto value = env_text("PELTO_VERBOSE"); value && *value == "1") return true;
    if (auto home = env_text("HOME")) {
        return exists(concat(*home, "/.cache/pelto/trace_verbose"));
    }
    return false;
}

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

}  // namespace

bool verbose() {
    static const bool decided = decide_verbose();  // thread-safe once-only initialisation
    return decided;
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
    std::string line = time_prefix();
    line += tag_of(level);
    line += message;
    line += '\n';
    std::lock_guard<std::mutex> guard(stderr_lock());
    // A failed write (a closed pipe) is ignored: the launch must not depend on its log.
    (void)write_all(STDERR_FILENO, line);
}

}  // namespace pelto::base
