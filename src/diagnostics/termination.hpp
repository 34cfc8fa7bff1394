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

 protected:
  ~ExitClosable() = default;
};

void register_open_unit(ExitClosable* unit) noexcept;
void unregister_open_unit(ExitClosable* unit) noexcept;

// Flushes and closes every registered unit, in the order they were opened;
// runs at most once per process.
void run_exit_processing() noexcept;

// Exit processing, then the process ends with `status` (0 for the program's
// plain stop); nothing is printed.
[[noreturn]] void stop_run(int status = 0) noexcept;

}  // namespace diagnostics
