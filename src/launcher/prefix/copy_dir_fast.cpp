// The template copy behind prefix creation and repair. Directories are listed with the raw
// getdents64 call into one large buffer, which gives the file type of every entry without a
// status query; files are hard-linked (one metadata operation, no data) and copied only when
// linking fails; the subdirectories of the first two levels are copied concurrently.
#include "launcher/prefix/copy_dir_fast.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

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
    std::string destination;
};

// The open source and destination directories of one call: links are made by name relative
// to them, which spares the kernel two walks of the full paths per file.
struct DirPair {
    int source_fd;
    int destination_fd;  // -1 when it could not be opened: paths are used instead
};

// One copy as a whole: the template's root and the destination's root, and the count of
// entries that could not be deployed. A template link whose target lies inside the template
// (Wine's "dosdevices/c:" -> "../drive_c") must lead to the same place inside the copy:
// pointing it at the template itself would send every write of the game into the shared
// template, and into every prefix made from it later.
struct CopyJob {
    std::string source;                           // the template root as given
    std::optional<std::string> canonical_source;  // its canonical path
    mutable std::atomic<uint32_t> failures{0};

    void failed(const std::string& what) const {
        base::log_warn(what);
        failures.fetch_add(1, std::memory_order_relaxed);
    }
};

// Links `source` (named `name` in its directory) into place at `destination`, or copies it
// when linking is impossible. Returns 1 when a file was created, 0 otherwise.
uint32_t deploy_file(const std::string& source, const std::string& destination, const char* name,
                     const DirPair& dirs, const CopyJob& job) {
    int error = dirs.destination_fd >= 0
                    ? base::hard_link_at(dirs.source_fd, name, dirs.destination_fd, name)
                    : base::hard_link(source, destination);
    if (error == 0) return 1;
    if (error == EEXIST) {
        // Something is in place already, and nothing is ever replaced. When the name is held
        // by a dangling link, copying would write through it and create a file wherever that
        // link points, possibly outside the prefix, so the entry is reported instead.
        if (base::exists(destination)) return 0;
        job.failed(base::concat("copy_dir_fast: failed to deploy ", base::lossy_utf8(source)));
        return 0;
    }
    // Linking can fail on the source before the kernel looks at the destination, so the
    // name may be taken after all: the copy only ever creates a new file.
    if (base::lstat_path(destination)) {
        if (base::exists(destination)) return 0;
        job.failed(base::concat("copy_dir_fast: failed to deploy ", base::lossy_utf8(source)));
        return 0;
    }
    error = base::copy_file(source, destination, base::CopyTarget::CreateNew);
    if (error == 0) return 1;
    if (error == EEXIST) return 0;
    // The copy removed its half-written file (a full disk), which would otherwise count as
    // present on every later repair.
    job.failed(base::concat("copy_dir_fast: failed to deploy ", base::lossy_utf8(source)));
    return 0;
}

// True when the dangling link at `destination` already says what the template link says.
bool dangling_link_matches(const std::string& source, const std::string& destination) {
    if (base::canonical(source)) return false;  // the template link resolves: repair ours
    std::optional<std::string> source_target = base::read_link(source);
    std::optional<std::string> destination_target = base::read_link(destination);
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
    size_t depth = 0;
    for (size_t pos = 0; pos < link_dir.size();) {
        size_t slash = link_dir.find('/', pos);
        size_t end = slash == std::string_view::npos ? link_dir.size() : slash;
        if (end > pos && end != link_dir.size()) ++depth;  // the last component is the link
        pos = end + 1;
    }
    std::string relative;
    for (size_t i = 0; i < depth; ++i) relative += "../";
    relative += inside;
    if (relative.empty()) return ".";
    if (relative.back() == '/') relative.pop_back();
    return relative;
}

// Recreates the template link `source` at `destination`: pointing at the canonical location
// of its target when that exists, otherwise holding the template's own target text.
uint32_t deploy_link(const std::string& source, const std::string& destination,
                     const CopyJob& job) {
    if (auto status = base::lstat_path(destination)) {
        // A real file or directory in the prefix is never swapped for a link.
        if (!S_ISLNK(status->st_mode)) return 0;
        if (base::exists(destination)) return 0;
        if (dangling_link_matches(source, destination)) return 0;
        int error = base::remove_file(destination);
        if (error != 0 && error != ENOENT) {
            job.failed(base::concat("Cannot remove ", base::lossy_utf8(destination), ": ",
                                    base::error_text(error)));
        }
    }
    std::optional<std::string> target = base::canonical(source);
    if (target) target = link_target_in_copy(source, *target, job);
    if (!target) target = base::read_link(source);
    if (!target) return 0;
    if (int error = base::make_symlink(*target, destination); error != 0) {
        job.failed(base::concat("Symlink failed ", base::lossy_utf8(destination), ": ",
                                base::error_text(error)));
        return 0;
    }
    return 1;
}

// Copies every queued subdirectory on a thread of its own, all started before any is joined.
uint32_t copy_dir(const std::string& source, const std::string& destination, uint32_t depth,
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
                counts[i] = copy_dir(queue[i].source, queue[i].destination, depth + 1, job);
            });
        } catch (const std::system_error&) {
            // Out of threads: this subdirectory is copied on the calling thread below.
            threads.emplace_back();
            not_started.push_back(i);
        }
    }
    for (size_t i : not_started) {
        counts[i] = copy_dir(queue[i].source, queue[i].destination, depth + 1, job);
    }
    uint32_t total = 0;
    for (size_t i = 0; i < threads.size(); ++i) {
        if (threads[i].joinable()) threads[i].join();
        total += counts[i];
    }
    return total;
}

uint32_t copy_dir(const std::string& source, const std::string& destination, uint32_t depth,
                  const CopyJob& job) {
    if (source.find('\0') != std::string::npos) return 0;
    int error = 0;
    base::Fd dir = base::open_file(source, O_RDONLY | O_DIRECTORY, 0, error);
    if (!dir.valid()) {
        base::log_error(base::concat("copy_dir_fast: failed to open ", base::lossy_utf8(source)));
        job.failures.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    if (error = base::make_dirs(destination); error != 0) {
        base::log_error(base::concat("copy_dir_fast: cannot create ", base::lossy_utf8(destination),
                                     ": ", base::error_text(error)));
        job.failures.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }

    // On the heap: a deep tree recurses once per level, and each level's buffer on the
    // thread's stack would add up.
    std::unique_ptr<char[]> buffer(new char[kListingBufferSize]);
    base::Fd destination_dir = base::open_file(destination, O_RDONLY | O_DIRECTORY, 0, error);
    const DirPair dirs{dir.get(), destination_dir.get()};
    std::string source_entry = base::join_path(source, "");
    std::string destination_entry = base::join_path(destination, "");
    const size_t source_base = source_entry.size();
    const size_t destination_base = destination_entry.size();
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
                    queue.push_back({source_entry, destination_entry});
                } else {
                    count += copy_dir(source_entry, destination_entry, depth + 1, job);
                }
            } else if (type == kTypeLink) {
                count += deploy_link(source_entry, destination_entry, job);
            } else {
                count += deploy_file(source_entry, destination_entry,
                                     source_entry.c_str() + source_base, dirs, job);
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
    uint32_t count = copy_dir(source, destination, depth, job);
    if (failures != nullptr) *failures = job.failures.load();
    return count;
}

}  // namespace pelto::launcher::prefix
