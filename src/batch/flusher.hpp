// The results files of a batch's runs reach the disk in groups. A run in
// the batch names its results file without waiting for the disk (vbsfit on
// its own waits, one fsync per file), and the study records a configuration
// as succeeded or kept only once a flush of the results' whole file system
// that began after the run ended has completed: one syncfs for every
// configuration that finished while the previous one was under way. So the
// record never names a result that a power loss could take, and the runs
// never wait for the disk.
//
// Each flush runs on a thread of its own, so the batch goes on starting runs
// meanwhile; its descriptor becomes readable when one completes. The
// flushes begin at most every kInterval, to gather more configurations in
// each. Once it serves, the thread allocates nothing and holds no lock
// but its own: the batch forks its workers while it runs, and a fork copies
// a lock that another thread holds as held (the sanitized build's
// allocator does not guard against that).
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace batch {

class Flusher {
 public:
  static constexpr std::chrono::milliseconds kInterval{50};

  // For the results in `directory` (its file system is the one flushed).
  explicit Flusher(const std::string& directory);
  ~Flusher();
  Flusher(const Flusher&) = delete;
  Flusher& operator=(const Flusher&) = delete;

  // The number of a flush that begins after this call; what was written
  // before it is on disk once that flush has completed without error.
  std::uint64_t ticket();
  // Whether flush `ticket` has completed.
  bool done(std::uint64_t ticket);
  // 0 when flush `ticket` (completed) succeeded, else its errno.
  int error(std::uint64_t ticket);
  // Waits until flush `ticket` has completed.
  void wait(std::uint64_t ticket);
  // Readable once a flush has completed since the last take(); -1 when it
  // could not be made.
  int fd() const { return event_fd_; }
  void take();

 private:
  void serve();
  // Flushes the results' file system: 0, or the errno of the failure.
  int flush() const;
  // Flush `number` has completed with `error`; the lock is held.
  void complete(std::uint64_t number, int error);

  int directory_fd_ = -1;
  int event_fd_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t requested_ = 0, started_ = 0, completed_ = 0;
  // The errno of each of the last flushes, by number: a batch looks at a
  // completed flush within one turn of its loop, long before it is reused.
  std::array<int, 1024> errors_{};
  bool serving_ = false;
  bool ending_ = false;
  bool waited_for_ = false;  // the batch waits: flush at once
  std::thread thread_;
};

}  // namespace batch
