#include "launcher/core/launch_lock.hpp"

#include <fcntl.h>

#include <cerrno>

#include "base/log.hpp"
#include "base/process.hpp"
#include "base/text.hpp"

namespace pelto::launcher::core {

namespace {

// The locked bytes of the lock file: held exclusively while a launch sets the prefix up, held
// exclusively by the launch that protects the save data, and held shared by every launch for
// as long as it runs.
constexpr off_t kSetupByte = 0;
constexpr off_t kSavesByte = 1;
constexpr off_t kRunningByte = 2;

constexpr long kPollMs = 50;

}  // namespace

LaunchLock open_launch_lock(const std::string& compat_data) {
    LaunchLock lock;
    std::string path = base::join_path(compat_data, ".pelto_lock");
    int error = 0;
    lock.file = base::open_regular(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0644, error);
    if (!lock.file.valid()) {
        base::log_debug("launch lock: cannot open ", base::as_text(path), ": ",
                        base::error_text(error));
        return lock;
    }
    (void)base::try_lock_byte(lock.file.get(), kRunningByte, true);
    lock.protects_saves = base::try_lock_byte(lock.file.get(), kSavesByte) != EAGAIN;
    return lock;
}

void begin_prefix_setup(LaunchLock& lock, long limit_ms) {
    if (!lock.file.valid()) return;
    base::Clock::time_point start = base::Clock::now();
    while (base::try_lock_byte(lock.file.get(), kSetupByte) == EAGAIN) {
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
}

void end_prefix_setup(LaunchLock& lock) {
    if (lock.file.valid()) (void)base::unlock_byte(lock.file.get(), kSetupByte);
}

bool another_launch_running(const LaunchLock& lock) {
    if (!lock.file.valid()) return false;
    // Only one holder can turn its shared hold into an exclusive one: then it is alone.
    if (base::try_lock_byte(lock.file.get(), kRunningByte) == EAGAIN) return true;
    (void)base::try_lock_byte(lock.file.get(), kRunningByte, true);
    return false;
}

}  // namespace pelto::launcher::core
