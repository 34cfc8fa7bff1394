// How a run ends: the exit processing that flushes and closes every open unit,
// the plain stop, and the registry of open units that makes this possible
// whichever way the run ends (stop, severe diagnostic or signal).
#pragma once

#include <cstddef>

namespace diagnostics {

// Something the exit processing must flush and close: every open unit of the
// text layer registers itself while it is open. close_at_exit may only use
// async-signal-safe calls (write, close, unlink), since a signal handler can
// run it. A new file that the program has not closed yet is not complete:
// its close_at_exit removes it instead of keeping it.
class ExitClosable {
 public:
  virtual void close_at_exit() noexcept = 0;
  // Writes out what is buffered before a plain stop, reporting a failure the
  // way any write does (so a full disk is not hidden behind status 0). Units
  // without buffered output need not override it.
  virtual void flush_before_stop() {}

 protected:
  ~ExitClosable() = default;
};

void register_open_unit(ExitClosable* unit) noexcept;
void unregister_open_unit(ExitClosable* unit) noexcept;

// Flushes and closes every registered unit, in the order they were opened;
// runs at most once per process, and holds back SIGINT, SIGTERM and SIGQUIT
// from its start, so that it is never cut short. Async-signal-safe.
void run_exit_processing() noexcept;

// Writes out every unit's buffered records (a failure ends the run with
// message 38), runs the exit processing, and ends the process with `status`
// (0 for the program's plain stop). Nothing is printed: `reason`, the text of
// what ended the run where the caller has already written it (the solver's
// message), is only for an ending policy.
[[noreturn]] void stop_run(int status = 0, const char* reason = nullptr);

// Writes `text` (whole lines) to standard error in one write, then stops as
// stop_run does: input that the program itself refuses.
[[noreturn]] void stop_with_error(int status, const char* text, std::size_t size);

// What ends a run on this thread instead of the process: once a policy is
// installed, a severe diagnostic hands it its number and composed message
// (instead of writing to standard error, running the exit processing and
// exiting), stop_run its status and reason, stop_with_error its status and
// text. The policy must not return: it throws back to the entry point that
// installed it (the fit in memory, the fuzz targets, tests), so that a run
// can end without ending the process. Per thread, so that fits in several
// threads each get their own ending; the programs never install one. Not for
// signal handlers.
using EndingPolicy = void (*)(int status, const char* text, std::size_t size);

// Installs `policy` (nullptr: the process ends again) for the calling thread
// and returns the one it replaces.
EndingPolicy set_ending_policy(EndingPolicy policy) noexcept;

// The calling thread's policy, or nullptr (always, in the programs).
EndingPolicy ending_policy() noexcept;

}  // namespace diagnostics
