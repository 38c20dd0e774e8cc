// Measures the save-data snapshot and check of a profile with many small files beside
// `cp -al` of the same folders, alternating the two in one run and reporting medians.
//
// Usage: snapshot_bench WORKDIR [FILES] [ROUNDS]
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
#include "launcher/savedata/save_data.hpp"

namespace {

using bench::median;
using bench::now_ms;

namespace base = pelto::base;
namespace savedata = pelto::launcher::savedata;
using base::concat;

// Ten game folders of ten save folders of FILES/100 files each, about 100 bytes per file.
void make_profile(const std::string& profile, unsigned files) {
    std::string content(100, 's');
    for (unsigned i = 0; i < files; ++i) {
        std::string dir = concat(profile, "/AppData/Roaming/Game", i % 10, "/slot", (i / 10) % 10);
        if (i < 100) base::make_dirs(dir);
        base::write_file(concat(dir, "/file", i, ".sav"), content);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORKDIR [FILES] [ROUNDS]\n", argv[0]);
        return 2;
    }
    std::string work = argv[1];
    unsigned files = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 10000;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 11;
    std::string compat = concat(work, "/compat");
    std::string pfx = compat + "/pfx";
    std::string profile = pfx + "/drive_c/users/steamuser";
    std::string copy = concat(work, "/cp-al");
    base::remove_tree(work);
    make_profile(profile, files);

    std::vector<double> snapshot, check, cp, rm;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which one runs first, so neither always meets a warmer cache.
        for (int turn = 0; turn < 2; ++turn) {
            if ((round + turn) % 2 == 0) {
                double t0 = now_ms();
                savedata::SaveSnapshot taken = savedata::snapshot_save_data(pfx, "steamuser");
                double t1 = now_ms();
                savedata::check_save_data(pfx, "steamuser", taken);
                double t2 = now_ms();
                if (!taken.taken || base::exists(taken.backup_root)) {
                    std::fprintf(stderr, "snapshot not taken or not removed\n");
                    return 1;
                }
                snapshot.push_back(t1 - t0);
                check.push_back(t2 - t1);
            } else {
                base::make_dirs(copy);
                double t0 = now_ms();
                bool ok =
                    bench::run_command({"cp", "-al", profile + "/AppData", copy + "/AppData"});
                double t1 = now_ms();
                ok = bench::run_command({"rm", "-rf", copy}) && ok;
                double t2 = now_ms();
                if (!ok) {
                    std::fprintf(stderr, "cp -al or rm -rf failed\n");
                    return 1;
                }
                cp.push_back(t1 - t0);
                rm.push_back(t2 - t1);
            }
        }
    }
    double s = median(snapshot), c = median(check), a = median(cp), r = median(rm);
    std::printf("files: %u, rounds: %d (medians)\n", files, rounds);
    std::printf("snapshot_save_data          %8.2f ms\n", s);
    std::printf("check_save_data             %8.2f ms\n", c);
    std::printf("snapshot + check            %8.2f ms\n", s + c);
    std::printf("cp -al                      %8.2f ms\n", a);
    std::printf("rm -rf of the copy          %8.2f ms\n", r);
    std::printf("snapshot / cp -al           %8.2f\n", s / a);
    std::printf("(snapshot + check) / cp -al %8.2f\n", (s + c) / a);
    std::printf("(snapshot + check) / (cp -al + rm -rf) %8.2f\n", (s + c) / (a + r));
    base::remove_tree(work);
    return 0;
}
