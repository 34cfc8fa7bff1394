// How a run ends: the exit processing that flushes and closes every open unit,
// the plain stop, and the registry of open units that makes this possible
// whichever way the run ends (stop, severe diagnostic or signal).
#pragma once

namespace diagnostics {

// Something the exit processing must flush and close: every open unit of the
// text layer registers itself while it is open. close_at_exit may only use
// async-signal-safe calls (write, close), since a signal handler can run it.
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
[[noreturn]] void stop_run(int status = 0) noexcept;

}  // namespace diagnostics
