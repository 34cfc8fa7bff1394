#include "diagnostics/termination.hpp"

#include <unistd.h>

namespace diagnostics {
namespace {

// More units than the program ever has open at once (standard output, one
// input file, the results file); registration beyond it is a programming error.
constexpr int kMaxOpenUnits = 64;
ExitClosable* g_units[kMaxOpenUnits];
int g_unit_count = 0;
volatile bool g_exit_processing_done = false;

}  // namespace

void register_open_unit(ExitClosable* unit) noexcept {
  if (g_unit_count < kMaxOpenUnits) g_units[g_unit_count++] = unit;
}

void unregister_open_unit(ExitClosable* unit) noexcept {
  for (int i = 0; i < g_unit_count; ++i) {
    if (g_units[i] == unit) {
      for (int k = i + 1; k < g_unit_count; ++k) g_units[k - 1] = g_units[k];
      --g_unit_count;
      return;
    }
  }
}

void run_exit_processing() noexcept {
  if (g_exit_processing_done) return;
  g_exit_processing_done = true;
  // Units unregister themselves while closing, so always take the first.
  while (g_unit_count > 0) {
    ExitClosable* unit = g_units[0];
    unit->close_at_exit();
    unregister_open_unit(unit);
  }
}

void stop_run(int status) noexcept {
  run_exit_processing();
  ::_exit(status);
}

}  // namespace diagnostics
