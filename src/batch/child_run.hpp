// Running one configuration of a batch: a child process of its own, a fork
// of the batch's launcher (batch/launcher.hpp) that runs vbsfit's main
// program for it in the working directory, with standard output in the
// report (<output>.stdout) and standard error in a memory file kept there
// (<output>.stderr) when the run wrote to it, so that it prints, writes and
// ends exactly as a vbsfit built for that configuration does there.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/run_set.hpp"
#include "config/config.hpp"

namespace batch {

// A run that has been started and not yet waited for.
struct ChildRun {
  pid_t pid = -1;
  int setup_fd = -1;   // what kept the run from starting, if anything
  int stderr_fd = -1;  // the run's standard error, in memory
  std::chrono::steady_clock::time_point start;
};

// Whether a failure with `error` (an errno) is for want of a resource that a
// child ending gives back: descriptors, processes, memory.
bool for_want_of_resource(int error);

// Starts the run of `config`, its species taking `species`, with its output
// kept at `output` (a path, to which the suffixes are added; its directory
// is made when missing), running in
// `workdir`; the child restores `child_mask` and closes `inherited` (the
// batch's own descriptors). Returns 0 with `run` filled, or the errno of
// what failed, with nothing left open.
int start_run(const Configuration& config, const config::SpeciesRow& species,
              const std::string& output,
              const std::string& workdir, const sigset_t& child_mask,
              const std::vector<int>& inherited, ChildRun& run);

// How a run that has been waited for ended.
struct RunEnding {
  bool started = true;          // false: the child could not become the run
  int setup_error = 0;          // then the errno of what kept it
  bool succeeded = false;       // exited with status 0
  std::optional<int> exit_status;  // 128 + the signal number for a run a signal ended
  std::string message;          // why it did not start, or its failure's first line
  std::string note;             // its standard error could not be kept, or empty
  double seconds = 0.0;         // wall time
};

// Reads how `run` ended from `wait_status` and what it left, keeps its
// standard error at `output` when it wrote any, removes the record of a
// fit that did not succeed, and closes the run's descriptors.
RunEnding finish_run(ChildRun& run, int wait_status, const std::string& output);

// The first line of the message of a run that failed: the first line of its
// standard error `err`; else, for a run a signal ended, that signal; else
// (the solver prints its message on standard output) standard output's last
// non-blank line without its surrounding blanks.
std::string failure_message(const std::string& stdout_file, std::string_view err,
                            int wait_status);

// What ended a child that did not exit with status 0, in words.
std::string ending_text(int wait_status);

}  // namespace batch
