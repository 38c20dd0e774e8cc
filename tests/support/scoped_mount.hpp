// A tmpfs mounted on a test directory for one scope: small ones to fill up, read-only ones to
// refuse writes. The tests run as root, so permission bits cannot make writes fail; mounts can.
#pragma once

#include <sys/mount.h>

#include <string>

#include "base/posix.hpp"

namespace pelto::testing {

class ScopedMount {
public:
    /// Mounts a tmpfs with `options` (e.g. "size=64k") on `dir`, creating it.
    ScopedMount(const std::string& dir, const std::string& options) : dir_(dir) {
        base::make_dirs(dir);
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~ScopedMount() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    bool ok() const { return mounted_; }

    /// Remounts the file system read-only (after the test has put its files there).
    bool make_read_only() const {
        return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

    /// Writes a filler file until the file system has no space left.
    void fill() const {
        std::string block(1 << 20, 'x');
        base::write_file(dir_ + "/.filler", block);
    }

private:
    std::string dir_;
    bool mounted_ = false;
};

}  // namespace pelto::testing
