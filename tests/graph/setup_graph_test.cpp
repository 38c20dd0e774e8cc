#include "graph/setup_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pelto::graph {
namespace {

// A task that appends its name to a shared journal when it runs.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> entries;

    void add(const std::string& entry) {
        std::lock_guard lock(mutex);
        entries.push_back(entry);
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return entries;
    }
    size_t position(const std::string& entry) {
        auto all = snapshot();
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i] == entry) return i;
        }
        return all.size();
    }
};

SetupTask journal_task(const char* name, std::vector<const char*> dependencies, Journal& journal) {
    return SetupTask{name, std::move(dependencies), [name, &journal] {
                         journal.add(std::string("start ") + name);
                         journal.add(std::string("end ") + name);
                     }};
}

std::vector<std::string> timing_names(const SetupResults& results) {
    std::vector<std::string> names;
    for (const auto& [name, ms] : results.timings) names.push_back(name);
    return names;
}

TEST(SetupGraph, EmptyTaskListReturnsEmptyResults) {
    SetupResults results = SetupGraph::run({});
    EXPECT_TRUE(results.timings.empty());
}

TEST(SetupGraph, RunsInWaves) {
    // The launcher's shape: one root, one middle task, then a wide third wave.
    Journal journal;
    std::vector<SetupTask> tasks;
    tasks.push_back(journal_task("registry", {}, journal));
    tasks.push_back(journal_task("prefix", {"registry"}, journal));
    tasks.push_back(journal_task("dxvk", {"prefix"}, journal));
    tasks.push_back(journal_task("nvapi", {"prefix"}, journal));
    tasks.push_back(journal_task("bridge", {"prefix"}, journal));
    tasks.push_back(journal_task("late", {"dxvk", "bridge"}, journal));

    SetupResults results = SetupGraph::run(std::move(tasks));

    ASSERT_EQ(journal.snapshot().size(), 12u);
    EXPECT_LT(journal.position("end registry"), journal.position("start prefix"));
    for (const char* third : {"dxvk", "nvapi", "bridge"}) {
        EXPECT_LT(journal.position("end prefix"), journal.position(std::string("start ") + third));
    }
    EXPECT_LT(journal.position("end dxvk"), journal.position("start late"));
    EXPECT_LT(journal.position("end bridge"), journal.position("start late"));

    ASSERT_EQ(results.timings.size(), 6u);
    EXPECT_EQ(results.timings.front().first, "registry");
    EXPECT_EQ(results.timings[1].first, "prefix");
    // "nvapi" may still finish after "late": only the dependencies' order is fixed.
    auto timing_index = [&](const std::string& name) {
        for (size_t i = 0; i < results.timings.size(); ++i) {
            if (results.timings[i].first == name) return i;
        }
        return results.timings.size();
    };
    EXPECT_LT(timing_index("dxvk"), timing_index("late"));
    EXPECT_LT(timing_index("bridge"), timing_index("late"));
}

TEST(SetupGraph, ReadyTasksStartTogetherAndTimingsFollowCompletionOrder) {
    // "slow" (first in the list) waits until "release" has run, and "release" can start only
    // after the executor has recorded "fast". That finishes only if "slow" and "fast" were both
    // started before the first wait, and it puts "fast" ahead of "slow" in the timings.
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    std::vector<SetupTask> tasks;
    tasks.push_back(SetupTask{"slow", {}, [&] {
                                  std::unique_lock lock(mutex);
                                  changed.wait(lock, [&] { return released; });
                              }});
    tasks.push_back(SetupTask{"fast", {}, [] {}});
    tasks.push_back(SetupTask{"release", {"fast"}, [&] {
                                  {
                                      std::lock_guard lock(mutex);
                                      released = true;
                                  }
                                  changed.notify_all();
                              }});
    SetupResults results = SetupGraph::run(std::move(tasks));
    std::vector<std::string> order = timing_names(results);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order.front(), "fast");
    EXPECT_NE(std::find(order.begin(), order.end(), "slow"), order.end());
}

TEST(SetupGraph, ATaskSeesWhatItsFinishedDependenciesWrote) {
    std::vector<std::string> written, seen;
    std::vector<SetupTask> tasks;
    tasks.push_back(SetupTask{"first", {}, [&written] { written = {"a", "b"}; }});
    tasks.push_back(SetupTask{"second", {"first"}, [&] { seen = written; }});
    SetupGraph::run(std::move(tasks));
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
}

