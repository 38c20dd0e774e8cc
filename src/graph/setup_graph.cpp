// The executor loop owns every piece of bookkeeping; workers share with it only the
// completion channel. Each worker sends exactly one completion, even when its body throws, so
// the loop always receives as many completions as it started tasks and never waits for ever. The
// task set is checked before anything starts, because a cycle or an unknown dependency would leave
// tasks that can never start.
#include "graph/setup_graph.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::graph {

namespace {

struct Completion {
    size_t task = 0;
    uint64_t ms = 0;
};

// Many producers, one consumer, unbounded: a worker never waits to report.
class CompletionChannel {
public:
    void send(Completion completion) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(completion));
        }
        ready_.notify_one();
    }

    Completion receive() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !queue_.empty(); });
        Completion completion = std::move(queue_.front());
        queue_.pop_front();
        return completion;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Completion> queue_;
};

// Index-based form of the task set: dependency counts and, per task, the tasks waiting on it.
struct Edges {
    std::vector<size_t> in_degree;
    std::vector<std::vector<size_t>> dependents;
};

// Builds the edges, or logs why the set cannot run and returns nothing.
std::optional<Edges> check_and_link(const std::vector<SetupTask>& tasks) {
    std::unordered_map<std::string_view, size_t> index;
    for (size_t i = 0; i < tasks.size(); ++i) {
        if (tasks[i].name == nullptr) {
            base::log_error("setup graph rejected: a task has no name; nothing was run");
            return std::nullopt;
        }
        if (!index.emplace(tasks[i].name, i).second) {
            base::log_error(base::concat("setup graph rejected: two tasks are named ",
                                         tasks[i].name, "; nothing was run"));
            return std::nullopt;
        }
    }

    Edges edges{std::vector<size_t>(tasks.size(), 0),
                std::vector<std::vector<size_t>>(tasks.size())};
    for (size_t i = 0; i < tasks.size(); ++i) {
        for (const char* dependency : tasks[i].dependencies) {
            auto found = dependency != nullptr ? index.find(dependency) : index.end();
            if (found == index.end()) {
                base::log_error(base::concat(
                    "setup graph rejected: task ", tasks[i].name, " depends on unknown task ",
                    dependency != nullptr ? dependency : "(null)", "; nothing was run"));
                return std::nullopt;
            }
            // A dependency listed twice counts twice and is released twice.
            ++edges.in_degree[i];
            edges.dependents[found->second].push_back(i);
        }
    }

    // Every task must be reachable by releasing finished tasks; what is left sits on a cycle
    // or waits on one.
    std::vector<size_t> remaining = edges.in_degree;
    std::vector<size_t> ready;
    for (size_t i = 0; i < tasks.size(); ++i) {
        if (remaining[i] == 0) ready.push_back(i);
    }
    size_t released = 0;
    while (!ready.empty()) {
        size_t task = ready.back();
        ready.pop_back();
        ++released;
        for (size_t dependent : edges.dependents[task]) {
            if (--remaining[dependent] == 0) ready.push_back(dependent);
        }
    }
    if (released != tasks.size()) {
        std::string stuck;
        for (size_t i = 0; i < tasks.size(); ++i) {
            if (remaining[i] == 0) continue;
            if (!stuck.empty()) stuck += ", ";
            stuck += tasks[i].name;
        }
        base::log_error(base::concat(
            "setup graph rejected: dependency cycle, these tasks could never start: ", stuck,
            "; nothing was run"));
        return std::nullopt;
    }
    return edges;
}

// The body of one worker: run the task, time it, report exactly once.
void run_task(SetupTask& task, size_t index, CompletionChannel& channel) {
    auto body = std::move(task.run);
    auto started = base::Clock::now();
    try {
        if (body) body();
    } catch (const std::exception& error) {
        base::log_error(
            base::concat("setup task ", task.name, " ended abnormally: ", error.what()));
    } catch (...) {
        base::log_error(
            base::concat("setup task ", task.name, " ended abnormally: unknown exception"));
    }
    uint64_t ms = base::elapsed_ms(started);
    // The callable and what it captured go away on the worker, before the report.
    body = nullptr;
    channel.send(Completion{index, ms});
}

}  // namespace

SetupResults SetupGraph::run(std::vector<SetupTask> tasks) {
    SetupResults results;
    std::optional<Edges> edges = check_and_link(tasks);
    if (!edges) return results;

    CompletionChannel channel;
    std::vector<bool> started(tasks.size(), false);
    size_t completed = 0;
    results.timings.reserve(tasks.size());
    {
        // Declared after everything the workers touch, so that an unwinding loop still joins
        // them before the channel and the results go away.
        // One worker per task, indexed like the tasks (a task run on this thread has none).
        std::vector<std::jthread> workers(tasks.size());
        while (true) {
            for (size_t i = 0; i < tasks.size(); ++i) {
                if (started[i] || edges->in_degree[i] != 0) continue;
                started[i] = true;
                try {
                    workers[i] =
                        std::jthread([&tasks, i, &channel] { run_task(tasks[i], i, channel); });
                } catch (const std::system_error& error) {
                    // No thread to be had: the task runs here rather than never.
                    base::log_warn(base::concat("setup task ", tasks[i].name,
                                                ": cannot start a thread (", error.what(),
                                                "); running it on the launcher's thread"));
                    run_task(tasks[i], i, channel);
                }
            }
            if (completed == tasks.size()) break;

            Completion done = channel.receive();
            // The worker's last act was to report: joined now, its stack goes back to the
            // C library's cache and serves a task of the next wave, which then touches no
            // fresh memory for its stack.
            if (workers[done.task].joinable()) workers[done.task].join();
            results.timings.emplace_back(tasks[done.task].name, done.ms);
            ++completed;
            for (size_t dependent : edges->dependents[done.task]) --edges->in_degree[dependent];
        }
    }
    return results;
}

}  // namespace pelto::graph
