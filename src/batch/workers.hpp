// Worker processes that do the batch's own work beside the runs: forks of
// the batch, made when work is due and none is idle, each doing one job at a
// time and kept for the next, so that its memory is already in place (a
// fresh process pays a page fault for every page it touches). A worker talks
// to the batch over a socket pair of its own, one message per job and one
// per result; a worker that ends in the middle of a job loses only that job,
// and the batch hears of it. Workers keep the batch's blocked signals: an
// interrupt does not end them, and they end when the pool is closed.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace batch {

// Forks a process joined to this one by a socket pair (SOCK_SEQPACKET, one
// message per send). Returns 0 with `pid` and `fd` set: in the parent the
// child's id and the parent's end, in the child 0 and the child's end; or
// the errno of what failed, with nothing left open.
int fork_with_socket(pid_t& pid, int& fd);

class WorkerPool {
 public:
  // What a worker does with a job: the bytes to hand back (kMaxResult at most).
  using Work = std::function<std::string(std::uint64_t job)>;
  static constexpr std::size_t kMaxResult = 8192;

  // `name`: the workers' process name (15 characters at most), as ps shows it.
  WorkerPool(std::string name, Work work) : name_(std::move(name)), work_(std::move(work)) {}
  ~WorkerPool() { close(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Hands `job` to an idle worker, made when there is none. `inherited`: the
  // batch's descriptors that a new worker closes. Returns 0, or the errno of
  // why no worker could take it.
  int start(std::uint64_t job, const std::vector<int>& inherited = {});
  // Workers doing a job.
  int busy() const;
  // Adds the descriptors to poll for the results of busy workers.
  void add_poll_fds(std::vector<pollfd>& fds) const;
  // The descriptors a child of the batch should close.
  std::vector<int> descriptors() const;

  struct Result {
    std::uint64_t job;
    bool done;          // the worker handed back `bytes`
    std::string bytes;
    int wait_status;    // otherwise how the worker ended
  };
  // The jobs that have ended since the last call: results that came and
  // workers that ended with a job. Does not wait.
  std::vector<Result> collect();
  // Ends the workers (each finishes its job first) and waits for them.
  void close();

 private:
  struct Worker {
    pid_t pid;
    int fd;
    bool busy;
    std::uint64_t job;
  };
  [[noreturn]] void serve(int fd);

  std::string name_;
  Work work_;
  std::vector<Worker> workers_;
};

}  // namespace batch
