#include "launcher/core/launch_lock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "base/log.hpp"
#include "base/process.hpp"
#include "base/text.hpp"

namespace pelto::launcher::core {

namespace {

// The locked bytes of the lock file.
enum LockByte : off_t {
    kSetupByte = 0,    // held exclusively while a launch sets the prefix up
    kSavesByte = 1,    // held exclusively by the launch that protects the save data
    kRunningByte = 2,  // held shared by every launch for as long as it runs
};

// How often a launch that waits for another's setup looks again.
constexpr long kPollMs = 50;

// Opens the lock file, replacing a link, a FIFO or any other special file at its name (never
// following it): two launches could not take turns on it. A directory there is left alone.
base::Fd open_lock_file(const std::string& path, int& error) {
    constexpr int kFlags = O_RDWR | O_CREAT | O_NOFOLLOW;
    // Two launches that start together may both find a stale link and replace it: each opens
    // again until the file it holds is the one at the path, so both lock the same file.
    for (int attempt = 0; attempt < 4; ++attempt) {
        base::Fd file = base::open_regular(path, kFlags, 0644, error);
        if (file.valid()) {
            struct stat held;
            auto at_path = base::lstat_path(path);
            if (attempt == 3 || ::fstat(file.get(), &held) != 0 ||
                (at_path && at_path->st_dev == held.st_dev && at_path->st_ino == held.st_ino)) {
                return file;
            }
            continue;
        }
        if (error == EISDIR) return file;
        auto status = base::lstat_path(path);
        if (!status || S_ISREG(status->st_mode)) continue;  // changed since the open: again
        if (S_ISDIR(status->st_mode)) return file;
        if (int removed = base::remove_file(path); removed != 0 && removed != ENOENT) return file;
        base::log_warn(
            base::concat("launch lock: ", base::as_text(path),
                         S_ISLNK(status->st_mode) ? " was a link" : " was a special file",
                         " — replaced by a lock file"));
    }
    return base::Fd();
}

// The pid the launch that sets the prefix up wrote into the lock file; "" when none.
std::string setup_holder(int fd) {
    char text[32];
    ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    if (got <= 0) return "";
    std::string_view pid(text, static_cast<size_t>(got));
    pid = pid.substr(0, pid.find('\n'));
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string_view::npos) return "";
    return std::string(pid);
}

}  // namespace

LaunchLock open_launch_lock(const std::string& compat_data) {
    LaunchLock lock;
    std::string path = base::join_path(compat_data, ".pelto_lock");
    int error = 0;
    lock.file = open_lock_file(path, error);
    if (!lock.file.valid()) {
        base::log_warn(base::concat("launch lock: cannot use ", base::as_text(path), ": ",
                                    base::error_text(error),
                                    " — two launches of this game cannot take turns"));
        return lock;
    }
    (void)base::try_lock_byte(lock.file.get(), kRunningByte, true);
    lock.protects_saves = base::try_lock_byte(lock.file.get(), kSavesByte) != EAGAIN;
    return lock;
}

void begin_prefix_setup(LaunchLock& lock, long limit_ms) {
    if (!lock.file.valid()) return;
    base::Clock::time_point start = base::Clock::now();
    bool said = false;
    while (base::try_lock_byte(lock.file.get(), kSetupByte) == EAGAIN) {
        if (!said) {
            // At once, so that a launch that seems to hang says why.
            std::string holder = setup_holder(lock.file.get());
            base::log_info(base::concat("waiting for another launch of this prefix",
                                        holder.empty() ? "" : " (pid " + holder + ")",
                                        " to finish setting it up (at most ", limit_ms / 1000,
                                        " s)"));
            said = true;
        }
        if (base::stop_signal() != 0) return;
        if (base::elapsed_ms(start) >= static_cast<uint64_t>(limit_ms)) {
            base::log_warn(
                base::concat("another launch of this prefix is still setting it up "
                             "— going on after ",
                             limit_ms / 1000, " s"));
            return;
        }
        base::sleep_ms(kPollMs);
    }
    // The launch that protected the save data when this one started may have gone while it
    // waited (killed outright): the protection is this launch's then.
    if (!lock.protects_saves) {
        lock.protects_saves = base::try_lock_byte(lock.file.get(), kSavesByte) != EAGAIN;
    }
    // Tells a launch that waits for this one whom it waits for.
    std::string pid = base::concat(static_cast<long>(::getpid()), "\n");
    if (::ftruncate(lock.file.get(), 0) == 0) {
        (void)::pwrite(lock.file.get(), pid.data(), pid.size(), 0);
    }
}

void end_prefix_setup(LaunchLock& lock) {
    if (lock.file.valid()) (void)base::unlock_byte(lock.file.get(), kSetupByte);
}

bool another_launch_running(const LaunchLock& lock) {
    // Without a lock no launch can prove it is alone.
    if (!lock.file.valid()) return true;
    // A look at the others' holds that changes nothing: the launch's own shared hold stays, so
    // a launch that starts at this moment is never refused its own.
    bool locked = false;
    if (base::byte_locked_by_other(lock.file.get(), kRunningByte, locked) != 0) return true;
    return locked;
}

bool may_end_wine_session(const LaunchLock* lock) {
    return lock == nullptr || !another_launch_running(*lock);
}

}  // namespace pelto::launcher::core
