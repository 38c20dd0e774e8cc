#include "base/process.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "base/posix.hpp"

namespace pelto::base {
namespace {

Command sleeper(const char* seconds) {
    Command command;
    command.program = "/bin/sleep";
    command.args = {seconds};
    return command;
}

TEST(Process, ABoundedWaitEndsAChildThatRunsTooLong) {
    int status = 0;
    EXPECT_EQ(run_and_wait(sleeper("30"), status, 100), ETIMEDOUT);
    // Killed and reaped: nothing of it is left to wait for.
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(run_and_wait(sleeper("0"), status, 10'000), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    Command missing;
    missing.program = "/nonexistent/program";
    EXPECT_EQ(run_and_wait(missing, status), ENOENT);
}

// A stop request lasts for the rest of the process, so each case runs in a child of its own;
// its exit code says what run_and_wait returned.
int in_child(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Process, AStopRequestEndsWhatRunsAndStartsNothing) {
    // Before the spawn: nothing is started.
    EXPECT_EQ(in_child([] {
                  request_stop(SIGTERM);
                  int status = 0;
                  return run_and_wait(sleeper("30"), status) == ECANCELED ? 0 : 1;
              }),
              0);
    // During the wait: the child is killed, and the wait says why it ended.
    EXPECT_EQ(in_child([] {
                  std::thread stopper([] {
                      sleep_ms(200);
                      request_stop(SIGINT);
                  });
                  int status = 0;
                  int error = run_and_wait(sleeper("30"), status);
                  stopper.join();
                  return error == ECANCELED && stop_signal() == SIGINT ? 0 : 1;
              }),
              0);
    // A command that cleans up after a stop still runs.
    EXPECT_EQ(in_child([] {
                  request_stop(SIGTERM);
                  Command cleanup = sleeper("0");
                  cleanup.stoppable = false;
                  int status = 0;
                  return run_and_wait(cleanup, status) == 0 && WIFEXITED(status) ? 0 : 1;
              }),
              0);
}

TEST(Process, TheChildsEnvironmentKeepsOrderAndTheLastChangeWins) {
    const std::vector<std::string> inherited = {"A=1", "B=2", "C=3", "D=4"};
    std::vector<EnvChange> changes = {
        {"B", "changed"}, {"E", "new"}, {"C", std::nullopt}, {"B", "again"}, {"D", "x"}};
    // Inherited entries no change touches keep their place; each changed name follows once,
    // in the order of its last change; a removal leaves the name out.
    EXPECT_EQ(child_environment(changes, &inherited),
              (std::vector<std::string>{"A=1", "E=new", "B=again", "D=x"}));
    EXPECT_EQ(child_environment({}, &inherited), inherited);
}

}  // namespace
}  // namespace pelto::base
