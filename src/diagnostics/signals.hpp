// Signal handling: every fatal signal ends the run through the numbered
// diagnostics, after the exit processing has put every open unit's records on
// disk.
//
//   SIGINT  69 error   exit processing, exit status 1
//   SIGTERM 78 error   exit processing, exit status 1
//   SIGQUIT 79 error   exit processing, then abort
//   SIGABRT 76 error   exit processing, then abort (SIGABRT at its default)
//   SIGFPE  71 / 70 severe for an integer division by zero / overflow;
//           75 error for any other cause (a signal sent from outside), which
//           ends like SIGQUIT
//   SIGSEGV 174 severe ("segmentation fault occurred")
//   SIGILL  168 severe
//
// SIGPIPE and SIGXFSZ are ignored: a write to a pipe nobody reads any more,
// or past the file size limit, is then a failed write (message 38, with its
// exit processing) instead of a death that leaves the files as they were.
//
// Severe messages end the process with their number. A signal that arrives
// while another is being handled is ignored, except SIGSEGV, which ends the
// process at once with status 174 and no message. SIGINT and SIGQUIT stay
// ignored when the process inherited them as ignored.
#pragma once

#include <signal.h>

namespace diagnostics {

// Installs the handlers; called once at process entry, before the main
// program. The handlers run on an alternate stack of their own, so that a
// stack overflow is reported as a segmentation fault too.
void install_signal_handlers();

// Holds back SIGINT, SIGTERM and SIGQUIT for its lifetime. The text layer
// writes its buffers out under one of these, so that a signal never finds a
// buffer half written out (which the exit processing would write again).
class InterruptsDeferred {
 public:
  InterruptsDeferred() noexcept;
  ~InterruptsDeferred();
  InterruptsDeferred(const InterruptsDeferred&) = delete;
  InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;

 private:
  sigset_t saved_;
};

// Blocks SIGINT, SIGTERM and SIGQUIT for good: the exit processing runs once
// and to its end, whichever ending started it. Async-signal-safe.
void block_interrupts() noexcept;

// Blocks SIGINT, SIGTERM, SIGQUIT and SIGHUP for good, from the moment a run
// has succeeded (its results file is about to get its name) to its end: a
// request to terminate that comes later finds nothing left to stop, so the
// run completes and exits 0, and a complete results file always means a
// succeeded run.
void hold_endings_after_success() noexcept;

}  // namespace diagnostics
