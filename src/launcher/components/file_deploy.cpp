#include "launcher/components/file_deploy.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "base/beneath.hpp"
#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/tree_walk.hpp"

namespace pelto::launcher::components {

namespace {

// A modification time is unreadable when its nanosecond part is out of range.
bool readable_time(const struct timespec& time) {
    return time.tv_nsec >= 0 && time.tv_nsec < 1'000'000'000;
}

// Where a copy meant for `name` in `dir` goes: through a link there that leads to a regular
// file inside the prefix, that file; otherwise `name` itself, whatever stands there.
struct Target {
    base::Fd dir;
    std::string name;
};

Target write_target(int prefix_fd, const std::string& prefix, const std::string& canonical_prefix,
                    int dir, const std::string& relative, const std::string& name) {
    auto own_name = [&] { return Target{base::Fd(::fcntl(dir, F_DUPFD_CLOEXEC, 0)), name}; };
    struct stat own;
    if (::fstatat(dir, name.c_str(), &own, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(own.st_mode)) {
        return own_name();
    }
    // Where the link leads, all links resolved; the file is then reached again from the prefix
    // through real directories only.
    std::optional<std::string> real = base::canonical(base::join_path(prefix, relative));
    auto status = real ? base::stat_path(*real) : std::nullopt;
    if (!status || !S_ISREG(status->st_mode) || !base::path_inside(*real, canonical_prefix)) {
        return own_name();
    }
    std::string inside = real->substr(canonical_prefix.size());
    while (!inside.empty() && inside.front() == '/') inside.erase(0, 1);
    int error = 0;
    base::Fd real_dir = base::open_beneath(prefix_fd, base::parent_dir(inside).value_or(""),
                                           O_RDONLY | O_DIRECTORY, 0, error);
    if (!real_dir.valid()) return own_name();
    return Target{std::move(real_dir), std::string(base::file_name(inside))};
}

// Whether `name` of `dir` already is a current copy of the source. A link there counts only
// when it leads to a file inside the prefix: one that leads out is never in place, whatever
// it reaches, so Wine never loads a module from outside through the prefix (`linked_out` then
// says so for the log).
bool in_place(int dir, const std::string& name, const struct stat& source,
              const std::string& prefix, std::optional<std::string>& canonical_prefix,
              const std::string& relative, bool& linked_out) {
    linked_out = false;
    struct stat current;
    if (::fstatat(dir, name.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0) return false;
    bool link = S_ISLNK(current.st_mode);
    if (link && ::fstatat(dir, name.c_str(), &current, 0) != 0) return false;
    if (!S_ISREG(current.st_mode) || !is_current(source, current)) return false;
    if (!link) return true;
    if (!canonical_prefix) canonical_prefix = base::canonical(prefix).value_or(prefix);
    std::optional<std::string> real = base::canonical(base::join_path(prefix, relative));
    linked_out = !real || !base::path_inside(*real, *canonical_prefix);
    return !linked_out;
}

}  // namespace

bool is_current(const struct stat& source, const struct stat& destination) {
    if (source.st_size != destination.st_size) return false;
    if (!readable_time(source.st_mtim)) return true;
    if (!readable_time(destination.st_mtim)) return false;
    if (destination.st_mtim.tv_sec != source.st_mtim.tv_sec)
        return destination.st_mtim.tv_sec > source.st_mtim.tv_sec;
    return destination.st_mtim.tv_nsec >= source.st_mtim.tv_nsec;
}

bool is_current(const std::string& source, const std::string& destination) {
    auto src = base::stat_path(source);
    auto dst = base::stat_path(destination);
    return src && dst && is_current(*src, *dst);
}

DeployReport deploy_files(const std::string& prefix, std::string_view destination,
                          std::span<const FileToDeploy> files, std::string_view label,
                          LinkAtName links) {
    DeployReport report;
    report.files.assign(files.size(), Deployed::NoSource);
    report.errors.assign(files.size(), 0);
    // The prefix itself is the launcher's to make; only what lies below it is resolved inside it.
    base::Fd root = base::open_root_dir(prefix, report.dir_error);
    base::Fd dir;
    if (root.valid()) dir = base::make_dirs_beneath(root.get(), destination, report.dir_error);
    if (report.dir_error == EXDEV) {
        report.outside = true;
        base::log_warn(base::concat(label, ": not writing into ",
                                    base::as_text(base::join_path(prefix, destination)), ": ",
                                    base::why_outside(prefix, destination)));
    }
    std::optional<std::string> canonical_prefix;  // found when a link needs it
    for (size_t i = 0; i < files.size(); ++i) {
        // A source that is missing is skipped; what a current one needs is two status queries.
        auto source_status = base::stat_path(files[i].source);
        if (!source_status) continue;
        if (!dir.valid()) {
            report.files[i] = Deployed::Failed;
            report.errors[i] = report.dir_error;
            continue;
        }
        std::string relative = base::join_path(destination, files[i].name);
        bool linked_out = false;
        if (in_place(dir.get(), files[i].name, *source_status, prefix, canonical_prefix, relative,
                     linked_out)) {
            report.files[i] = Deployed::Current;
            ++report.current;
            continue;
        }
        int error = 0;
        base::Fd source = base::open_regular(files[i].source, O_RDONLY, 0, error);
        if (!source.valid()) {
            report.files[i] = Deployed::Failed;
            report.errors[i] = error;
            continue;
        }
        if (links == LinkAtName::FollowInside && !canonical_prefix) {
            canonical_prefix = base::canonical(prefix).value_or(prefix);
        }
        Target target =
            links == LinkAtName::FollowInside
                ? write_target(root.get(), prefix, *canonical_prefix, dir.get(), relative,
                               files[i].name)
                : Target{base::Fd(::fcntl(dir.get(), F_DUPFD_CLOEXEC, 0)), files[i].name};
        error = target.dir.valid() ? base::copy_into(source.get(), target.dir.get(), target.name)
                                   : errno;
        if (error != 0) {
            report.files[i] = Deployed::Failed;
            report.errors[i] = error;
            continue;
        }
        report.files[i] = Deployed::Copied;
        ++report.copied;
        if (linked_out) {
            base::log_debug(label, ": ", base::as_text(base::join_path(prefix, relative)),
                            " was a link out of the prefix — replaced by a copy of its own");
        }
    }
    return report;
}

int remove_from_prefix(const std::string& prefix, std::string_view directory,
                       const std::string& name) {
    int error = 0;
    base::Fd root = base::open_root_dir(prefix, error);
    if (!root.valid()) return error;
    base::Fd dir = base::open_beneath(root.get(), directory, O_RDONLY | O_DIRECTORY, 0, error);
    if (!dir.valid()) return error;
    return ::unlinkat(dir.get(), name.c_str(), 0) == 0 ? 0 : errno;
}

}  // namespace pelto::launcher::components
