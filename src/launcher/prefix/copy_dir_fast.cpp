// The template copy behind prefix creation and repair. Directories are listed with the raw
// getdents64 call into one large buffer, which gives the file type of every entry without a
// status query; the subdirectories of the first two levels are copied concurrently. Files are
// copied, as copy-on-write clones where the file system can make them: a prefix never shares a
// file with the template, or a game that writes into one (win.ini) would change the template
// and every prefix made from it later. Every destination directory is reached from the
// prefix's own directory, so a link in the prefix that leads out of it receives nothing.
#include "launcher/prefix/copy_dir_fast.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "base/beneath.hpp"
#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/tree_walk.hpp"

namespace pelto::launcher::prefix {

namespace {

constexpr size_t kListingBufferSize = 0x8000;

// Offsets inside one linux_dirent64 record.
constexpr size_t kRecordLengthOffset = 16;
constexpr size_t kTypeOffset = 18;
constexpr size_t kNameOffset = 19;

constexpr unsigned char kTypeUnknown = 0;
constexpr unsigned char kTypeDirectory = 4;
constexpr unsigned char kTypeLink = 10;

struct SubdirPair {
    std::string source;
    std::string relative;  // the destination below the prefix
};

// The open source and destination directories of one call: entries are made by name relative
// to them, which spares the kernel two walks of the full paths per file.
struct DirPair {
    int source_fd;
    int destination_fd;
};

// One copy as a whole: the template's root and the destination's root, and the count of
// entries that could not be deployed. A template link whose target lies inside the template
// (Wine's "dosdevices/c:" -> "../drive_c") must lead to the same place inside the copy:
// pointing it at the template itself would send every write of the game into the shared
// template, and into every prefix made from it later.
struct CopyJob {
    std::string source;                           // the template root as given
    std::optional<std::string> canonical_source;  // its canonical path
    std::string destination;                      // the prefix as given, for messages
    base::Fd destination_root;                    // the prefix: every directory lies beneath
    mutable std::atomic<uint32_t> failures{0};