TEST(SetupGraph, AThrowingTaskCountsAsFinished) {
    Journal journal;
    std::vector<SetupTask> tasks;
    tasks.push_back(SetupTask{"boom", {}, [] { throw std::runtime_error("disk on fire"); }});
    tasks.push_back(SetupTask{"odd", {}, [] { throw 42; }});
    tasks.push_back(journal_task("after", {"boom", "odd"}, journal));

    testing::internal::CaptureStderr();
    SetupResults results = SetupGraph::run(std::move(tasks));
    std::string log = testing::internal::GetCapturedStderr();

    EXPECT_EQ(journal.snapshot(), (std::vector<std::string>{"start after", "end after"}));
    EXPECT_EQ(results.timings.size(), 3u);
    EXPECT_EQ(results.timings.back().first, "after");
    EXPECT_NE(log.find("[ERROR]  setup task boom ended abnormally: disk on fire\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[ERROR]  setup task odd ended abnormally: unknown exception\n"),
              std::string::npos)
        << log;
}

TEST(SetupGraph, InvalidTaskSetsRunNothing) {
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, std::vector<const char*>>> shape;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"unknown dependency",
         {{"a", {}}, {"b", {"a", "ghost"}}},
         "[ERROR]  setup graph rejected: task b depends on unknown task ghost; nothing was run\n"},
        {"cycle behind a root",
         {{"root", {}}, {"x", {"root", "z"}}, {"y", {"x"}}, {"z", {"y"}}, {"tail", {"z"}}},
         "[ERROR]  setup graph rejected: dependency cycle, these tasks could never start: x, y, z, "
         "tail; nothing was run\n"},
        {"self dependency",
         {{"self", {"self"}}},
         "[ERROR]  setup graph rejected: dependency cycle, these tasks could never start: self; "
         "nothing was run\n"},
        {"duplicate name",
         {{"twin", {}}, {"twin", {}}},
         "[ERROR]  setup graph rejected: two tasks are named twin; nothing was run\n"},
    };
    for (const Case& c : cases) {
        std::atomic<int> ran{0};
        std::vector<SetupTask> tasks;
        for (const auto& [name, dependencies] : c.shape) {
            tasks.push_back(SetupTask{name, dependencies, [&ran] { ++ran; }});
        }
        testing::internal::CaptureStderr();
        SetupResults results = SetupGraph::run(std::move(tasks));
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ran.load(), 0) << c.what;
        EXPECT_TRUE(results.timings.empty()) << c.what;
        EXPECT_NE(log.find(c.message), std::string::npos) << c.what << ": " << log;
    }
}

TEST(SetupGraph, DependencyListedTwiceStillReleases) {
    Journal journal;
    std::vector<SetupTask> tasks;
    tasks.push_back(journal_task("a", {}, journal));
    tasks.push_back(journal_task("b", {"a", "a"}, journal));
    SetupResults results = SetupGraph::run(std::move(tasks));
    EXPECT_EQ(timing_names(results), (std::vector<std::string>{"a", "b"}));
}

TEST(SetupGraph, ManyTasksAllRunOnceAndThreadsAreJoined) {
    std::atomic<int> ran{0};
    static const char* const kNames[] = {"t0", "t1", "t2",  "t3",  "t4",  "t5",  "t6",  "t7",
                                         "t8", "t9", "t10", "t11", "t12", "t13", "t14", "t15"};
    std::vector<SetupTask> tasks;
    for (size_t i = 0; i < 16; ++i) {
        std::vector<const char*> dependencies;
        if (i >= 4) dependencies = {kNames[i % 4], kNames[i - 1]};
        tasks.push_back(SetupTask{kNames[i], dependencies, [&ran] { ++ran; }});
    }
    SetupResults results = SetupGraph::run(std::move(tasks));
    EXPECT_EQ(ran.load(), 16);
    EXPECT_EQ(results.timings.size(), 16u);
    EXPECT_EQ(results.timings.back().first, "t15");
}

}  // namespace
}  // namespace pelto::graph
