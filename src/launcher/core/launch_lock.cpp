#include "launcher/core/launch_lock.hpp"

#include <fcntl.h>

#include <cerrno>

#include "base/log.hpp"
#include "base/text.hpp"

namespace pelto::launcher::core {

namespace {

// The two locked bytes of the lock file.
constexpr off_t kSetupByte = 0;
constexpr off_t kSavesByte = 1;

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
    lock.protects_saves = base::try_lock_byte(lock.file.get(), kSavesByte) != EAGAIN;
    return lock;
}

void begin_prefix_setup(LaunchLock& lock, long limit_ms) {
    if (!lock.file.valid()) return;
    base::Clock::time_point start = base::Clock::now();
    while (base::try_lock_byte(lock.file.get(), kSetupByte) == EAGAIN) {
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

}  // namespace pelto::launcher::core
