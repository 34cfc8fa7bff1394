// The batch's worker processes: every job's result comes back to that job,
// however many workers share the jobs; a worker that dies loses only the job
// it had, and the jobs after it still run.
#include "batch/workers.hpp"

#include <poll.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

namespace {

using batch::WorkerPool;

// A job that kills its worker.
constexpr std::uint64_t kFatal = 13;

std::string square(std::uint64_t job) {
  if (job == kFatal) ::raise(SIGKILL);
  return std::to_string(job * job) + std::string(job % 5 * 1000, '.');  // results of many sizes
}

// Waits for results until no worker is busy; by job.
std::map<std::uint64_t, WorkerPool::Result> drain(WorkerPool& pool) {
  std::map<std::uint64_t, WorkerPool::Result> results;
  while (pool.busy() > 0) {
    std::vector<pollfd> fds;
    pool.add_poll_fds(fds);
    ::poll(fds.data(), fds.size(), -1);
    for (WorkerPool::Result& r : pool.collect()) results.emplace(r.job, std::move(r));
  }
  return results;
}

TEST(WorkerPool, EveryResultComesBackToItsJobAndADeadWorkerLosesOnlyItsOwn) {
  WorkerPool pool("square", square);
  std::map<std::uint64_t, WorkerPool::Result> results;
  // Three at a time, as the batch hands out jobs under -j 3.
  for (std::uint64_t job = 1; job <= 20; ++job) {
    if (pool.busy() == 3) results.merge(drain(pool));
    ASSERT_EQ(pool.start(job), 0);
  }
  results.merge(drain(pool));
  ASSERT_EQ(results.size(), 20u);
  for (const auto& [job, r] : results) {
    SCOPED_TRACE(job);
    EXPECT_EQ(r.job, job);
    if (job == kFatal) {
      EXPECT_FALSE(r.done);
      EXPECT_TRUE(WIFSIGNALED(r.wait_status) && WTERMSIG(r.wait_status) == SIGKILL);
    } else {
      EXPECT_TRUE(r.done);
      EXPECT_EQ(r.bytes, square(job));
    }
  }
  EXPECT_LE(pool.descriptors().size(), 3u);  // no more workers than jobs at once
  pool.close();
  EXPECT_TRUE(pool.descriptors().empty());
}

}  // namespace
