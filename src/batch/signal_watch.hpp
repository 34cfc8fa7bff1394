// The signals of a batch, held by one object for the whole batch: from
// before the first run starts until the report is written and the summary
// is out. The signals that stop a batch (SIGINT, SIGTERM, SIGQUIT, SIGHUP;
// one the batch was started with ignored stays ignored, as it does for
// vbsfit) and SIGCHLD are blocked and read from a signalfd, so that no write
// of the report is ever cut short by one and the batch waits for its
// children, their analyses and the signals in one poll. SIGCHLD is at its
// default while it lives: children reaped automatically could not be waited
// for. Everything is restored when it ends.
#pragma once

#include <poll.h>
#include <signal.h>

#include <vector>

namespace batch {

class SignalWatch {
 public:
  SignalWatch();
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // 0, or the errno of why the signals cannot be read (nothing can start).
  int error() const { return error_; }
  // The signal mask the batch had: what a child restores.
  const sigset_t& original_mask() const { return original_mask_; }
  // The signalfd, which a child closes; -1 when there is none.
  int fd() const { return fd_; }

  // Waits until a signal comes or one of `fds` is readable, at most
  // `timeout_ms` milliseconds (-1: no limit).
  void wait(std::vector<pollfd> fds, int timeout_ms) const;
  // The signals that stop the batch that have come since the last call, in
  // the order they came (SIGCHLD is taken and left out). Does not wait.
  std::vector<int> take();

 private:
  sigset_t original_mask_{};
  struct sigaction saved_child_ {};
  int fd_ = -1;
  int error_ = 0;
};

}  // namespace batch
