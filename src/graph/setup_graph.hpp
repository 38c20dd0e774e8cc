// Folder graph: the setup graph executor; imports only base.
//
// The setup graph: named tasks with dependencies, each run on a thread of its own as soon as
// every task it depends on has finished. The executor knows nothing of what the tasks do; it
// hands back what each one produced and how long its body ran.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pelto::graph {

/// What a task produced: nothing (it only had side effects) or a list of DLL base names.
using TaskOutput = std::optional<std::vector<const char*>>;

/// What `SetupGraph::run` hands back.
struct SetupResults {
    /// Guards `outputs`; boxed so that the results stay movable.
    std::unique_ptr<std::mutex> outputs_lock = std::make_unique<std::mutex>();
    /// One entry per finished task. Read it only while holding `outputs_lock`.
    std::unordered_map<std::string, TaskOutput> outputs;
    /// (task name, milliseconds of its body), in the order the completions arrived.
    std::vector<std::pair<std::string, uint64_t>> timings;

    /// A copy of the names the task published; empty when it is not in the table or
    /// returned nothing.
    std::vector<std::string> names_of(std::string_view name) const;
};

/// One node of the graph.
struct SetupTask {
    const char* name = "";
    std::vector<const char*> dependencies;
    /// The body, called once on a worker thread with the results table (it may read the
    /// outputs of tasks that have finished, under `outputs_lock`).
    std::function<TaskOutput(SetupResults&)> run;
};

struct SetupGraph {
    /// Runs every task once its dependencies have finished and returns when all have ended
    /// and every worker thread is joined. A body that throws counts as finished with no
    /// output. A task set with a duplicate name, an unknown dependency or a cycle runs
    /// nothing and gives empty results (one ERROR line).
    static SetupResults run(std::vector<SetupTask> tasks);
};

}  // namespace pelto::graph
