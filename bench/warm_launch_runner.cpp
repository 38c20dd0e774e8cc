// Runs one command many times and reports medians: the wall time of each whole run, its CPU
// time, its peak resident set, and, when the command writes pelto's verbose log, the "graph="
// duration of its timing line and the "spawn at" instant of the game. Standard output is discarded;
// standard error is read through a pipe so that the log can be parsed.
//
// Usage: warm_launch_runner [--expect STATUS] [--before COMMAND] ROUNDS PROGRAM [ARGS...]
// A run counts as failed when it does not exit with STATUS (default 0). COMMAND is run with
// /bin/sh before each round, outside the measured time (to change files as Wine would between
// two launches). The timing line's task list and total are reported too.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Round {
    double wall_ms = 0;
    double cpu_ms = 0;  // user + system time of the process and the children it waited for
    long max_rss_kb = 0;
    std::optional<long> graph_ms;
    std::optional<long> spawn_ms;
    std::optional<long> total_ms;
    std::map<std::string, long> task_ms;  // the timing line's "[name=Nms ...]"
    int status = 0;
};

double now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The number right after the first `key` in `log`, when one follows.
std::optional<long> number_after(const std::string& log, const char* key) {
    size_t at = log.find(key);
    if (at == std::string::npos) return std::nullopt;
    at += std::strlen(key);
    size_t end = at;
    while (end < log.size() && log[end] >= '0' && log[end] <= '9') ++end;
    if (end == at) return std::nullopt;
    return std::strtol(log.c_str() + at, nullptr, 10);
}

Round run_once(char** argv) {
    Round round;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::exit(2);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);

    double started = now_ms();
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (error != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(error));
        std::exit(2);
    }
    std::string log;
    char buffer[65536];
    while (true) {
        ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        log.append(buffer, static_cast<size_t>(got));
    }
    close(pipe_fds[0]);
    struct rusage usage {};
    while (wait4(pid, &round.status, 0, &usage) < 0 && errno == EINTR) {
    }
    round.wall_ms = now_ms() - started;
    round.max_rss_kb = usage.ru_maxrss;
    round.cpu_ms = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    round.graph_ms = number_after(log, " graph=");
    round.spawn_ms = number_after(log, "timing: spawn at ");
    round.total_ms = number_after(log, "] total=");
    size_t open = log.find("ms [");
    size_t close = log.find(']', open);
    if (open != std::string::npos && close != std::string::npos) {
        std::string list = log.substr(open + 4, close - open - 4);
        size_t pos = 0;
        while (pos < list.size()) {
            size_t end = std::min(list.find(' ', pos), list.size());
            std::string entry = list.substr(pos, end - pos);
            size_t eq = entry.find('=');
            if (eq != std::string::npos) {
                round.task_ms[entry.substr(0, eq)] =
                    std::strtol(entry.c_str() + eq + 1, nullptr, 10);
            }
            pos = end + 1;
        }
    }
    return round;
}

template <typename T>
double median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    if (n % 2 == 1) return static_cast<double>(values[n / 2]);
    return (static_cast<double>(values[n / 2 - 1]) + static_cast<double>(values[n / 2])) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int expected = 0;
    const char* before = nullptr;
    while (argc > 2 && argv[1][0] == '-' && argv[1][1] == '-') {
        if (std::strcmp(argv[1], "--expect") == 0) {
            expected = std::atoi(argv[2]);
        } else if (std::strcmp(argv[1], "--before") == 0) {
            before = argv[2];
        } else {
            break;
        }
        argv += 2;
        argc -= 2;
    }
    if (argc < 3) {
        std::fprintf(
            stderr,
            "Usage: warm_launch_runner [--expect STATUS] [--before COMMAND] ROUNDS PROGRAM "
            "[ARGS...]\n");
        return 2;
    }
    int rounds = std::atoi(argv[1]);
    if (rounds <= 0) rounds = 1;
    std::vector<double> walls, cpus;
    std::vector<long> graphs, spawns, totals, rss;
    std::map<std::string, std::vector<long>> tasks;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        if (before != nullptr && std::system(before) != 0) {
            std::fprintf(stderr, "the command before the round failed: %s\n", before);
            return 2;
        }
        Round round = run_once(argv + 2);
        if (!WIFEXITED(round.status) || WEXITSTATUS(round.status) != expected) ++failures;
        walls.push_back(round.wall_ms);
        cpus.push_back(round.cpu_ms);
        rss.push_back(round.max_rss_kb);
        if (round.graph_ms) graphs.push_back(*round.graph_ms);
        if (round.spawn_ms) spawns.push_back(*round.spawn_ms);
        if (round.total_ms) totals.push_back(*round.total_ms);
        for (const auto& [name, ms] : round.task_ms) tasks[name].push_back(ms);
    }
    std::printf("runs=%d failures=%d\n", rounds, failures);
    std::printf("wall_median_ms=%.2f wall_min_ms=%.2f\n", median(walls),
                *std::min_element(walls.begin(), walls.end()));
    std::printf("cpu_median_ms=%.2f\n", median(cpus));
    std::printf("rss_median_kb=%.0f rss_max_kb=%ld\n", median(rss),
                *std::max_element(rss.begin(), rss.end()));
    if (!graphs.empty()) {
        std::printf("graph_median_ms=%.1f graph_min_ms=%ld graph_max_ms=%ld (%zu runs)\n",
                    median(graphs), *std::min_element(graphs.begin(), graphs.end()),
                    *std::max_element(graphs.begin(), graphs.end()), graphs.size());
    }
    if (!spawns.empty()) {
        std::printf("spawn_median_ms=%.1f spawn_min_ms=%ld spawn_max_ms=%ld (%zu runs)\n",
                    median(spawns), *std::min_element(spawns.begin(), spawns.end()),
                    *std::max_element(spawns.begin(), spawns.end()), spawns.size());
    }
    if (!totals.empty()) std::printf("total_median_ms=%.1f\n", median(totals));
    if (!tasks.empty()) {
        std::printf("task_median_ms:");
        for (const auto& [name, values] : tasks)
            std::printf(" %s=%.1f", name.c_str(), median(values));
        std::printf("\n");
    }
    return failures == 0 ? 0 : 1;
}
