#include "diagnostics/termination.hpp"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <utility>

#include "diagnostics/signals.hpp"

namespace diagnostics {
namespace {

// More units than the program ever has open at once (standard output, one
// input file, the results file); registration beyond it is a programming error.
constexpr int kMaxOpenUnits = 64;
ExitClosable* g_units[kMaxOpenUnits];
volatile int g_unit_count = 0;
volatile sig_atomic_t g_exit_processing_done = 0;
// How many capture_ending scopes are open on this thread.
thread_local constinit int t_captures = 0;

// The one exception that carries an ending, thrown by end_captured and
// caught by run_capturing_ending only: it never leaves this file's pair.
struct RunEnded {
  CapturedEnding ending;
};

}  // namespace

// A signal handler may run the exit processing between any two statements of
// these two, so an entry is filled before the count covers it, and leaves the
// count before its slot is reused (a unit seen twice is closed harmlessly).
void register_open_unit(ExitClosable* unit) noexcept {
  if (g_unit_count >= kMaxOpenUnits) return;
  g_units[g_unit_count] = unit;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_unit_count = g_unit_count + 1;
}

void unregister_open_unit(ExitClosable* unit) noexcept {
  for (int i = 0; i < g_unit_count; ++i) {
    if (g_units[i] == unit) {
      for (int k = i + 1; k < g_unit_count; ++k) g_units[k - 1] = g_units[k];
      std::atomic_signal_fence(std::memory_order_seq_cst);
      g_unit_count = g_unit_count - 1;
      return;
    }
  }
}

void run_exit_processing() noexcept {
  if (g_exit_processing_done) return;
  g_exit_processing_done = 1;
  // The process ends right after; an interrupt arriving now is left pending.
  block_interrupts();
  // Each unit leaves the table once closed, so the first is always next.
  while (g_unit_count > 0) {
    ExitClosable* unit = g_units[0];
    unit->close_at_exit();
    unregister_open_unit(unit);
  }
}

std::optional<CapturedEnding> run_capturing_ending(void* callable, void (*run)(void*)) {
  struct Capture {
    Capture() { ++t_captures; }
    ~Capture() { --t_captures; }
  };
  try {
    Capture capture;
    run(callable);
  } catch (RunEnded& e) {
    return std::move(e.ending);
  }
  return std::nullopt;
}

bool ending_captured() noexcept { return t_captures > 0; }

void end_captured(int status, const char* text, std::size_t size) {
  throw RunEnded{{status, text != nullptr ? std::string(text, size) : std::string()}};
}

void stop_run(int status, const char* reason) {
  if (ending_captured()) end_captured(status, reason, reason != nullptr ? std::strlen(reason) : 0);
  block_interrupts();  // the stop is not turned into an interrupted run
  for (int i = 0; i < g_unit_count; ++i) g_units[i]->flush_before_stop();
  run_exit_processing();
  ::_exit(status);
}

void stop_with_error(int status, const char* text, std::size_t size) {
  if (ending_captured()) end_captured(status, text, size);
  ssize_t written = ::write(STDERR_FILENO, text, size);
  (void)written;
  stop_run(status);
}

}  // namespace diagnostics
