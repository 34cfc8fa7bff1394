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
// (0 for the program's plain stop). Nothing is printed.
[[noreturn]] void stop_run(int status = 0);

// A test seam that the programs never set: once an observer is installed, a
// severe diagnostic hands it its number and composed message (instead of
// writing to standard error, running the exit processing and exiting), and a
// stop hands it its status and no message. The observer must not return: a
// fuzz target throws back to its entry point, so that the designed ending of
// a run can be checked without a process per input. Not for signal handlers.
using EndingObserver = void (*)(int status, const char* message, std::size_t size);
void observe_endings_for_testing(EndingObserver observer) noexcept;

// The installed observer, or nullptr (always, in the programs).
EndingObserver ending_observer() noexcept;

}  // namespace diagnostics
