// Folder graph: the setup graph executor. Its place among the folders: src/layers.txt.
//
// The setup graph: named tasks with dependencies, each run on a thread of its own as soon as
// every task it depends on has finished. The executor knows nothing of what the tasks do; it
// hands back what each one produced and how long its body ran.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace pelto::graph {

/// What `SetupGraph::run` hands back: how long each task's body ran. What the tasks found,
/// they write into records of their caller's, each into fields of its own.
struct SetupResults {
    /// (task name, milliseconds of its body), in the order the completions arrived.
    std::vector<std::pair<std::string, uint64_t>> timings;
};

/// One node of the graph.
struct SetupTask {
    const char* name = "";
    std::vector<const char*> dependencies;
    /// The body, called once on a worker thread.
    std::function<void()> run;
};

struct SetupGraph {
    /// Runs every task once its dependencies have finished and returns when all have ended
    /// and every worker thread is joined. A body that throws counts as finished (one ERROR
    /// line). A task set with a duplicate name, an unknown dependency or a cycle runs nothing
    /// and gives empty results (one ERROR line).
    static SetupResults run(std::vector<SetupTask> tasks);
};

}  // namespace pelto::graph
