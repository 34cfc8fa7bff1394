// Where the runs of a batch start: a small process of their own, the
// launcher, forked from the batch before the study's data is read. A run is
// a fork of the launcher (batch/child_run.hpp), so starting one costs the
// same at a hundred configurations as at a hundred thousand: a fork copies
// the page tables of all its parent holds, and the batch grows with its
// study. The launcher starts a run when the batch asks, waits for it, keeps
// what it left (its standard error) and hands back how it ended; it passes
// on the signals the batch passes on. It talks to the batch over a socket
// pair, one message per request and per reply, and ends once the batch has
// closed its end and the runs it started have ended (a batch that is killed
// leaves its runs to finish, as they would without a launcher). Given the
// report's lock, it holds it and so does every run it starts: a later batch
// cannot claim the report while a run of a killed one is still going.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "batch/child_run.hpp"
#include "batch/run_set.hpp"
#include "config/config.hpp"

namespace batch {

class Launcher {
 public:
  Launcher() = default;
  ~Launcher() { close(); }
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // Makes the launcher of runs in `workdir`, which restore `child_mask`.
  // Returns 0, or the errno of why it could not.
  int open(const std::string& workdir, const sigset_t& child_mask);
  bool is_open() const { return fd_ >= 0; }
  // Gives the launcher, and this one made again, the descriptor `lock` of
  // the report's lock (an flock the caller holds and keeps open while this
  // object lives): the launcher and each run it starts inherit it, so the
  // lock lasts until the last of them ends. None of them unlocks it.
  void share_lock(int lock);

  // Starts the run of `config`, its species taking `species`, with its output
  // kept at `output`, known to the caller as `id`. Returns 0, or the errno of
  // what failed (nothing runs then). A launcher that has ended is made again
  // first.
  int start(std::uint64_t id, const Configuration& config, const config::SpeciesRow& species,
            const std::string& output);
  // Passes `signal` on to the runs going.
  void signal(int signal);
  // The descriptor to poll for endings; -1 when there is no launcher.
  int fd() const { return fd_; }
  // The launcher's process id; -1 when there is none.
  pid_t pid() const { return pid_; }

  struct Ended {
    std::uint64_t id;
    RunEnding ending;
  };
  // The runs that have ended since the last call. Does not wait. When the
  // launcher itself has ended, the runs it had started end here too, failed.
  std::vector<Ended> collect();

  // Closes the batch's end and waits for the launcher, which waits for its
  // runs; returns how the launcher ended (a wait status; 0 when there was none).
  int close();

 private:
  // Reads replies into ended_: with `wait`, until the start of `id` is
  // answered (returns its errno); else until none is waiting (returns 0).
  // -1 when the launcher has ended.
  int read_replies(std::uint64_t id, bool wait);
  void lost();  // the launcher has ended: its runs fail

  pid_t pid_ = -1;
  int fd_ = -1;
  int lock_ = -1;  // the caller's
  std::string workdir_;
  sigset_t child_mask_{};
  std::vector<std::uint64_t> going_;  // the ids of the runs started and not ended
  std::vector<Ended> ended_;
};

}  // namespace batch
