#include "batch/workers.hpp"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace batch {
namespace {

// Waits for `pid`; its wait status.
int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

int fork_with_socket(pid_t& pid, int& fd) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return errno;
  pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(pair[0]);
    ::close(pair[1]);
    return error;
  }
  ::close(pair[pid == 0 ? 0 : 1]);
  fd = pair[pid == 0 ? 1 : 0];
  return 0;
}

void WorkerPool::serve(int fd) {
  ::prctl(PR_SET_NAME, name_.c_str());
  for (;;) {
    std::uint64_t job = 0;
    const ssize_t got = ::recv(fd, &job, sizeof job, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof job)) ::_exit(0);  // the pool is closed
    const std::string result = work_(job);
    const std::size_t size = std::min(result.size(), kMaxResult);
    ssize_t sent;
    while ((sent = ::send(fd, result.data(), size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (sent < 0) ::_exit(0);  // nobody waits for it any more
  }
}

int WorkerPool::start(std::uint64_t job, const std::vector<int>& inherited) {
  for (;;) {
    auto worker =
        std::find_if(workers_.begin(), workers_.end(), [](const Worker& w) { return !w.busy; });
    const bool made = worker == workers_.end();
    if (made) {
      pid_t pid;
      int fd;
      if (const int error = fork_with_socket(pid, fd); error != 0) return error;
      if (pid == 0) {
        for (int inherited_fd : inherited) ::close(inherited_fd);
        for (const Worker& w : workers_) ::close(w.fd);
        serve(fd);
      }
      workers_.push_back({pid, fd, false, 0});
      worker = workers_.end() - 1;
    }
    ssize_t sent;
    while ((sent = ::send(worker->fd, &job, sizeof job, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (sent == static_cast<ssize_t>(sizeof job)) {
      worker->busy = true;
      worker->job = job;
      return 0;
    }
    // Only a worker that has ended refuses a job: an idle one that was
    // killed is replaced.
    const int why = sent < 0 ? errno : EMSGSIZE;
    ::close(worker->fd);
    wait_for(worker->pid);
    workers_.erase(worker);
    if (made) return why;
  }
}

int WorkerPool::busy() const {
  return static_cast<int>(
      std::count_if(workers_.begin(), workers_.end(), [](const Worker& w) { return w.busy; }));
}

void WorkerPool::add_poll_fds(std::vector<pollfd>& fds) const {
  for (const Worker& w : workers_) {
    if (w.busy) fds.push_back({w.fd, POLLIN, 0});
  }
}

std::vector<int> WorkerPool::descriptors() const {
  std::vector<int> fds;
  for (const Worker& w : workers_) fds.push_back(w.fd);
  return fds;
}

std::vector<WorkerPool::Result> WorkerPool::collect() {
  std::vector<Result> results;
  for (auto w = workers_.begin(); w != workers_.end();) {
    if (!w->busy) {
      ++w;
      continue;
    }
    std::string bytes(kMaxResult, '\0');
    const ssize_t got = ::recv(w->fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      ++w;
      continue;
    }
    if (got > 0) {
      bytes.resize(static_cast<std::size_t>(got));
      results.push_back({w->job, true, std::move(bytes), 0});
      w->busy = false;
      ++w;
      continue;
    }
    // The worker has ended with the job in hand.
    ::close(w->fd);
    results.push_back({w->job, false, {}, wait_for(w->pid)});
    w = workers_.erase(w);
  }
  return results;
}

void WorkerPool::close() {
  for (const Worker& w : workers_) ::close(w.fd);
  for (const Worker& w : workers_) wait_for(w.pid);
  workers_.clear();
}

}  // namespace batch
