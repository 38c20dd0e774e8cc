// Measures the template copy (copy_dir_fast) beside `cp -al` and `cp -a` of the same tree
// into an empty directory, alternating the three in one run and reporting medians. The copy
// is timed in this process, as the launcher calls it; `cp` is timed as the child process a
// launcher would have to start to use it instead.
//
// Usage:
//   copy_template_bench compare LABEL SOURCE WORKDIR ROUNDS  alternate the three, print medians
//                                                            (without cp -al when SOURCE is on
//                                                            another file system: it cannot link)
//   copy_template_bench copy SOURCE DESTINATION              one copy_dir_fast, count printed
//   copy_template_bench scale TREE FACTOR                    add FACTOR-1 small replicas of
//                                                            every file of TREE, in place
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "bench_util.hpp"
#include "launcher/prefix/copy_dir_fast.hpp"

namespace {

using bench::median;
using bench::now_ms;

namespace base = pelto::base;
using base::concat;

// Beside every regular file of `dir` (recursively, links not followed) FACTOR-1 replicas
// holding its first 4 KiB: the tree keeps its shape and gains files, not gigabytes.
unsigned add_replicas(const std::string& dir, unsigned factor) {
    unsigned added = 0;
    for (const base::DirEntry& entry : base::list_dir(dir)) {
        std::string path = base::join_path(dir, entry.name);
        auto status = base::lstat_path(path);
        if (!status) continue;
        if (S_ISDIR(status->st_mode)) {
            added += add_replicas(path, factor);
        } else if (S_ISREG(status->st_mode)) {
            std::string head;
            base::read_file(path, head);
            head.resize(std::min<size_t>(head.size(), 4096));
            for (unsigned i = 1; i < factor; ++i) {
                if (base::write_file(concat(path, "~", i), head) == 0) ++added;
            }
        }
    }
    return added;
}

int compare(const std::string& label, const std::string& source, const std::string& work,
            int rounds) {
    std::string destination = concat(work, "/out");
    struct Contender {
        const char* name;
        std::vector<std::string> argv;  // empty: copy_dir_fast in this process
        std::vector<double> times;
    };
    base::make_dirs(work);
    auto source_status = base::stat_path(source);
    auto work_status = base::stat_path(work);
    if (!source_status || !work_status) {
        std::fprintf(stderr, "missing %s or %s\n", source.c_str(), work.c_str());
        return 1;
    }
    bool same_file_system = source_status->st_dev == work_status->st_dev;
    std::vector<Contender> contenders = {{"copy_dir_fast", {}, {}}};
    if (same_file_system) contenders.push_back({"cp -al", {"cp", "-al", source, destination}, {}});
    contenders.push_back({"cp -a", {"cp", "-a", source, destination}, {}});
    for (int round = 0; round < rounds; ++round) {
        // Rotate the order, so no contender always follows the same one.
        for (size_t turn = 0; turn < contenders.size(); ++turn) {
            Contender& c = contenders[(round + turn) % contenders.size()];
            base::remove_tree(destination);
            ::sync();  // start every run with the previous run's data written out
            double t0 = now_ms();
            bool ok = c.argv.empty()
                          ? pelto::launcher::prefix::copy_dir_fast(source, destination) != 0
                          : bench::run_command(c.argv, true);
            double t1 = now_ms();
            if (!ok) {
                std::fprintf(stderr, "%s failed\n", c.name);
                return 1;
            }
            c.times.push_back(t1 - t0);
        }
    }
    base::remove_tree(destination);
    ::sync();
    double pelto = median(contenders[0].times);
    std::printf("%s (%d rounds, medians)\n", label.c_str(), rounds);
    std::printf("  copy_dir_fast  %9.2f ms\n", pelto);
    for (size_t i = 1; i < contenders.size(); ++i) {
        double other = median(contenders[i].times);
        std::printf("  %-13s  %9.2f ms   copy_dir_fast / %s = %.2f\n", contenders[i].name, other,
                    contenders[i].name, pelto / other);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "copy") {
        uint32_t count = pelto::launcher::prefix::copy_dir_fast(args[1], args[2]);
        std::printf("%u\n", count);
        return count == 0 ? 1 : 0;
    }
    if (args.size() == 3 && args[0] == "scale") {
        std::printf("%u\n",
                    add_replicas(args[1], static_cast<unsigned>(std::atoi(args[2].c_str()))));
        return 0;
    }
    if (args.size() == 5 && args[0] == "compare") {
        return compare(args[1], args[2], args[3], std::atoi(args[4].c_str()));
    }
    std::fprintf(stderr,
                 "usage: %s compare LABEL SOURCE WORKDIR ROUNDS | copy SOURCE DESTINATION | "
                 "scale TREE FACTOR\n",
                 argv[0]);
    return 2;
}