    void failed(const std::string& what) const {
        base::log_warn(what);
        failures.fetch_add(1, std::memory_order_relaxed);
    }
};

// Copies the template file `name` into place, unless something is there already. Returns 1
// when a file was created, 0 otherwise.
uint32_t deploy_file(const std::string& source, const char* name, const DirPair& dirs,
                     const CopyJob& job) {
    int error = base::copy_new_at(dirs.source_fd, name, dirs.destination_fd, name);
    if (error == 0) return 1;
    struct stat status;
    if (error == EEXIST) {
        // Something is in place already, and nothing is ever replaced. When the name is held
        // by a dangling link, copying would write through it and create a file wherever that
        // link points, possibly outside the prefix, so the entry is reported instead.
        if (::fstatat(dirs.destination_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode) && status.st_nlink > 1) {
            // Except a file shared by hard links: older prefixes linked the template's files,
            // so such a file is shared with the template and with every prefix made from it
            // then. It gets a copy of its own, so that a write to it reaches no other game.
            base::Fd in =
                base::open_regular_at(dirs.destination_fd, name, O_RDONLY | O_NOFOLLOW, 0, error);
            if (in.valid()) error = base::copy_into(in.get(), dirs.destination_fd, name);
            if (error != 0) {
                job.failed(
                    base::concat("copy_dir_fast: failed to deploy ", base::lossy_utf8(source)));
            }
            return 0;
        }
        if (::fstatat(dirs.destination_fd, name, &status, 0) == 0) return 0;
    }
    // A failed copy removed its half-written file (a full disk), which would otherwise count
    // as present on every later repair.
    job.failed(base::concat("copy_dir_fast: failed to deploy ", base::lossy_utf8(source)));
    return 0;
}

// True when the dangling link `name` of the destination already says what the template link
// `source` says.
bool dangling_link_matches(const std::string& source, int destination_dir, const char* name) {
    if (base::canonical(source)) return false;  // the template link resolves: repair ours
    std::optional<std::string> source_target = base::read_link(source);
    std::optional<std::string> destination_target = base::read_link_at(destination_dir, name);
    if (source_target && destination_target) {
        return base::same_path(*source_target, *destination_target);
    }
    return !source_target && !destination_target;
}

// Where the link `source` of the template, whose canonical target is `target`, should point in
// the copy: outside the template the canonical target; inside it a path relative to the link's
// own directory, as Wine lays them out, so the link still holds when the whole prefix moves
// (Steam moves a game's compatibility data with the game's library).
std::string link_target_in_copy(const std::string& source, const std::string& target,
                                const CopyJob& job) {
    if (!job.canonical_source || !base::path_inside(target, *job.canonical_source)) return target;
    std::string_view inside = std::string_view(target).substr(job.canonical_source->size());
    while (!inside.empty() && inside.front() == '/') inside.remove_prefix(1);
    // The link's directory below the root: every component of it is a real directory in both
    // trees, since the copy descends only into real directories.
    std::string_view link_dir = std::string_view(source).substr(job.source.size());
    std::vector<std::string_view> parts = base::split(link_dir, '/');
    parts.pop_back();  // the last component is the link itself
    auto depth = std::count_if(parts.begin(), parts.end(),
                               [](std::string_view part) { return !part.empty(); });
    std::string relative;
    for (decltype(depth) i = 0; i < depth; ++i) relative += "../";
    relative += inside;
    if (relative.empty()) return ".";
    if (relative.back() == '/') relative.pop_back();
    return relative;
}

// Recreates the template link `source` as `name` of the destination directory: pointing at the
// canonical location of its target when that exists, otherwise holding the template's own
// target text.
uint32_t deploy_link(const std::string& source, const std::string& destination, const char* name,
                     const DirPair& dirs, const CopyJob& job) {
    struct stat status;
    if (::fstatat(dirs.destination_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        // A real file or directory in the prefix is never swapped for a link.
        if (!S_ISLNK(status.st_mode)) return 0;
        if (::fstatat(dirs.destination_fd, name, &status, 0) == 0) return 0;
        if (dangling_link_matches(source, dirs.destination_fd, name)) return 0;
        if (::unlinkat(dirs.destination_fd, name, 0) != 0 && errno != ENOENT) {
            job.failed(base::concat("Cannot remove ", base::lossy_utf8(destination), ": ",
                                    base::error_text(errno)));
        }
    }
    std::optional<std::string> target = base::canonical(source);
    if (target) target = link_target_in_copy(source, *target, job);
    if (!target) target = base::read_link(source);
    if (!target) return 0;
    if (target->find('\0') != std::string::npos ||
        ::symlinkat(target->c_str(), dirs.destination_fd, name) != 0) {
        job.failed(base::concat("Symlink failed ", base::lossy_utf8(destination), ": ",
                                base::error_text(errno)));
        return 0;
    }
    return 1;
}

// Copies every queued subdirectory on a thread of its own, all started before any is joined.
uint32_t copy_dir(const std::string& source, const std::string& relative, uint32_t depth,
                  const CopyJob& job);

uint32_t copy_subdirs_in_parallel(const std::vector<SubdirPair>& queue, uint32_t depth,
                                  const CopyJob& job) {
    std::vector<uint32_t> counts(queue.size(), 0);
    std::vector<std::thread> threads;
    threads.reserve(queue.size());
    std::vector<size_t> not_started;
    for (size_t i = 0; i < queue.size(); ++i) {
        try {
            threads.emplace_back([&queue, &counts, i, depth, &job] {
                counts[i] = copy_dir(queue[i].source, queue[i].relative, depth + 1, job);
            });
        } catch (const std::system_error&) {
            // Out of threads: this subdirectory is copied on the calling thread below.
            threads.emplace_back();
            not_started.push_back(i);
        }
    }
    for (size_t i : not_started) {
        counts[i] = copy_dir(queue[i].source, queue[i].relative, depth + 1, job);
    }
    uint32_t total = 0;
    for (size_t i = 0; i < threads.size(); ++i) {
        if (threads[i].joinable()) threads[i].join();
        total += counts[i];
    }
    return total;
}

uint32_t copy_dir(const std::string& source, const std::string& relative, uint32_t depth,
                  const CopyJob& job) {
    if (source.find('\0') != std::string::npos) return 0;
    int error = 0;
    base::Fd dir = base::open_file(source, O_RDONLY | O_DIRECTORY, 0, error);
    if (!dir.valid()) {
        base::log_error(base::concat("copy_dir_fast: failed to open ", base::lossy_utf8(source)));
        job.failures.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    std::string destination = base::join_path(job.destination, relative);
    base::Fd destination_dir = base::make_dirs_beneath(job.destination_root.get(), relative, error);
    if (error == EXDEV) {
        // The prefix has its own folder there, out of it (a wineboot-made profile folder
        // linked into the player's home): it is left as it is.
        base::log_warn(base::concat("copy_dir_fast: not writing into ",
                                    base::lossy_utf8(destination), ": ",
                                    base::why_outside(job.destination, relative)));
        return 0;
    }
    if (!destination_dir.valid()) {
        base::log_error(base::concat("copy_dir_fast: cannot create ", base::lossy_utf8(destination),
                                     ": ", base::error_text(error)));
        job.failures.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }

    // On the heap: a deep tree recurses once per level, and each level's buffer on the
    // thread's stack would add up.
    std::unique_ptr<char[]> buffer(new char[kListingBufferSize]);
    const DirPair dirs{dir.get(), destination_dir.get()};
    std::string source_entry = base::join_path(source, "");
    std::string destination_entry = base::join_path(destination, "");
    std::string relative_entry = relative.empty() ? std::string() : base::join_path(relative, "");
    const size_t source_base = source_entry.size();
    const size_t destination_base = destination_entry.size();
    const size_t relative_base = relative_entry.size();
    std::vector<SubdirPair> queue;
    uint32_t count = 0;

    while (true) {
        long got = ::syscall(SYS_getdents64, dir.get(), buffer.get(), kListingBufferSize);
        if (got < 0) {
            int list_error = errno;
            if (list_error == EINTR) continue;
            base::log_error(base::concat("copy_dir_fast: getdents64 failed on ",
                                         base::lossy_utf8(source),
                                         " (errno=", base::error_text(list_error), ")"));
            job.failures.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        if (got == 0) break;
        for (long offset = 0; offset < got;) {
            const char* record = buffer.get() + offset;
            uint16_t record_length = 0;
            std::memcpy(&record_length, record + kRecordLengthOffset, sizeof record_length);
            if (record_length <= kNameOffset || offset + record_length > got) break;
            offset += record_length;
            unsigned char type = static_cast<unsigned char>(record[kTypeOffset]);
            const char* name = record + kNameOffset;
            size_t name_length = ::strnlen(name, record_length - kNameOffset);
            if ((name_length == 1 && name[0] == '.') ||
                (name_length == 2 && name[0] == '.' && name[1] == '.')) {
                continue;
            }
            source_entry.resize(source_base);
            source_entry.append(name, name_length);
            destination_entry.resize(destination_base);
            destination_entry.append(name, name_length);
            relative_entry.resize(relative_base);
            relative_entry.append(name, name_length);
            const char* entry_name = source_entry.c_str() + source_base;

            if (type == kTypeUnknown) {
                auto status = base::lstat_path(source_entry);
                if (!status) {
                    int stat_error = errno;
                    job.failed(base::concat("copy_dir_fast: cannot stat ",
                                            base::lossy_utf8(source_entry), ": ",
                                            base::error_text(stat_error)));
                    continue;
                }
                type = S_ISDIR(status->st_mode)   ? kTypeDirectory
                       : S_ISLNK(status->st_mode) ? kTypeLink
                                                  : kTypeUnknown;
            }
            if (type == kTypeDirectory) {
                if (depth <= 1) {
                    queue.push_back({source_entry, relative_entry});
                } else {
                    count += copy_dir(source_entry, relative_entry, depth + 1, job);
                }
            } else if (type == kTypeLink) {
                count += deploy_link(source_entry, destination_entry, entry_name, dirs, job);
            } else {
                count += deploy_file(source_entry, entry_name, dirs, job);
            }
        }
    }
    dir.reset();
    destination_dir.reset();
    buffer.reset();

    if (!queue.empty()) count += copy_subdirs_in_parallel(queue, depth, job);
    return count;
}

}  // namespace

uint32_t copy_dir_fast(const std::string& source, const std::string& destination, uint32_t depth,
                       uint32_t* failures) {
    CopyJob job;
    job.source = source;
    job.canonical_source =
        source.find('\0') == std::string::npos ? base::canonical(source) : std::nullopt;
    job.destination = destination;
    if (source.find('\0') != std::string::npos) return 0;
    int error = 0;
    if (!base::open_file(source, O_RDONLY | O_DIRECTORY, 0, error).valid()) {
        base::log_error(base::concat("copy_dir_fast: failed to open ", base::lossy_utf8(source)));
        if (failures != nullptr) *failures = 1;
        return 0;
    }
    job.destination_root = base::open_root_dir(destination, error);
    if (!job.destination_root.valid()) {
        base::log_error(base::concat("copy_dir_fast: cannot create ", base::lossy_utf8(destination),
                                     ": ", base::error_text(error)));
        if (failures != nullptr) *failures = 1;
        return 0;
    }
    uint32_t count = copy_dir(source, "", depth, job);
    if (failures != nullptr) *failures = job.failures.load();
    return count;
}

}  // namespace pelto::launcher::prefix
