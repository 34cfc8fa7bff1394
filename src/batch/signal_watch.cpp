#include "batch/signal_watch.hpp"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace batch {
namespace {

// A signal that the batch was started with ignored (nohup, a shell's
// background job) stays ignored.
bool ignored(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

SignalWatch::SignalWatch() {
  sigset_t watched;
  sigemptyset(&watched);
  sigaddset(&watched, SIGCHLD);
  sigaddset(&watched, SIGTERM);
  for (int signal : {SIGINT, SIGQUIT, SIGHUP}) {
    if (!ignored(signal)) sigaddset(&watched, signal);
  }
  struct sigaction child_default {};
  child_default.sa_handler = SIG_DFL;
  sigemptyset(&child_default.sa_mask);
  ::sigaction(SIGCHLD, &child_default, &saved_child_);
  ::sigprocmask(SIG_BLOCK, &watched, &original_mask_);
  fd_ = ::signalfd(-1, &watched, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) error_ = errno;
}

SignalWatch::~SignalWatch() {
  if (fd_ >= 0) ::close(fd_);
  ::sigprocmask(SIG_SETMASK, &original_mask_, nullptr);
  ::sigaction(SIGCHLD, &saved_child_, nullptr);
}

void SignalWatch::wait(std::vector<pollfd> fds, int timeout_ms) const {
  if (fd_ >= 0) fds.push_back({fd_, POLLIN, 0});
  if (fds.empty() && timeout_ms < 0) return;
  ::poll(fds.data(), fds.size(), timeout_ms);
}

std::vector<int> SignalWatch::take() {
  std::vector<int> signals;
  if (fd_ < 0) return signals;
  signalfd_siginfo info;
  while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    const int signal = static_cast<int>(info.ssi_signo);
    if (signal != SIGCHLD) signals.push_back(signal);
  }
  return signals;
}

}  // namespace batch
