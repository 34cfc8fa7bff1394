// How a run ends: the exit processing that flushes and closes every open unit,
// the plain stop, and the registry of open units that makes this possible
// whichever way the run ends (stop, severe diagnostic or signal).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

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

// What ended a run that capture_ending caught: a severe diagnostic's number
// and composed message (traceback included), a stop's status and reason
// (empty for the plain stop), or stop_with_error's status and text.
struct CapturedEnding {
  int status;
  std::string text;
};

// capture_ending's work, for any callable: runs `run(callable)`.
std::optional<CapturedEnding> run_capturing_ending(void* callable, void (*run)(void*));

// Runs `body` with this thread's endings captured: a severe diagnostic,
// stop_run or stop_with_error inside it hands over its number and text
// (instead of writing to standard error, running the exit processing and
// exiting) and unwinds back here, where the ending is returned; nothing is
// returned if `body` returns. The capture is per thread (fits in several
// threads each get their own ending), the innermost one catches, and the one
// before is back however `body` leaves. It is for the fit in memory, the fuzz
// targets and tests; vbsfit's own run never has one. Not for signal handlers.
template <class Body>
std::optional<CapturedEnding> capture_ending(Body&& body) {
  using Callable = std::remove_reference_t<Body>;
  return run_capturing_ending(
      const_cast<void*>(static_cast<const void*>(std::addressof(body))),
      [](void* callable) { (*static_cast<Callable*>(callable))(); });
}

// Whether an ending on the calling thread is captured (never in vbsfit's
// own run).
bool ending_captured() noexcept;

// Hands an ending to the innermost capture_ending of the calling thread; only
// when ending_captured().
[[noreturn]] void end_captured(int status, const char* text, std::size_t size);

}  // namespace diagnostics
