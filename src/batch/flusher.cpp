#include "batch/flusher.hpp"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "batch/test_points.hpp"

namespace batch {

Flusher::Flusher(const std::string& directory) {
  directory_fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  event_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // Made now, while the batch has its resources to spare: later, its
  // workers may hold every descriptor it may open.
  try {
    thread_ = std::thread([this] { serve(); });
  } catch (const std::system_error&) {
    // Without a thread of their own, the flushes are made as they are asked for.
    return;
  }
  // Its start allocates: no fork until it is done.
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return serving_; });
}

Flusher::~Flusher() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (directory_fd_ >= 0) ::close(directory_fd_);
  if (event_fd_ >= 0) ::close(event_fd_);
}

std::uint64_t Flusher::ticket() {
  std::unique_lock lock(mutex_);
  // The thread numbers a flush under the lock before it begins it, so the
  // next number is one not yet begun.
  const bool idle = requested_ <= started_;
  requested_ = started_ + 1;
  if (!thread_.joinable()) {
    started_ = requested_;
    lock.unlock();
    const int error = flush();
    lock.lock();
    complete(requested_, error);
    return requested_;
  }
  // A thread already gathering for the next flush needs no wake-up.
  if (idle) changed_.notify_all();
  return requested_;
}

int Flusher::flush() const {
  if (directory_fd_ < 0) return EBADF;
  reach(TestPoint::flushing);
  return ::syncfs(directory_fd_) == 0 ? 0 : errno;
}

void Flusher::complete(std::uint64_t number, int error) {
  errors_[number % errors_.size()] = error;
  completed_ = number;
  const std::uint64_t one = 1;
  if (event_fd_ >= 0 && ::write(event_fd_, &one, sizeof one) < 0) {
    // Only a full counter refuses, and then it is readable anyway.
  }
  changed_.notify_all();
}

bool Flusher::done(std::uint64_t ticket) {
  std::lock_guard lock(mutex_);
  return completed_ >= ticket;
}

int Flusher::error(std::uint64_t ticket) {
  std::lock_guard lock(mutex_);
  return errors_[ticket % errors_.size()];
}

void Flusher::wait(std::uint64_t ticket) {
  std::unique_lock lock(mutex_);
  waited_for_ = true;  // nothing more to gather
  changed_.notify_all();
  changed_.wait(lock, [&] { return completed_ >= ticket; });
}

void Flusher::take() {
  std::uint64_t count;
  if (event_fd_ >= 0) while (::read(event_fd_, &count, sizeof count) > 0) {
    }
}

void Flusher::serve() {
  std::unique_lock lock(mutex_);
  auto last = std::chrono::steady_clock::now() - kInterval;
  serving_ = true;
  changed_.notify_all();
  for (;;) {
    changed_.wait(lock, [&] { return ending_ || requested_ > started_; });
    if (requested_ <= started_) return;  // ending, and nothing asked for
    // Gathers what finishes meanwhile, unless the batch waits for it.
    changed_.wait_until(lock, last + kInterval, [&] { return ending_ || waited_for_; });
    const std::uint64_t number = ++started_;
    lock.unlock();
    last = std::chrono::steady_clock::now();
    const int error = flush();
    lock.lock();
    complete(number, error);
  }
}

}  // namespace batch
