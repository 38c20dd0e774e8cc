// Small helpers shared by the benchmark drivers: a millisecond clock, medians, and running
// a reference command (cp, rm) to completion.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "base/posix.hpp"
#include "base/process.hpp"

namespace bench {

inline double now_ms() {
    namespace base = pelto::base;
    return std::chrono::duration<double, std::milli>(base::Clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

/// Runs argv (searched on PATH) and waits; true when it exited with 0.
inline bool run_command(const std::vector<std::string>& argv, bool quiet = false) {
    namespace base = pelto::base;
    base::Command command;
    command.program = argv[0];
    command.args.assign(argv.begin() + 1, argv.end());
    command.search_path = true;
    if (quiet) command.out = base::Stream::null();
    int status = 0;
    return base::run_and_wait(command, status) == 0 && status == 0;
}

}  // namespace bench
